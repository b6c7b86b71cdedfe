// The board as Network UPS Tools sees it: once a second the supervisor
// writes the second's readings, under NUT's variable names, into a named
// pipe that NUT's dummy-ups driver reads in dummy-loop mode (--ups-file).
//
// Each record is one write of at most PIPE_BUF bytes, so the driver never
// sees half of one, and it ends with "TIMER 0": the driver applies the
// record, returns to its main loop, and reads the next one a cycle later.
// While the supervisor writes nothing (stopped, hung, ended) the driver
// waits on the pipe, stops answering upsd, and upsd reports "Data stale"
// once its MAXAGE has passed: NUT's own rule for a device that went quiet.
//
// Nothing here waits: the pipe is opened and written without blocking, a
// second whose record the driver has not taken yet is skipped, and a
// failure is logged once (and its end once), never every second.
#pragma once

#include <cstddef>
#include <ctime>

#include "avr/vexo.h"

constexpr size_t VEXO_UPS_RECORD_MAX = 512; // well under PIPE_BUF (4096)

// The setting and its run-time state.
struct VEXOups {
    const char* path = nullptr; // --ups-file; nullptr: off
    float lowVolts = 0;         // battery.voltage.low and the LB threshold; 0: not set
    int fd = -1;                // the pipe's write end, -1 while no driver reads it
    bool checked = false;       // the pipe has been made or found
    int failing = 0;            // errno of the failure last logged, 0 while writing works
};

extern VEXOups vexoUps;

// What one record says besides the telemetry record's readings.
struct VEXOupsView {
    bool charging = false; // on line power with the charging outputs on
    float lowVolts = 0;    // 0: no battery.voltage.low, never LB
};

// Writes the record of info into buf (NUL-terminated); returns its length,
// or 0 when it does not fit.
size_t VEXOupsRecord(const vexoInfo& info, const VEXOupsView& view, char* buf, size_t size);

// Checks --ups-file before the device is opened: 0, or 2 after a message
// on standard error. The path must be a named pipe or not exist yet in a
// directory that does.
int VEXOupsCheckPath(const char* path);

// Sets the battery voltage at which the board reports LB (0: never) and
// that it reports as battery.voltage.low.
void VEXOupsSetLowVolts(float volts);

// Called in every cycle before VEXOUDPlogUpdate: at a new second, writes the
// record of the second that ended (the telemetry datagram's readings), when
// --ups-file is set. Makes the pipe when it is missing.
void VEXOupsUpdate(const VEXOchargeState* state, const VEXOreply* rep, time_t t);
