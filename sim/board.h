// The simulated board firmware: output state, PWM, EEPROM with eeAck,
// sleep, line power and a simple analog model of the battery.
//
// simBoardApply takes a request the way the host expects the firmware to;
// simBoardStep advances the analog model; simBoardReply encodes the model's
// values with the inverses of battV, battI and the temperature rule, so the
// host's report reads back what the model holds.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>

#include "avr/vexo_wire.h"

struct SimBoardConfig {
    double imaxUa = 600000;         // charging current with pwm_lo 0
    double idleUa = -2100;          // line power, not charging
    double batteryLoadUa = -150000; // running on the battery
    double noiseUa = 0;             // +- uniform noise on the current
    double voltsStart = 3.70;       // battery voltage at start
    double dischargeMvS = 0;        // on battery: millivolts lost a second; 0: as the load draws
    double celsius = 22.5;          // board temperature
    unsigned seed = 1;              // noise seed
    std::string eepromPath;         // EEPROM kept in this file when not empty
};

struct SimBoard {
    SimBoardConfig cfg;
    word outputs = jp3Off; // PWMs off, offset/buck/LED on, line power
    word pwm_lo = 250;
    word pwm_t = 500;
    word adc0 = 0x0300;
    word adc2 = 0x0280;
    double volts = 3.70;
    double currentUa = -2100; // last modelled battery current
    bool onBattery = false;
    bool eeAcked = false;
    byte eeAddr = 0;
    byte eeData = 0;
    std::array<byte, 256> eeprom{};
    std::uint32_t sleepRequested = 0; // seconds of silence after the next status
    long eepromWriteFailures = 0;     // writes of the EEPROM file that failed
    int eepromWriteErrno = 0;         // errno of the latest of them
    bool pinned = false;              // report the raw readings below instead of the model's
    word pinAdc0 = 0, pinAdc2 = 0, pinAdc6 = 0, pinAdc7 = 0, pinTemp = 0;
    std::mt19937 rng{1};
};

// A board at its power-on state; loads the EEPROM file when one is named.
void simBoardInit(SimBoard* b, const SimBoardConfig& cfg);

// Applies a request; returns false when an EEPROM file write failed.
bool simBoardApply(SimBoard* b, const VEXOrequest& req);

// Advances the analog model by dt seconds.
void simBoardStep(SimBoard* b, double dt);

// The status record of the present state, checksum filled in.
VEXOreply simBoardReply(SimBoard* b);

// Reports these raw readings from now on, whatever the model holds.
void simBoardPinReadings(SimBoard* b, word adc0, word adc2, word adc6, word adc7, word temp);

// Switches line power (true) or battery (false).
void simBoardSetLinePower(SimBoard* b, bool line);

// Sets the battery voltage, kept between SIM_VOLTS_MIN and SIM_VOLTS_MAX.
void simBoardSetVolts(SimBoard* b, double volts);
constexpr double SIM_VOLTS_MIN = 3.0;
constexpr double SIM_VOLTS_MAX = 4.2;

// Raw encodings used by simBoardReply.
word simEncodeVolts(double volts);
word simEncodeMicroamps(double ua);
word simEncodeCelsius(double celsius);

// Writes the EEPROM image to path atomically (temporary file, fsync, rename);
// false with errno set when that fails.
bool simEepromSave(const std::string& path, const std::array<byte, 256>& image);
// Reads an EEPROM image: 0 when loaded, or the reason it was not: ENOENT for
// a missing file, EINVAL for one that is not 256 bytes, else the error of open or read.
int simEepromLoad(const std::string& path, std::array<byte, 256>* image);
