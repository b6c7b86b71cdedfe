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
#include <cstdarg>
#include <cstdint>
#include <ctime>

#include <netinet/in.h>
#include <sys/types.h>

#include "avr/vexo.h"

constexpr int VEXO_ALLOW_MAX = 16;     // entries of --allow
constexpr int VEXO_HOOKS_MAX = 4;      // event hooks running at once
constexpr int VEXO_HOOK_LIMIT_S = 60;  // a hook still running after this is killed
constexpr int VEXO_REFUSED_LOG_S = 60; // at most one line this often about refused datagrams
constexpr int VEXO_NOTIFY_STATUS_MAX = 160;
constexpr char VEXO_SHUTDOWN_COMMAND[] = "shutdown -h now"; // through /bin/sh, as system(3) runs it
constexpr int VEXO_COMMAND_LOG_S = 60; // after the first, at most one line this often per kind of command
constexpr int VEXO_COMMAND_KINDS = 5;  // command numbers 0 to 4

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
    // Lines about accepted commands, by command number: when the last went
    // out, how many were held back since, and the latest of those.
    std::array<time_t, VEXO_COMMAND_KINDS> commandLogged{};
    std::array<long, VEXO_COMMAND_KINDS> commandHeld{};
    std::array<int, VEXO_COMMAND_KINDS> commandPriority{};
    std::array<std::array<char, 160>, VEXO_COMMAND_KINDS> commandLatest{};
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
// It never waits: a line the log does not take at once is dropped and
// counted, and the count is said once the log takes lines again.
void VEXOlog(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The same, before the started check (vexo_log.cpp).
void VEXOlogLine(int priority, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
// Once a second: says how many lines were dropped, if the log takes it.
void VEXOlogTick();
// Lines dropped and not yet said.
long VEXOlogDropped();

// A line (ending in a line end) on standard error that never waits: a pipe
// or socket that does not take it at once loses it, counted; the count goes
// out before the next line that fits, or to the log when the supervisor starts.
void VEXOerror(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
long VEXOerrorDropped();

// A line about an accepted UDP command: the first of each command number
// at once, the others held and said as a count at most once a minute.
void VEXOcommandLog(int command, time_t now, int priority, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
// Once a second: the counts that are due.
void VEXOcommandLogTick(time_t now);

// Runs the event hook, if any, without waiting: PATH EVENT [DETAIL], with the
// latest readings of rep and state in its environment.
void VEXOevent(const char* event, const char* detail, const VEXOchargeState* state, const VEXOreply* rep);

// Reaps hooks that have ended (logging failures) and kills overdue ones.
void VEXOhooksReap(time_t now);

// Ends the running hooks (SIGTERM to each one's process group): the
// supervisor is ending. Safe in a signal handler.
void VEXOhooksEnd();

// How a child program starts: standard streams on /dev/null, default signal
// dispositions, a session of its own. Descriptors above 2 are always closed.
struct VEXOspawnRules {
    bool nullStdio = false;
    bool defaultSignals = false;
    bool newSession = false;
};

// Starts path with argv and envp; its pid, or -1 with *error the reason
// (the fork's or the exec's). Waits only until the exec (vexo_spawn.cpp).
pid_t VEXOspawn(const char* path, char* const argv[], char* const envp[], VEXOspawnRules rules, int* error);

// Starts "shutdown -h now" through /bin/sh without waiting; its pid, or -1
// (logged as exit status -1).
pid_t VEXOshutdownStart();
// Between cycles: once the command has ended, logs its exit status and sets *pid to 0.
void VEXOshutdownReap(pid_t* pid);

// Counts a refused datagram; logs at most one line a minute with the count.
void VEXOrefused(const sockaddr_in* from, time_t now);

// Sends text (lines NAME=value) to the service manager without waiting;
// nothing without NOTIFY_SOCKET. 0 when the datagram could not go out at
// once (the manager is not reading), else 1.
int VEXOnotify(const char* text);

// Sends WATCHDOG=1 when the watchdog is on and a quarter of its period has passed.
void VEXOwatchdog();
