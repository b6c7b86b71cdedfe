// The battery back-up board's program: the callbacks that plug it into the
// run driver, the conversions of the status report, the command line, EEPROM
// access and the charging supervisor. The wire records, datagrams and
// constants they share with the simulator and the tools are in vexo_wire.h.
//
// Records inside byte buffers are copied in and out with memcpy
// (VEXOreply_Get, VEXOrequest_Get, VEXOrequest_Put), never accessed through a
// cast pointer.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include <netinet/in.h>

#include "lib/ByteArray.h"
#include "lib/base.h"
#include "avr/vexo_lease.h"
#include "avr/vexo_wire.h"

// Copies of the records at the start of a view's bytes, and back.
VEXOreply VEXOreply_Get(ByteArrayRef b);
VEXOrequest VEXOrequest_Get(ByteArrayRef b);
void VEXOrequest_Put(ByteArrayRef b, const VEXOrequest& r);

// ---- Callbacks of the run driver and conversions -------------------------

// Builds a request from the reply (same outputs and PWM, no sleep, LED rule); returns 13.
int VEXOrequestInitFromReply(ByteArrayRef bRep, ByteArrayRef bReq);

// 0 when the reply shows the requested outputs and PWM values, 1 otherwise.
int VEXOcallback(ByteArrayRef bReq, ByteArrayRef bRep);

// The driver's task hook: does nothing and returns 0.
int VEXOtask2Do(FILE* f2, int task, ByteArrayRef bReq, ByteArrayRef bRep, void* data);

// Prints the 15-line status report of the reply on standard output.
void VEXOreplyPacket_Print(ByteArrayRef bRep, void* data);

// Degrees Fahrenheit of a signed Celsius value with 7 fraction bits.
float tempF(std::int16_t tmp);
// Battery volts of raw ticks.
float battV(word ticks);
// Battery microamperes of raw ticks.
int battI(word ticks);
// Degrees Fahrenheit of a reply's raw temp (offset of 7 removed first).
float VEXOtemperature(word temp);

// ---- Command line --------------------------------------------------------

// Device used when VEXO_DEVICE is unset or empty.
constexpr const char* VEXO_DEFAULT_DEVICE = "/dev/ttyT3S0";

// Text of --log, at most 127 characters; read by nothing after, kept as --log's documented store.
extern char IPADRS[128];

// The serial device: $VEXO_DEVICE when set and not empty, else the default.
const char* VEXOdevicePath();

// Checks the command line before anything touches the board: the values of
// the field settings (--listen, --allow, --event-cmd, --shutdown-volts), none
// of them after --charge, and no shortening of --shutdown; 0 when good, else
// 2 after a message on standard error. Notes the supervisor settings that
// follow the --charge that starts the supervisor (VEXOignoredAfterCharge).
int VEXOcheckOptions(int argc, char** argv);

// The supervisor settings (--on, --off, --shutdown, --log) that followed the
// --charge that started the supervisor and so never took effect, as
// "--NAME VALUE ..." from VEXOcheckOptions; empty when none did.
const char* VEXOignoredAfterCharge();

// Walks the command line, editing the request and running immediate actions;
// returns 1 when the request must be sent, and sets *loops to 1 when the
// status report must be printed.
int VEXOprocessOptions(FILE* file, ByteArrayRef bReq, void* data, int* loops, int argc, char** argv);

// ---- EEPROM --------------------------------------------------------------

// Reads the EEPROM byte at adrs; *pkt receives the answering status.
byte VEXOreadEEPROM(FILE* f, byte adrs, VEXOreply* pkt);
// Writes value to the EEPROM byte at adrs.
void VEXOwriteEEPROM(FILE* f, byte adrs, byte value);
// For a one-shot through the supervisor: a read and a write (without the
// line on standard output) that end nothing when the board does not take
// them, false then; *pkt and *rep receive the answering status.
bool VEXOreadEEPROMtry(FILE* f, byte adrs, VEXOreply* pkt);
bool VEXOwriteEEPROMtry(FILE* f, byte adrs, byte value, VEXOreply* rep);
// The line a write prints before it goes out.
void VEXOprintEEPROMwrite(byte adrs, byte value);
// 1 wrong address, 2 not acknowledged yet, 0 done.
int VEXOEEPROMcallback(ByteArrayRef req1, ByteArrayRef rep1);
// 0 once the board has left the read (eeAck clear), 1 before.
int VEXOEEPROMdoneCallback(ByteArrayRef req1, ByteArrayRef rep1);

// ---- Charging supervisor -------------------------------------------------

constexpr int VEXO_PWM_PERIOD = 500;     // lock_max
constexpr int VEXO_DEAD_BAND_UA = 3000;  // hold dead band
constexpr int VEXO_MAX_SAMPLES = 32;     // samples per second
constexpr int VEXO_SHUTDOWN_REPEAT = 15; // seconds between shutdown attempts

struct VEXOchargeState {
    std::int32_t targetI;  // present target, µA; charging while > 0
    std::int32_t masterI;  // configured target, µA
    std::int32_t time_on;  // on phase, s
    std::int32_t time_off; // off phase, s
    std::int32_t timer;    // > 0: seconds left on; <= 0: minus seconds off
    unsigned locked : 1;   // search closed, holding
    unsigned running : 1;  // loop runs while set; nothing clears it, kept as the loop's documented condition
    unsigned logging : 1;  // read by nothing, kept so that the record's flag word keeps its layout
    word lock_hi;          // upper bound of the pwm_lo search
    word lock_lo;          // lower bound of the pwm_lo search
    word lock_max;         // PWM period and largest pwm_lo
    std::array<float, VEXO_MAX_SAMPLES> pwm;
    std::array<float, VEXO_MAX_SAMPLES> V;
    std::array<float, VEXO_MAX_SAMPLES> I;
    std::array<float, VEXO_MAX_SAMPLES> T;
    time_t last_t;           // second of the samples
    std::int32_t numSamples; // valid entries of pwm, V, I, T
    std::int32_t txSocket;   // telemetry socket, -1 when none
    std::int32_t rxSocket;   // command socket (negative: failed to open)
    sockaddr_in to;          // telemetry destination
    std::array<char, 256> IPADRS;
    std::int32_t toPort;
    VEXOleaseTable leases; // subscribers besides the command-1 peer
};

// Starting values, and the command socket on UDP port 4000.
void VEXOchargeState_Init(VEXOchargeState* state, std::int32_t targetI, std::int32_t on, std::int32_t off);

// Mean of the first count entries without the smallest and the largest.
float smoothAverage(const float* arr, std::int32_t count);

// Plain mean of the first count entries; 0 for none.
float average(const float* arr, std::int32_t count);

// Builds the telemetry record of the state's samples and the reply rep.
vexoInfo VEXOinfo_Make(const VEXOchargeState* state, const VEXOreply* rep);

// Steps the on/off cycle by one second.
void VEXOdutyCycleStep(VEXOchargeState* state);

// Samples the reply; at a new second sends the telemetry datagram and steps the duty cycle.
void VEXOUDPlogUpdate(VEXOchargeState* state, const VEXOreply* rep, time_t t);

// Carries out at most one pending UDP command; never waits.
void VEXOUDPcommandCheck(VEXOchargeState* state);

// The charging supervisor; runs until the process ends.
void VEXOBatteryCharge(FILE* f, std::int32_t targetI, std::int32_t on, std::int32_t off, std::int32_t shutdelay);

// One cycle of current regulation: the bisection search of pwm_lo while not
// locked, then the one-count hold with its dead band. rep is the board's
// reply; req->pwm_lo holds the present low time on entry and the new one on exit.
void VEXOregulate(VEXOchargeState* state, const VEXOreply* rep, VEXOrequest* req);

// One second of the power-failure watch: the new countdown value (-1 idle);
// *runShutdown becomes 1 when the shutdown command is due now.
int VEXOpowerWatch(int shutdown_pending, int onBattery, int shutdelay, int* runShutdown);
