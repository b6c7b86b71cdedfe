// The battery back-up board: its wire records, the callbacks that plug it into
// the run driver, the command line, EEPROM access and the charging supervisor.
//
// VEXOrequest (13 bytes, host to board) and VEXOreply (19 bytes, board to
// host) travel packed and little-endian inside serial frames. vexoInfo (104
// bytes) is the telemetry datagram and VEXOUDPcommand (16 bytes) the command
// datagram of the supervisor. Records inside byte buffers are copied in and
// out with memcpy (VEXOreply_Get, VEXOrequest_Get, VEXOrequest_Put), never
// accessed through a cast pointer.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include <netinet/in.h>

#include "ByteArray.h"
#include "base.h"

static_assert(std::endian::native == std::endian::little, "wire records are little-endian");

// ---- Board records -------------------------------------------------------

#pragma pack(push, 1)
struct VEXOrequest {
    dword alarm;   // seconds of sleep for the board, 0 = none
    word outputs;  // wanted outputs and EEPROM request bits
    word pwm_lo;   // wanted PWM low time, raw counts
    word pwm_t;    // wanted PWM period, raw counts
    byte ee_addr;  // EEPROM address of a read or write
    byte ee_data;  // EEPROM byte to write
    byte checksum; // set by AVRsendRequest
};

struct VEXOreply {
    word adc0;     // supply voltage, raw
    word adc2;     // regulated voltage, raw
    word adc6;     // battery voltage, ticks (battV)
    word adc7;     // battery current, ticks (battI)
    word pwm_lo;   // PWM low time in effect
    word pwm_t;    // PWM period in effect
    word temp;     // temperature, raw (7 counts offset, then tempF)
    word outputs;  // outputs and status bits
    byte ee_addr;  // address of ee_data
    byte ee_data;  // EEPROM byte read
    byte checksum; // checked on reception
};
#pragma pack(pop)

static_assert(sizeof(VEXOrequest) == 13);
static_assert(offsetof(VEXOrequest, alarm) == 0 && offsetof(VEXOrequest, outputs) == 4);
static_assert(offsetof(VEXOrequest, pwm_lo) == 6 && offsetof(VEXOrequest, pwm_t) == 8);
static_assert(offsetof(VEXOrequest, ee_addr) == 10 && offsetof(VEXOrequest, ee_data) == 11);
static_assert(offsetof(VEXOrequest, checksum) == 12);
static_assert(sizeof(VEXOreply) == 19);
static_assert(offsetof(VEXOreply, adc0) == 0 && offsetof(VEXOreply, adc2) == 2);
static_assert(offsetof(VEXOreply, adc6) == 4 && offsetof(VEXOreply, adc7) == 6);
static_assert(offsetof(VEXOreply, pwm_lo) == 8 && offsetof(VEXOreply, pwm_t) == 10);
static_assert(offsetof(VEXOreply, temp) == 12 && offsetof(VEXOreply, outputs) == 14);
static_assert(offsetof(VEXOreply, ee_addr) == 16 && offsetof(VEXOreply, ee_data) == 17);
static_assert(offsetof(VEXOreply, checksum) == 18);

// Bits of the outputs word of both records.
enum VEXOoutputBit : word {
    pwm1en = 1u << 0,    // PWM1 enabled
    pwm2en = 1u << 1,    // PWM2 enabled
    offsetOff = 1u << 2, // offset disabled (active low)
    opamp = 1u << 3,     // op amp enabled
    buckOff = 1u << 4,   // buck disabled (active low)
    ledOff = 1u << 5,    // LED dark (active low)
    jp3Off = 1u << 6,    // JP3 off
    onbatt = 1u << 7,    // running on the battery
    eeRead = 1u << 8,    // EEPROM read request
    eeWrite = 1u << 9,   // EEPROM write request
    eeAck = 1u << 10,    // board serves the EEPROM request
    softJP3 = 1u << 11,  // soft JP3 state
};

// 1 if every bit of mask is set in w.
constexpr int VEXObit(word w, word mask) { return (w & mask) == mask ? 1 : 0; }
// w with the bits of mask set (on != 0) or cleared.
constexpr word VEXOsetBit(word w, word mask, int on) { return static_cast<word>(on ? (w | mask) : (w & ~mask)); }

// Copies of the records at the start of a view's bytes, and back.
VEXOreply VEXOreply_Get(ByteArrayRef b);
VEXOrequest VEXOrequest_Get(ByteArrayRef b);
void VEXOrequest_Put(ByteArrayRef b, const VEXOrequest& r);

// Length of a request record in bytes.
constexpr int VEXO_REQUEST_LEN = sizeof(VEXOrequest);

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

// Version banner text.
constexpr const char* VERSION = "1.1.0";
// Device used when VEXO_DEVICE is unset or empty.
constexpr const char* VEXO_DEFAULT_DEVICE = "/dev/ttyT3S0";

// Text of --log, at most 127 characters.
extern char IPADRS[128];

// The serial device: $VEXO_DEVICE when set and not empty, else the default.
const char* VEXOdevicePath();

// Checks the values of --listen, --allow and --event-cmd before anything
// touches the board: 0 when good, else 2 after a message on standard error.
int VEXOcheckOptions(int argc, char** argv);

// Walks the command line, editing the request and running immediate actions;
// returns 1 when the request must be sent, and sets *loops to 1 when the
// status report must be printed.
int VEXOprocessOptions(FILE* file, ByteArrayRef bReq, void* data, int* loops, int argc, char** argv);

// ---- EEPROM --------------------------------------------------------------

// Reads the EEPROM byte at adrs; *pkt receives the answering status.
byte VEXOreadEEPROM(FILE* f, byte adrs, VEXOreply* pkt);
// Writes value to the EEPROM byte at adrs.
void VEXOwriteEEPROM(FILE* f, byte adrs, byte value);
// 1 wrong address, 2 not acknowledged yet, 0 done.
int VEXOEEPROMcallback(ByteArrayRef req1, ByteArrayRef rep1);
// 0 once the board has left the read (eeAck clear), 1 before.
int VEXOEEPROMdoneCallback(ByteArrayRef req1, ByteArrayRef rep1);

// ---- Charging supervisor -------------------------------------------------

constexpr int VEXO_UDP_PORT = 4000;      // command socket
constexpr int VEXO_PWM_PERIOD = 500;     // lock_max
constexpr int VEXO_DEAD_BAND_UA = 3000;  // hold dead band
constexpr int VEXO_MAX_SAMPLES = 32;     // samples per second
constexpr int VEXO_SHUTDOWN_REPEAT = 15; // seconds between shutdown attempts
constexpr int VEXO_CHARGE_MIN_MA = 60;
constexpr int VEXO_CHARGE_MAX_MA = 500;

struct VEXOchargeState {
    std::int32_t targetI;  // present target, µA; charging while > 0
    std::int32_t masterI;  // configured target, µA
    std::int32_t time_on;  // on phase, s
    std::int32_t time_off; // off phase, s
    std::int32_t timer;    // > 0: seconds left on; <= 0: minus seconds off
    unsigned locked : 1;   // search closed, holding
    unsigned running : 1;  // loop runs while set
    unsigned logging : 1;  // kept, read by nothing
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
};

#pragma pack(push, 1)
struct vexoInfo {
    std::int32_t t;     // second of the samples
    float supplyV;      // adc0, unscaled
    float regV;         // adc2, unscaled
    float battV;        // volts, smoothed
    std::int32_t battI; // µA, smoothed, truncated
    float tempF;        // °F, smoothed
    word pwmt;          // PWM period
    float pwmlo;        // mean PWM low time
    byte flags1;        // vexoFlag1 bits
    byte flags2;        // vexoFlag2 bits
    float dVdT;         // always 0
    std::array<dword, 17> reserved;
};

struct command1 {
    std::int32_t port;
};
struct command2 {};
struct command3 {
    std::int32_t targetI;
};
struct command4 {
    std::int32_t targetI;
    std::int32_t time_on;
    std::int32_t time_off;
};

struct VEXOUDPcommand {
    std::int32_t command;
    union {
        command1 cmd1;
        command2 cmd2;
        command3 cmd3;
        command4 cmd4;
    };
};
#pragma pack(pop)

static_assert(sizeof(vexoInfo) == 104);
static_assert(offsetof(vexoInfo, t) == 0 && offsetof(vexoInfo, supplyV) == 4 && offsetof(vexoInfo, regV) == 8);
static_assert(offsetof(vexoInfo, battV) == 12 && offsetof(vexoInfo, battI) == 16);
static_assert(offsetof(vexoInfo, tempF) == 20 && offsetof(vexoInfo, pwmt) == 24);
static_assert(offsetof(vexoInfo, pwmlo) == 26 && offsetof(vexoInfo, flags1) == 30);
static_assert(offsetof(vexoInfo, flags2) == 31 && offsetof(vexoInfo, dVdT) == 32);
static_assert(offsetof(vexoInfo, reserved) == 36);
static_assert(sizeof(VEXOUDPcommand) == 16 && offsetof(VEXOUDPcommand, cmd1) == 4);
static_assert(offsetof(VEXOUDPcommand, cmd4) + offsetof(command4, time_on) == 8);
static_assert(offsetof(VEXOUDPcommand, cmd4) + offsetof(command4, time_off) == 12);

// Flag bits of vexoInfo: 1 always means on or true.
namespace vexoFlag1 {
constexpr byte pwm1en = 1u << 0, pwm2en = 1u << 1, offset = 1u << 2, opamp = 1u << 3;
constexpr byte buck = 1u << 4, led = 1u << 5, jp3 = 1u << 6, onbatt = 1u << 7;
} // namespace vexoFlag1
namespace vexoFlag2 {
constexpr byte softJP3 = 1u << 0, locked = 1u << 1;
} // namespace vexoFlag2

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
