// System log, event hook, service-manager notifications and the access list.
#include "avr/vexo_field.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "lib/clock.h"
#include "lib/net.h"

VEXOfield vexoField;

int VEXOparseListen(const char* text, VEXOfield* field)
{
    in_addr a{};
    if (text == nullptr || inet_pton(AF_INET, text, &a) != 1)
        return 0;
    field->listen = a;
    field->listenText = text;
    return 1;
}

// A prefix length as written in a.b.c.d/len: 0 to 32 in plain decimal
// digits, no sign, space or leading zero.
static bool prefixLength(const char* text, int* bits)
{
    const size_t n = std::strlen(text);
    if (n == 0 || n > 2 || (n == 2 && text[0] == '0'))
        return false;
    int v = 0;
    for (size_t i = 0; i < n; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
    }
    if (v > 32)
        return false;
    *bits = v;
    return true;
}

// One "a.b.c.d" or "a.b.c.d/len" of an access list.
static int parseNet(const char* text, size_t n, VEXOallowNet* out)
{
    char buf[32];
    if (n == 0 || n >= sizeof buf)
        return 0;
    std::memcpy(buf, text, n);
    buf[n] = '\0';
    int bits = 32;
    if (char* slash = std::strchr(buf, '/')) {
        *slash = '\0';
        if (!prefixLength(slash + 1, &bits))
            return 0;
    }
    in_addr a{};
    if (inet_pton(AF_INET, buf, &a) != 1)
        return 0;
    out->mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    out->net = ntohl(a.s_addr) & out->mask;
    return 1;
}

int VEXOparseAllow(const char* text, VEXOfield* field)
{
    if (text == nullptr)
        return 0;
    std::array<VEXOallowNet, VEXO_ALLOW_MAX> list{};
    int count = 0;
    for (const char* p = text;; p++) {
        const char* comma = std::strchr(p, ',');
        const size_t n = comma != nullptr ? static_cast<size_t>(comma - p) : std::strlen(p);
        if (count == VEXO_ALLOW_MAX || !parseNet(p, n, &list[static_cast<size_t>(count)]))
            return 0;
        count++;
        if (comma == nullptr)
            break;
        p = comma;
    }
    field->allow = list;
    field->allowCount = count;
    field->allowText = text;
    return 1;
}

int VEXOallowed(const VEXOfield* field, const sockaddr_in* from)
{
    if (field->allowCount == 0)
        return 1;
    const std::uint32_t a = ntohl(from->sin_addr.s_addr);
    for (int i = 0; i < field->allowCount; i++) {
        const VEXOallowNet n = field->allow[static_cast<size_t>(i)];
        if ((a & n.mask) == n.net)
            return 1;
    }
    return 0;
}

// The notification socket named by NOTIFY_SOCKET ("@" for an abstract name):
// 1 when it names one, 0 when unset, -1 when it is too long, -2 when it is
// neither a path nor an abstract name.
static int notifyAddress(sockaddr_un* sa, socklen_t* len)
{
    const char* name = getenv("NOTIFY_SOCKET");
    const size_t n = name != nullptr ? std::strlen(name) : 0;
    if (n == 0)
        return 0;
    if (n < 2 || (name[0] != '/' && name[0] != '@'))
        return -2;
    // A path needs its terminating zero; an abstract name has none.
    if (n > sizeof sa->sun_path - (name[0] == '/' ? 1 : 0))
        return -1;
    std::memset(sa, 0, sizeof *sa);
    sa->sun_family = AF_UNIX;
    std::memcpy(sa->sun_path, name, n);
    if (name[0] == '@')
        sa->sun_path[0] = '\0';
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    return 1;
}

// SIGTERM or SIGINT: the running hooks end with us, and we end by the signal as before.
static void endBySignal(int sig)
{
    VEXOhooksEnd();
    raise(sig); // delivered on return, with the default action restored
}

static void endWithHooks()
{
    struct sigaction sa {};
    sa.sa_handler = endBySignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = static_cast<int>(SA_RESETHAND);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

void VEXOfieldStart()
{
    tzset(); // the log's time stamps: the zone is read once, here
    vexoField.running = true;
    endWithHooks();
    if (const long lost = VEXOerrorDropped(); lost > 0)
        VEXOlog(LOG_WARNING, "%ld line%s to standard error dropped before the start: nobody took them", lost,
                lost == 1 ? "" : "s");
    sockaddr_un sa;
    socklen_t len;
    const int notify = notifyAddress(&sa, &len);
    const char* name = getenv("NOTIFY_SOCKET");
    if (notify == 1)
        vexoField.notifyFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    else if (notify == -1 && name != nullptr)
        VEXOlog(LOG_ERR,
                "NOTIFY_SOCKET refused: %zu characters, more than a socket address holds (%zu): no notifications",
                std::strlen(name), sizeof sa.sun_path - (name[0] == '/' ? 1 : 0));
    else if (notify == -2 && name != nullptr)
        VEXOlog(LOG_ERR, "NOTIFY_SOCKET refused: '%s' is neither a path nor an abstract name (@name): no notifications",
                name);
    const char* usec = getenv("WATCHDOG_USEC");
    const char* pid = getenv("WATCHDOG_PID");
    if (usec != nullptr && (pid == nullptr || std::strtol(pid, nullptr, 10) == getpid()))
        vexoField.watchdogUs = std::strtoll(usec, nullptr, 10);
}

void VEXOlog(int priority, const char* fmt, ...)
{
    if (!vexoField.running)
        return;
    va_list ap;
    va_start(ap, fmt);
    VEXOlogLine(priority, fmt, ap);
    va_end(ap);
}

int VEXOnotify(const char* text)
{
    sockaddr_un sa;
    socklen_t len;
    if (vexoField.notifyFd < 0 || notifyAddress(&sa, &len) != 1)
        return 1;
    return sendto(vexoField.notifyFd, text, std::strlen(text), MSG_DONTWAIT | MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&sa), len) >= 0
               ? 1
               : 0;
}

void VEXOwatchdog()
{
    if (vexoField.watchdogUs <= 0)
        return;
    const long long now = clockNowMs();
    if (now - vexoField.lastWatchdogMs < vexoField.watchdogUs / 4000)
        return;
    // One the manager did not take goes again next cycle.
    if (VEXOnotify("WATCHDOG=1"))
        vexoField.lastWatchdogMs = now;
}

void VEXOevent(const char* event, const char* detail, const VEXOchargeState* state, const VEXOreply* rep)
{
    if (!vexoField.running || vexoField.eventCmd == nullptr)
        return;
    const auto slot =
        std::find_if(vexoField.hooks.begin(), vexoField.hooks.end(), [](const VEXOhook& h) { return h.pid == 0; });
    if (slot == vexoField.hooks.end()) {
        VEXOlog(LOG_WARNING, "event hook skipped for %s: %d hooks still running", event, VEXO_HOOKS_MAX);
        return;
    }
    // The environment: ours, less the service manager's socket, plus the readings.
    constexpr size_t ENV_MAX = 256;
    std::array<char*, ENV_MAX + 8> env{};
    size_t n = 0;
    for (char** e = environ; *e != nullptr && n < ENV_MAX; e++)
        if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0 && std::strncmp(*e, "VEXO_", 5) != 0)
            env[n++] = *e;
    static std::array<std::array<char, 48>, 6> values;
    const double volts = static_cast<double>(battV(rep->adc6));
    const double ma = battI(rep->adc7) / 1000.0;
    snprintf(values[0].data(), values[0].size(), "VEXO_EVENT=%s", event);
    snprintf(values[1].data(), values[1].size(), "VEXO_BATTERY_V=%.3f", volts);
    snprintf(values[2].data(), values[2].size(), "VEXO_BATTERY_MA=%.1f", ma);
    snprintf(values[3].data(), values[3].size(), "VEXO_ON_BATTERY=%d", VEXObit(rep->outputs, onbatt));
    snprintf(values[4].data(), values[4].size(), "VEXO_LOCKED=%d", state->locked ? 1 : 0);
    snprintf(values[5].data(), values[5].size(), "VEXO_TARGET_MA=%d", static_cast<int>(state->masterI / 1000));
    for (auto& v : values)
        env[n++] = v.data();
    env[n] = nullptr;

    char* argv[] = {const_cast<char*>(vexoField.eventCmd), const_cast<char*>(event), const_cast<char*>(detail),
                    nullptr};
    if (detail == nullptr || detail[0] == '\0')
        argv[2] = nullptr;
    // Standard streams on /dev/null, default signal dispositions (SIGHUP is
    // ignored here), nothing else of ours open, and the hook's own session:
    // it outlives nothing of ours.
    int error = 0;
    const pid_t pid = VEXOspawn(vexoField.eventCmd, argv, env.data(),
                                VEXOspawnRules{.nullStdio = true, .defaultSignals = true, .newSession = true}, &error);
    if (pid < 0) {
        VEXOlog(LOG_WARNING, "event hook %s for %s: %s", vexoField.eventCmd, event, strerror(error));
        return;
    }
    slot->pid = pid;
    slot->started = time(nullptr);
    snprintf(slot->event.data(), slot->event.size(), "%s", event);
}

void VEXOhooksReap(time_t now)
{
    for (auto& h : vexoField.hooks) {
        if (h.pid == 0)
            continue;
        int ws = 0;
        if (waitpid(h.pid, &ws, WNOHANG) == h.pid) {
            if (WIFEXITED(ws) && WEXITSTATUS(ws) != 0)
                VEXOlog(LOG_WARNING, "event hook for %s exited with status %d", h.event.data(), WEXITSTATUS(ws));
            else if (WIFSIGNALED(ws))
                VEXOlog(LOG_WARNING, "event hook for %s ended by signal %d", h.event.data(), WTERMSIG(ws));
            h.pid = 0;
        } else if (now - h.started > VEXO_HOOK_LIMIT_S) {
            VEXOlog(LOG_WARNING, "event hook for %s still running after %d s: killed", h.event.data(),
                    VEXO_HOOK_LIMIT_S);
            kill(-h.pid, SIGKILL); // its whole group; reaped on a later call
            h.started = now;       // once
        }
    }
}

void VEXOhooksEnd()
{
    for (const auto& h : vexoField.hooks)
        if (h.pid > 0)
            kill(-h.pid, SIGTERM);
}

void VEXOcommandLog(int command, time_t now, int priority, const char* fmt, ...)
{
    if (!vexoField.running || command < 0 || command >= VEXO_COMMAND_KINDS)
        return;
    const auto k = static_cast<size_t>(command);
    const bool atOnce = vexoField.commandHeld[k] == 0 && now - vexoField.commandLogged[k] >= VEXO_COMMAND_LOG_S;
    va_list ap;
    va_start(ap, fmt);
    if (atOnce)
        VEXOlogLine(priority, fmt, ap);
    else
        vsnprintf(vexoField.commandLatest[k].data(), vexoField.commandLatest[k].size(), fmt, ap);
    va_end(ap);
    if (atOnce) {
        vexoField.commandLogged[k] = now;
    } else {
        vexoField.commandPriority[k] = priority;
        vexoField.commandHeld[k]++;
    }
}

void VEXOcommandLogTick(time_t now)
{
    for (size_t k = 0; k < static_cast<size_t>(VEXO_COMMAND_KINDS); k++) {
        const long held = vexoField.commandHeld[k];
        if (held == 0 || now - vexoField.commandLogged[k] < VEXO_COMMAND_LOG_S)
            continue;
        VEXOlog(vexoField.commandPriority[k], "UDP command %zu: %ld more since the last line about it, the latest: %s",
                k, held, vexoField.commandLatest[k].data());
        vexoField.commandHeld[k] = 0;
        vexoField.commandLogged[k] = now;
    }
}

void VEXOrefused(const sockaddr_in* from, time_t now)
{
    if (from != nullptr) {
        vexoField.refused++;
        vexoField.refusedFrom = *from;
    }
    if (vexoField.refused == 0 || now - vexoField.refusedLogged < VEXO_REFUSED_LOG_S)
        return;
    char a[NET_ADRS_TEXT_SIZE];
    VEXOlog(LOG_WARNING, "refused %ld datagram%s from outside the access list (latest from %s)", vexoField.refused,
            vexoField.refused == 1 ? "" : "s", netAdrsText(&vexoField.refusedFrom, a, sizeof a));
    vexoField.refused = 0;
    vexoField.refusedLogged = now;
}
