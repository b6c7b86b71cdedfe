// vexo-mon: watch the charging supervisor's telemetry and steer it over UDP.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/clock.h"
#include "clients/common/cli.h"
#include "lib/net.h"
#include "clients/common/lease.h"
#include "clients/common/telemetry.h"

static const char usage[] =
    "Usage: vexo-mon [OPTIONS] HOST                 print telemetry from the supervisor on HOST\n"
    "       vexo-mon [OPTIONS] HOST set-current MA  charge continuously at MA milliamperes\n"
    "       vexo-mon [OPTIONS] HOST set-cycle MA ON OFF\n"
    "                                               charge at MA for ON s, pause OFF s, repeat\n"
    "       vexo-mon [OPTIONS] HOST stop-telemetry  stop the telemetry stream\n"
    "Options:\n"
    "  --port P      receive telemetry on local UDP port P (default: one the system picks)\n"
    "  --csv         one CSV row per datagram, after a header\n"
    "  --json        one JSON object per datagram\n"
    "  --count N     stop after N datagrams\n"
    "  --seconds S   stop after S seconds\n"
    "  --force       send currents outside %d to %d mA\n"
    "  --help        this text\n"
    "The supervisor listens on UDP port %d of HOST.\n";

static void printUsage(FILE* to) { fprintf(to, usage, VEXO_CHARGE_MIN_MA, VEXO_CHARGE_MAX_MA, VEXO_UDP_PORT); }

// What the command line asks for.
struct MonArgs {
    int port = 0;
    long count = -1;
    long seconds = -1;
    bool force = false;
    MonFormat format = MonFormat::Text;
    const char* host = nullptr;
    std::string action; // empty: watch the telemetry
    int nargs = 0;
    char** args = nullptr;
};

// Reads the options; -1 when the run goes on, else the exit status.
static int readArgs(int argc, char** argv, MonArgs* a)
{
    static const option opts[] = {
        {"port", required_argument, nullptr, 'p'},    {"csv", no_argument, nullptr, 'c'},
        {"json", no_argument, nullptr, 'j'},          {"count", required_argument, nullptr, 'n'},
        {"seconds", required_argument, nullptr, 's'}, {"force", no_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0}};
    int c;
    std::int32_t v = 0;
    while ((c = getopt_long(argc, argv, "+", opts, nullptr)) != -1) {
        switch (c) {
        case 'p':
            if (!cliParseInt(optarg, 0, 65535, &v))
                cliDie(CLI_EXIT_USAGE, "--port needs a port number 0 to 65535, not '%s'", optarg);
            a->port = v;
            break;
        case 'c': a->format = MonFormat::Csv; break;
        case 'j': a->format = MonFormat::Json; break;
        case 'n':
        case 's':
            if (!cliParseInt(optarg, 1, 1000000000, &v))
                cliDie(CLI_EXIT_USAGE, "--%s needs a whole number above 0, not '%s'", c == 'n' ? "count" : "seconds",
                       optarg);
            (c == 'n' ? a->count : a->seconds) = v;
            break;
        case 'f': a->force = true; break;
        case 'h': printUsage(stdout); return CLI_EXIT_OK;
        default: printUsage(stderr); return CLI_EXIT_USAGE;
        }
    }
    if (optind >= argc) {
        printUsage(stderr);
        return CLI_EXIT_USAGE;
    }
    a->host = argv[optind++];
    a->action = optind < argc ? argv[optind++] : "";
    a->nargs = argc - optind;
    a->args = argv + optind;
    return -1;
}

// The steering command of the action, checked before anything is sent;
// false after a message.
static bool steeringCommand(const MonArgs& a, VEXOUDPcommand* cmd)
{
    std::int32_t ma = 0, on = 0, off = 0;
    if (a.action == "set-current" && a.nargs == 1 && cliParseInt(a.args[0], -2000000, 2000000, &ma)) {
        *cmd = monCommand(VEXO_CMD_SET_CURRENT, ma);
    } else if (a.action == "set-cycle" && a.nargs == 3 && cliParseInt(a.args[0], -2000000, 2000000, &ma) &&
               cliParseInt(a.args[1], 0, 2000000000, &on) && cliParseInt(a.args[2], 0, 2000000000, &off)) {
        *cmd = monCommand(VEXO_CMD_SET_CYCLE, ma, on, off);
    } else if (a.action == "stop-telemetry" && a.nargs == 0) {
        *cmd = monCommand(VEXO_CMD_TELEMETRY_OFF);
    } else {
        cliWarn("'%s' needs %s", a.action.c_str(),
                a.action == "set-current"      ? "one whole number: MA"
                : a.action == "set-cycle"      ? "three whole numbers: MA ON OFF (seconds 0 or more)"
                : a.action == "stop-telemetry" ? "no arguments"
                                               : "to be set-current, set-cycle or stop-telemetry");
        return false;
    }
    if (cmd->command != VEXO_CMD_TELEMETRY_OFF && !a.force && (ma < VEXO_CHARGE_MIN_MA || ma > VEXO_CHARGE_MAX_MA)) {
        cliWarn("%d mA is outside %d to %d mA; give --force to send it anyway", ma, VEXO_CHARGE_MIN_MA,
                VEXO_CHARGE_MAX_MA);
        return false;
    }
    return true;
}

// Sends the datagrams of the MON_SEND_ bits of send, in their order.
static void sendLeaseCommands(int fd, const sockaddr_in& to, const MonLease& sub, unsigned send, int myPort)
{
    for (unsigned bit = 1; bit <= MON_SEND_OFF; bit <<= 1)
        if (send & bit)
            monSendCommand(fd, to, monLeaseCommand(&sub, bit, myPort));
}

// Tells standard error what the subscription went through.
static void leaseEvent(const MonArgs& a, const MonLease& sub, MonLeaseEvent event)
{
    switch (event) {
    case MonLeaseEvent::Silent:
        if (sub.state == MonLeaseState::Legacy && sub.legacy.takenOver)
            cliWarn("telemetry from %s stopped right after arriving steadily; another subscriber may have taken it "
                    "over (asking again with a back-off up to %d s)",
                    a.host, MON_REASK_MAX_MS / 1000);
        cliWarn("no telemetry for %lld s, asking %s again", sub.silentMs / 1000, a.host);
        break;
    case MonLeaseEvent::Fallback:
        cliWarn("%s does not answer the lease commands; asking with command 1", a.host);
        break;
    case MonLeaseEvent::Refused:
        cliWarn("every telemetry lease of %s is taken; asking again in %lld s", a.host,
                std::max(0LL, sub.nextAskMs - clockNowMs() + 999) / 1000);
        break;
    case MonLeaseEvent::Leased: cliWarn("telemetry lease from %s granted", a.host); break;
    case MonLeaseEvent::None: break;
    }
}

// Prints the telemetry until a limit, a signal or a failed write; asks the
// supervisor to stop sending at the end. Returns the exit status.
static int watch(const MonArgs& a, int fd, const sockaddr_in& to)
{
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    const int myPort = ntohs(local.sin_port);
    // Every way out ends the lease (and sends command 2 after command 1), so
    // the supervisor stops sending: a closed pipe (SIGPIPE, then EPIPE) and a hang-up too.
    cliCatchStop({SIGINT, SIGTERM, SIGHUP, SIGPIPE});
    setvbuf(stdout, nullptr, _IOLBF, 0);

    MonLease sub;
    monLeaseStart(&sub, clockNowMs());
    int writeError = 0;
    if (a.format == MonFormat::Csv && printf("%s\n", monCsvHeader().c_str()) < 0)
        writeError = errno;
    const long long start = clockNowMs();
    long received = 0, garbage = 0, notFinite = 0;
    MonLeaseEvent event = MonLeaseEvent::None;
    sendLeaseCommands(fd, to, sub, monLeaseTick(&sub, clockNowMs(), &event), myPort);
    while (cliStopSignal() == 0 && writeError == 0 && (a.count < 0 || received < a.count) &&
           (a.seconds < 0 || clockNowMs() - start < a.seconds * 1000)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            unsigned char buf[512];
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
            const bool fromBoard = n >= 0 && from.sin_addr.s_addr == to.sin_addr.s_addr;
            vexoInfo info;
            if (fromBoard && monDecode(buf, static_cast<size_t>(n), &info)) {
                if (!monFinite(info))
                    notFinite++;
                if (printf("%s\n", monFormat(info, a.format).c_str()) < 0)
                    writeError = errno;
                received++;
                monLeaseHeard(&sub, clockNowMs());
            } else if (fromBoard && monLeaseAnswer(&sub, buf, static_cast<size_t>(n), clockNowMs(), &event)) {
                leaseEvent(a, sub, event);
            } else if (n >= 0) {
                garbage++;
            }
        }
        const unsigned send = monLeaseTick(&sub, clockNowMs(), &event);
        leaseEvent(a, sub, event);
        sendLeaseCommands(fd, to, sub, send, myPort);
    }
    sendLeaseCommands(fd, to, sub, monLeaseEnd(&sub), myPort);
    if (garbage > 0)
        cliWarn("ignored %ld datagram%s of the wrong size or source", garbage, garbage == 1 ? "" : "s");
    if (notFinite > 0)
        cliWarn("%ld malformed datagram%s carried numbers that are not finite", notFinite, notFinite == 1 ? "" : "s");
    // A reader that went away (EPIPE) has simply had enough.
    if (writeError != 0 && writeError != EPIPE) {
        cliWarn("cannot write: %s", strerror(writeError));
        return CLI_EXIT_FAILURE;
    }
    return CLI_EXIT_OK;
}

int main(int argc, char** argv)
{
    cliProgramName("vexo-mon");
    MonArgs a;
    const int done = readArgs(argc, argv, &a);
    if (done >= 0)
        return done;
    sockaddr_in to{};
    if (!netResolve(&to, a.host, VEXO_UDP_PORT))
        cliDie(CLI_EXIT_FAILURE, "cannot resolve %s", a.host);
    VEXOUDPcommand cmd{};
    if (!a.action.empty() && !steeringCommand(a, &cmd))
        return CLI_EXIT_USAGE;
    const int fd = netUDPbind(a.port, htonl(INADDR_ANY));
    if (fd < 0)
        cliDie(CLI_EXIT_FAILURE, "cannot bind UDP port %d: %s", a.port, strerror(errno));
    int status = CLI_EXIT_OK;
    if (a.action.empty()) {
        status = watch(a, fd, to);
    } else if (!monSendCommand(fd, to, cmd)) {
        cliWarn("cannot send to %s: %s", a.host, strerror(errno));
        status = CLI_EXIT_FAILURE;
    }
    close(fd);
    return status;
}
