// Everything that crosses a wire between the board, the program and its
// peers, written once: the serial records and their bits, the scaling of the
// board's raw counts, the supervisor's UDP port with its telemetry and
// command datagrams, the accepted charging currents and the version. The
// program, the simulator, vexo-mon and the fleet exporter include this.
//
// VEXOrequest (13 bytes, host to board) and VEXOreply (19 bytes, board to
// host) travel packed and little-endian inside serial frames (the framing
// bytes are in serial.h). vexoInfo (104 bytes) is the telemetry datagram and
// VEXOUDPcommand (16 bytes) the command datagram; VEXOleaseReply (12 bytes)
// answers the lease commands. Packed members are copied, never pointed at.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "lib/base.h"

static_assert(std::endian::native == std::endian::little, "wire records are little-endian");

// Version banner text; the build passes the project's version.
#ifndef VEXO_PROJECT_VERSION
#error "VEXO_PROJECT_VERSION comes from the build"
#endif
constexpr const char* VERSION = VEXO_PROJECT_VERSION;

// ---- Board records -------------------------------------------------------

#pragma pack(push, 1)
struct VEXOrequest {
    dword alarm;   // seconds of sleep for the board, 0 = none
    word outputs;  // wanted outputs and EEPROM request bits
    word pwm_lo;   // wanted PWM low time, raw counts
    word pwm_t;    // wanted PWM period, raw counts
    byte ee_addr;  // EEPROM address of a read or write
    byte ee_data;  // EEPROM byte to write
    byte checksum; // makes the byte sum 0xFF; set by AVRsendRequest
};

struct VEXOreply {
    word adc0;     // supply voltage, raw
    word adc2;     // regulated voltage, raw
    word adc6;     // battery voltage, ticks (battV)
    word adc7;     // battery current, ticks (battI)
    word pwm_lo;   // PWM low time in effect
    word pwm_t;    // PWM period in effect
    word temp;     // temperature, raw (VEXO_TEMP_OFFSET counts, then tempF)
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

// Length of a request record in bytes.
constexpr int VEXO_REQUEST_LEN = sizeof(VEXOrequest);
// Length of a status record in bytes; shorter packets are not status.
constexpr int VEXO_REPLY_LEN = sizeof(VEXOreply);

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

// ---- Scaling of the board's raw counts -----------------------------------

// Battery volts = adc6 / VEXO_VOLT_TICKS.
constexpr double VEXO_VOLT_TICKS = 12160.0;
// Battery microamperes = adc7 * VEXO_UA_PER_TICK - VEXO_UA_ZERO.
constexpr int VEXO_UA_PER_TICK = 60;
constexpr int VEXO_UA_ZERO = 1740000;
// Temperature: raw temp minus VEXO_TEMP_OFFSET is signed Celsius with
// VEXO_TEMP_FRACTION_BITS fraction bits.
constexpr int VEXO_TEMP_OFFSET = 7;
constexpr int VEXO_TEMP_FRACTION_BITS = 7;

// ---- The supervisor's UDP datagrams --------------------------------------

// The supervisor's command socket.
constexpr int VEXO_UDP_PORT = 4000;
// Charging currents the tools accept without --force, mA.
constexpr int VEXO_CHARGE_MIN_MA = 60;
constexpr int VEXO_CHARGE_MAX_MA = 500;

// Numbers of the command datagram.
enum VEXOcommandNumber : std::int32_t {
    VEXO_CMD_TELEMETRY_ON = 1,  // send telemetry to the sender, at port cmd1.port
    VEXO_CMD_TELEMETRY_OFF = 2, // stop the telemetry
    VEXO_CMD_SET_CURRENT = 3,   // charge continuously at cmd3.targetI mA
    VEXO_CMD_SET_CYCLE = 4,     // charge at cmd4.targetI mA, on time_on s, off time_off s
    // Leased subscriptions, beside the one peer of commands 1 and 2:
    VEXO_CMD_SUBSCRIBE = 10,   // ask for a cookie, sent to the sender at port lease.port
    VEXO_CMD_RENEW = 11,       // start or renew a lease of lease.lease s, echoing lease.cookie
    VEXO_CMD_UNSUBSCRIBE = 12, // end the lease of lease.port, echoing lease.cookie
};

// Leased subscribers the supervisor serves at once, besides the command-1 peer.
constexpr int VEXO_LEASES_MAX = 8;
// Lease lengths are cut to 1 ... VEXO_LEASE_MAX_S seconds.
constexpr int VEXO_LEASE_MAX_S = 300;
// A cookie is good in the slot of this many seconds it was made in and the next.
constexpr int VEXO_COOKIE_SLOT_S = 60;

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

struct commandLease {
    std::int32_t port;    // the subscriber's telemetry port, at the sender's address
    std::int32_t lease;   // seconds wanted (renew)
    std::uint32_t cookie; // as the last VEXOleaseReply to that address and port carried it
};

struct VEXOUDPcommand {
    std::int32_t command;
    union {
        command1 cmd1;
        command2 cmd2;
        command3 cmd3;
        command4 cmd4;
        commandLease lease;
    };
};

// The supervisor's answer to SUBSCRIBE and RENEW, sent to the address and
// port of the lease. command VEXO_CMD_SUBSCRIBE: a cookie offered (lease is
// the longest lease granted); VEXO_CMD_RENEW: the lease granted in seconds,
// 0 when every lease is taken. cookie is the one to echo next.
struct VEXOleaseReply {
    std::int32_t command;
    std::int32_t lease;
    std::uint32_t cookie;
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
static_assert(offsetof(VEXOUDPcommand, lease) == 4 && offsetof(commandLease, lease) == 4);
static_assert(offsetof(commandLease, cookie) == 8);
static_assert(sizeof(VEXOleaseReply) == 12 && offsetof(VEXOleaseReply, lease) == 4);
static_assert(offsetof(VEXOleaseReply, cookie) == 8);

// Bytes a command datagram must carry before its fields are read; 0 for a
// number that is no command.
constexpr int VEXOcommandLength(std::int32_t command)
{
    switch (command) {
    case VEXO_CMD_TELEMETRY_ON: return 4 + sizeof(command1);
    case VEXO_CMD_TELEMETRY_OFF: return 4;
    case VEXO_CMD_SET_CURRENT: return 4 + sizeof(command3);
    case VEXO_CMD_SET_CYCLE: return 4 + sizeof(command4);
    case VEXO_CMD_SUBSCRIBE: return 4 + offsetof(commandLease, cookie);
    case VEXO_CMD_RENEW:
    case VEXO_CMD_UNSUBSCRIBE: return 4 + sizeof(commandLease);
    default: return 0;
    }
}
// True when a datagram of len bytes, copied into cmd, is a command whose
// fields may all be read.
constexpr bool VEXOcommandWellFormed(const VEXOUDPcommand& cmd, int len)
{
    const int need = len >= 4 ? VEXOcommandLength(cmd.command) : 0;
    return need != 0 && len >= need;
}
static_assert(VEXOcommandLength(1) == 8 && VEXOcommandLength(2) == 4);
static_assert(VEXOcommandLength(3) == 8 && VEXOcommandLength(4) == 16);
static_assert(VEXOcommandLength(10) == 12 && VEXOcommandLength(11) == 16 && VEXOcommandLength(12) == 16);

// Flag bits of vexoInfo: 1 always means on or true.
namespace vexoFlag1 {
constexpr byte pwm1en = 1u << 0, pwm2en = 1u << 1, offset = 1u << 2, opamp = 1u << 3;
constexpr byte buck = 1u << 4, led = 1u << 5, jp3 = 1u << 6, onbatt = 1u << 7;
} // namespace vexoFlag1
namespace vexoFlag2 {
constexpr byte softJP3 = 1u << 0, locked = 1u << 1;
} // namespace vexoFlag2
