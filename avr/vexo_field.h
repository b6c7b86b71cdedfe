// The supervisor as a field daemon: the transitions it tells the system log,
// the operator's event hook, the service manager's notifications (readiness,
// status, watchdog) and the access list of the command port.
//
// With none of the settings given (--event-cmd, --listen, --allow) and no
// NOTIFY_SOCKET, nothing here changes what the supervisor sends or accepts;
// only the system log hears more. Nothing is logged until the supervisor
// starts (VEXOfieldStart), so one-shot commands print exactly as before.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

#include <netinet/in.h>
#include <sys/types.h>

#include "vexo.h"

constexpr int VEXO_ALLOW_MAX = 16;     // entries of --allow
constexpr int VEXO_HOOKS_MAX = 4;      // event hooks running at once
constexpr int VEXO_HOOK_LIMIT_S = 60;  // a hook still running after this is killed
constexpr int VEXO_REFUSED_LOG_S = 60; // at most one line this often about refused datagrams
constexpr int VEXO_NOTIFY_STATUS_MAX = 160;

// One entry of the access list, in host byte order.
struct VEXOallowNet {
    std::uint32_t net;
    std::uint32_t mask;
};

struct VEXOhook {
    pid_t pid = 0; // 0: free
    time_t started = 0;
    std::array<char, 24> event{};
};

// The field settings and their run-time state.
struct VEXOfield {
    const char* eventCmd = nullptr; // --event-cmd
    in_addr listen{INADDR_ANY};     // --listen
    const char* listenText = nullptr;
    std::array<VEXOallowNet, VEXO_ALLOW_MAX> allow{};
    int allowCount = 0;              // 0: commands from anyone
    const char* allowText = nullptr; // as given
    bool running = false;            // the supervisor has started: log and hooks on
    std::array<VEXOhook, VEXO_HOOKS_MAX> hooks{};
    long refused = 0; // datagrams refused since the last line about them
    time_t refusedLogged = 0;
    sockaddr_in refusedFrom{};
    int notifyFd = -1;
    long long watchdogUs = 0; // WATCHDOG_USEC, 0 when off
    long long lastWatchdogMs = 0;
};

extern VEXOfield vexoField;

// Option values. Each returns 1 when text is good (and stores it), else 0.
int VEXOparseListen(const char* text, VEXOfield* field);
int VEXOparseAllow(const char* text, VEXOfield* field);

// 1 when the access list lets the sender's commands in.
int VEXOallowed(const VEXOfield* field, const sockaddr_in* from);

// Opens the system log and the notification socket; from now on events are
// logged and hooks run.
void VEXOfieldStart();

// One line in the system log (ident vexo, facility daemon), once started.
void VEXOlog(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Runs the event hook, if any, without waiting: PATH EVENT [DETAIL], with the
// latest readings of rep and state in its environment.
void VEXOevent(const char* event, const char* detail, const VEXOchargeState* state, const VEXOreply* rep);

// Reaps hooks that have ended (logging failures) and kills overdue ones.
void VEXOhooksReap(time_t now);

// Counts a refused datagram; logs at most one line a minute with the count.
void VEXOrefused(const sockaddr_in* from, time_t now);

// Sends text (lines NAME=value) to the service manager; nothing without NOTIFY_SOCKET.
void VEXOnotify(const char* text);

// Sends WATCHDOG=1 when the watchdog is on and a quarter of its period has passed.
void VEXOwatchdog();

// "a.b.c.d" of an address.
const char* VEXOaddressText(const sockaddr_in* a, char* buf, size_t size);
