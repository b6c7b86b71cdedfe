// The low-battery shutdown: --shutdown-volts V shuts the host down once the
// battery, on battery, stays below V for VEXO_LOW_BATTERY_S seconds in a
// row, whatever the timer of --shutdown says, and repeats the shutdown
// command as the timer does until line power returns.
//
// The watch steps once a second on the battery voltage of the second just
// past, smoothed as its telemetry record has it (smoothAverage of the
// samples); the supervisor's loop turns its verdict into the shutdown.
#pragma once

#include "avr/vexo.h"

constexpr int VEXO_LOW_BATTERY_S = 5; // seconds in a row below the threshold
// The largest threshold: the board reports no higher voltage.
constexpr double VEXO_SHUTDOWN_VOLTS_MAX = 5.38;
static_assert(VEXO_SHUTDOWN_VOLTS_MAX <= 65535 / VEXO_VOLT_TICKS);

struct VEXOlowBattery {
    float volts = 0;   // the threshold; 0: off
    int belowS = 0;    // seconds in a row on battery below it
    int repeatIn = -1; // once set off: seconds until the command is due again; -1 before
};

// --shutdown-volts as given; 0 unless the option set it.
extern float vexoShutdownVolts;

// The threshold of text: a plain decimal number of volts ("3.3", "0" for
// off) up to VEXO_SHUTDOWN_VOLTS_MAX. 1 when good (and stored
// in *volts), else 0.
int VEXOparseShutdownVolts(const char* text, float* volts);

// What a second of the watch asks for.
enum class VEXOlowBatteryVerdict {
    None,  // nothing
    Now,   // the battery has just been found low: shut down now
    Again, // still on battery since: the shutdown command again
};

// One second of the watch, with the battery voltage of the second just past
// (0 when there was no reading). Line power resets it.
VEXOlowBatteryVerdict VEXOlowBatteryStep(VEXOlowBattery* watch, int onBattery, float volts);

// True from the verdict Now until line power returns.
inline bool VEXOlowBatterySetOff(const VEXOlowBattery& watch) { return watch.repeatIn >= 0; }
