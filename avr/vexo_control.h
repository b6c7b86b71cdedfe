// The supervisor's control socket: one-shot commands through the running
// charging supervisor.
//
// The supervisor holds the serial device locked; a one-shot vexo that finds
// it so (EBUSY) connects to the supervisor's Unix-domain socket instead and
// hands it its work: status reports, EEPROM reads and writes, and the
// outputs the supervisor leaves alone (offset, buck). Whatever the
// supervisor steers itself is refused with VEXO_EXIT_SUPERVISED.
//
// The socket is DIR/NAME.sock, DIR being $VEXO_CONTROL_DIR or /run/vexo, and
// NAME the device's resolved path without its leading '/', every other '/'
// a '-' (/dev/ttyT3S0: /run/vexo/dev-ttyT3S0.sock), so each board has its
// own. Mode 0660, owner and group of the supervisor; the peer's credentials
// are checked as well (root, the supervisor's user, or its group).
//
// Records are fixed-size sequenced packets, one request and one answer at a
// time. The supervisor polls without waiting once a cycle, keeps a few
// clients in a fixed table, drops a client that stops reading, asks too much
// or stays idle, and allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "avr/vexo.h"

// Exit status of a one-shot refused because a supervisor runs the board.
constexpr int VEXO_EXIT_SUPERVISED = 4;

constexpr const char* VEXO_CONTROL_DIR = "/run/vexo";
constexpr int VEXO_CONTROL_CLIENTS = 4;      // clients served at once
constexpr int VEXO_CONTROL_REQUESTS = 64;    // requests one connection may make
constexpr int VEXO_CONTROL_IDLE_S = 5;       // a client silent this long is dropped
constexpr int VEXO_CONTROL_WAIT_MS = 2000;   // a one-shot's wait for a status answer
constexpr int VEXO_CONTROL_CHANGE_MS = 6000; // and for a change (EEPROM, outputs)
constexpr int VEXO_CONTROL_PATH_MAX = 108;   // sun_path

// Outputs a one-shot may change through the supervisor: the ones it leaves alone.
constexpr word VEXO_CONTROL_OUTPUTS = offsetOff | buckOff;
// Outputs the supervisor sets every cycle: options on them are refused.
constexpr word VEXO_SUPERVISOR_OUTPUTS = pwm1en | pwm2en | opamp | ledOff;

constexpr byte VEXO_CONTROL_VERSION = 1;

enum VEXOcontrolOp : byte {
    VEXO_CTL_STATUS = 1,     // a status record received after the request
    VEXO_CTL_EE_READ = 2,    // adrs
    VEXO_CTL_EE_WRITE = 3,   // adrs, value
    VEXO_CTL_OUTPUTS = 4,    // mask (within VEXO_CONTROL_OUTPUTS), outputs
    VEXO_CTL_FAILED = 0xFE,  // answer only: the board did not take the change
    VEXO_CTL_REFUSED = 0xFF, // answer only: this user may not use the socket
};

#pragma pack(push, 1)
struct VEXOcontrolRequest {
    byte version; // VEXO_CONTROL_VERSION
    byte op;      // VEXOcontrolOp
    byte adrs;
    byte value;
    word mask;
    word outputs;
};
struct VEXOcontrolAnswer {
    byte version;
    byte op;   // the request's
    byte data; // the byte read
    byte pad;
    VEXOreply rep; // the status record that answers the request
};
#pragma pack(pop)
static_assert(sizeof(VEXOcontrolRequest) == 8, "control request: 8 bytes");
static_assert(offsetof(VEXOcontrolRequest, mask) == 4 && offsetof(VEXOcontrolRequest, outputs) == 6);
static_assert(sizeof(VEXOcontrolAnswer) == 4 + sizeof(VEXOreply), "control answer: 4 bytes and a status");
static_assert(offsetof(VEXOcontrolAnswer, rep) == 4);

// The socket's path for the device: 0 when it would not fit in path.
int VEXOcontrolPath(const char* device, char* path, size_t size);

// ---- Supervisor side ------------------------------------------------------

struct VEXOcontrolClient {
    int fd = -1;
    int served = 0;       // requests answered
    bool pending = false; // req waits for its turn
    VEXOcontrolRequest req{};
    time_t since = 0; // last request
};

struct VEXOcontrol {
    int listenFd = -1;
    std::array<char, VEXO_CONTROL_PATH_MAX> path{};
    std::array<VEXOcontrolClient, VEXO_CONTROL_CLIENTS> clients{};
    int connected = 0;
    time_t refusedLogged = 0;
};

// Makes the directory (when missing) and listens on the device's socket;
// logs and leaves the socket closed on failure.
void VEXOcontrolOpen(VEXOcontrol* ctl, const char* device);

// Between cycles, without waiting: takes new clients and their requests,
// and carries out the pending changes on the port f (repAll: a reply buffer).
void VEXOcontrolServe(VEXOcontrol* ctl, FILE* f, ByteArrayRef repAll);

// Answers the pending status requests with rep, a record received after them.
void VEXOcontrolStatus(VEXOcontrol* ctl, const VEXOreply& rep);

// ---- One-shot side ----------------------------------------------------------

// The device-open failure hook (err: EBUSY, locked; EACCES or EPERM: not
// for this user): when a supervisor answers on the device's socket, carries
// out the command line (argc, argv) through it and exits; returns when none
// answers.
void VEXOcontrolHandOver(const char* device, int err, void* args);

struct VEXOcontrolArgs {
    int argc;
    char** argv;
};

// 1 while the one-shot runs through a supervisor.
int VEXOcontrolActive();
// The EEPROM operations of vexo.h, through the supervisor.
byte VEXOcontrolReadEEPROM(byte adrs, VEXOreply* pkt);
void VEXOcontrolWriteEEPROM(byte adrs, byte value);

// The name of the first option on the command line that the supervisor
// steers itself (or --charge), nullptr when none (vexo_options.cpp).
const char* VEXOsupervisorOwnedOption(int argc, char** argv);
