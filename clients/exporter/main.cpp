// vexo-exporter: follows the telemetry of many charging supervisors and
// serves it as Prometheus metrics.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <getopt.h>
#include <malloc.h>
#include <poll.h>

#include "clients/common/cli.h"
#include "lib/clock.h"
#include "clients/exporter/fleet.h"
#include "clients/exporter/serve.h"

// The metrics port: outside the 9100-9999 range that Prometheus exporters
// have taken, next to the supervisor's UDP port.
constexpr int EXPORTER_DEFAULT_PORT = 4001;
// How often silent boards are looked at.
constexpr int EXPORTER_TICK_MS = 100;

static volatile sig_atomic_t rereadSignal = 0;

static void onHangUp(int) { rereadSignal = 1; }

static const char usage[] = "Usage: vexo-exporter [OPTIONS] [HOST[=LABEL]...]\n"
                            "Follows the telemetry of the charging supervisors on the HOSTs and serves it\n"
                            "as Prometheus metrics, each series labelled board=\"LABEL\" (the HOST when no\n"
                            "LABEL is given).\n"
                            "Options:\n"
                            "  --boards FILE       also the boards in FILE, one HOST[=LABEL] a line ('#' starts\n"
                            "                      a comment); read again on SIGHUP\n"
                            "  --listen ADDR:PORT  serve /metrics there (default: all addresses, port %d)\n"
                            "  --port P            receive telemetry on local UDP port P (default: one the\n"
                            "                      system picks)\n"
                            "  --help              this text\n"
                            "The supervisors listen on UDP port %d. SIGINT or SIGTERM stops the telemetry of\n"
                            "every board and ends the exporter.\n";

static void printUsage(FILE* to) { fprintf(to, usage, EXPORTER_DEFAULT_PORT, VEXO_UDP_PORT); }

static void logLine(const char* line, void*) { cliWarn("%s", line); }

// The boards of the command line and of the file; false (and *why) when the file cannot be used.
static bool boardList(const std::vector<FleetEntry>& given, const char* file, std::vector<FleetEntry>* out,
                      std::string* why)
{
    std::vector<FleetEntry> fromFile;
    if (file != nullptr && !fleetReadFile(file, &fromFile, why))
        return false;
    std::vector<FleetEntry> all = given;
    all.insert(all.end(), std::make_move_iterator(fromFile.begin()), std::make_move_iterator(fromFile.end()));
    if (!fleetLabelsDistinct(all, file, why))
        return false;
    *out = std::move(all);
    return true;
}

// What the command line asks for.
struct ExporterArgs {
    const char* boardsFile = nullptr;
    std::string listen = "0.0.0.0:" + std::to_string(EXPORTER_DEFAULT_PORT);
    long port = 0;
    std::vector<FleetEntry> given; // the boards of the command line
};

// Reads the options and boards; -1 when the run goes on, else the exit status.
static int readArgs(int argc, char** argv, ExporterArgs* a)
{
    static const option opts[] = {{"boards", required_argument, nullptr, 'b'},
                                  {"listen", required_argument, nullptr, 'l'},
                                  {"port", required_argument, nullptr, 'p'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "+", opts, nullptr)) != -1) {
        switch (c) {
        case 'b': a->boardsFile = optarg; break;
        case 'l': {
            sockaddr_in listen{};
            if (!cliParseHostPort(optarg, EXPORTER_DEFAULT_PORT, &listen))
                cliDie(CLI_EXIT_USAGE, "--listen needs ADDR:PORT with an IPv4 address, not '%s'", optarg);
            a->listen = cliHostPortText(listen);
            break;
        }
        case 'p':
            if (!cliParseLong(optarg, 0, 65535, &a->port))
                cliDie(CLI_EXIT_USAGE, "--port needs a port number 0 to 65535, not '%s'", optarg);
            break;
        case 'h': printUsage(stdout); return CLI_EXIT_OK;
        default: printUsage(stderr); return CLI_EXIT_USAGE;
        }
    }
    for (int i = optind; i < argc; i++) {
        FleetEntry e;
        std::string why;
        if (!fleetParseEntry(argv[i], &e, &why))
            cliDie(CLI_EXIT_USAGE, "%s", why.c_str());
        a->given.push_back(e);
    }
    if (a->given.empty() && a->boardsFile == nullptr) {
        printUsage(stderr);
        return CLI_EXIT_USAGE;
    }
    return -1;
}

// Reads the boards file again after SIGHUP; a file that cannot be used
// leaves the boards as they were.
static void reread(const ExporterArgs& a, Fleet* fleet)
{
    std::vector<FleetEntry> boards;
    std::string why;
    if (a.boardsFile == nullptr) {
        cliWarn("SIGHUP: no --boards file to read");
    } else if (!boardList(a.given, a.boardsFile, &boards, &why)) {
        cliWarn("SIGHUP: keeping the boards followed: %s", why.c_str());
    } else {
        fleetSetBoards(fleet, boards, clockNowMs());
        const size_t n = boards.size();
        std::vector<FleetEntry>().swap(boards); // the fleet holds its own copy now
        malloc_trim(0);                         // the old list and the file's text go back to the system
        cliWarn("SIGHUP: following %zu board%s", n, n == 1 ? "" : "s");
    }
}

// Receives telemetry and asks silent boards again until SIGINT or SIGTERM.
static void follow(const ExporterArgs& a, Fleet* fleet)
{
    long long lastTick = 0;
    while (cliStopSignal() == 0) {
        if (rereadSignal != 0) {
            rereadSignal = 0;
            reread(a, fleet);
        }
        pollfd p{fleet->fd, POLLIN, 0};
        poll(&p, 1, EXPORTER_TICK_MS);
        const long long now = clockNowMs();
        if ((p.revents & POLLIN) != 0)
            fleetReceive(fleet, now);
        if (now - lastTick >= EXPORTER_TICK_MS) {
            fleetTick(fleet, now);
            lastTick = now;
        }
    }
}

int main(int argc, char** argv)
{
    cliProgramName(EXPORTER_NAME);
    ExporterArgs a;
    const int done = readArgs(argc, argv, &a);
    if (done >= 0)
        return done;
    std::vector<FleetEntry> boards;
    std::string why;
    if (!boardList(a.given, a.boardsFile, &boards, &why))
        cliDie(CLI_EXIT_USAGE, "%s", why.c_str());
    setvbuf(stderr, nullptr, _IOLBF, 0);
    // Scrapes run on many worker threads; an allocator arena for each would
    // keep the peak of each scrape's slices and snapshot.
    mallopt(M_ARENA_MAX, 2);
    cliCatchStop({SIGINT, SIGTERM});
    cliCatchSignals(onHangUp, {SIGHUP});
    signal(SIGPIPE, SIG_IGN);
    Fleet fleet;
    fleet.log = logLine;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(a.port));
    if (!fleetOpen(&fleet, local))
        cliDie(CLI_EXIT_FAILURE, "cannot bind UDP port %ld: %s", a.port, strerror(errno));
    MetricsServer* server = metricsServerStart(&fleet, a.listen, &why);
    if (server == nullptr) {
        cliWarn("cannot serve on %s: %s", a.listen.c_str(), why.c_str());
        fleetClose(&fleet);
        return CLI_EXIT_FAILURE;
    }
    fleetSetBoards(&fleet, boards, clockNowMs());
    std::vector<FleetEntry>().swap(boards); // the fleet holds its own copy now
    cliWarn("following %zu board%s; metrics on http://%s/metrics, telemetry to UDP port %d", fleet.boards.size(),
            fleet.boards.size() == 1 ? "" : "s", a.listen.c_str(), fleet.localPort);
    follow(a, &fleet);
    metricsServerStop(server);
    fleetClose(&fleet);
    cliWarn("stopped the telemetry of every board; ending");
    return CLI_EXIT_OK;
}
