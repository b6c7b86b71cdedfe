// vexo-sim: the battery back-up board, simulated on a pseudo-terminal.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clients/common/cli.h"
#include "sim/server.h"

static volatile sig_atomic_t stopSignal = 0;
static int wakePipe[2] = {-1, -1}; // written by the handlers so poll() wakes at once

static void onSignal(int sig)
{
    if (sig != SIGCHLD)
        stopSignal = sig;
    const int saved = errno;
    const ssize_t n = write(wakePipe[1], "x", 1);
    (void)n;
    errno = saved;
}

// The help text stays as it always was, for the scripts that compare it:
// --discharge and the control commands battery-mv and discharge are in the
// manual only.
static const char usage[] =
    "Usage: vexo-sim [OPTIONS] --link PATH\n"
    "       vexo-sim [OPTIONS] -- COMMAND [ARGS...]\n"
    "Simulates the battery back-up board on a pseudo-terminal.\n"
    "  --link PATH      make PATH a symbolic link to the board's line and serve until stopped;\n"
    "                   control commands are read from standard input\n"
    "  -- COMMAND ...   run COMMAND with VEXO_DEVICE naming the line; exit with its status\n"
    "  --interval MS    one status record every MS milliseconds (default 20)\n"
    "  --eeprom FILE    keep the EEPROM in FILE (written atomically)\n"
    "  --onbatt-at S    switch to the battery S seconds after start\n"
    "  --line-at S      switch back to line power S seconds after start\n"
    "  --noise-ua UA    add up to +-UA microamperes of noise to the current\n"
    "  --seed N         seed of the noise\n"
    "  --record FILE    append each request received to FILE: seconds and hex bytes\n"
    "  --control FIFO   also read control commands from FIFO (created if missing)\n"
    "Control commands: line, battery, silent MS, noise N, badsum N, short N, oversize N,\n"
    "  garbage on|off, ignore on|off, confirm-after N, burst N, eeprom ADDR VALUE, quit\n";

// Line-based reader of control commands from one descriptor.
struct ControlInput {
    int fd = -1;
    std::string partial;
};

// Reads what is there and runs complete lines; returns false on "quit".
static bool readControl(SimServer* s, ControlInput* in)
{
    char buf[256];
    const ssize_t n = read(in->fd, buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 && in->fd == 0)
            in->fd = -1; // standard input closed: stop reading it
        return true;
    }
    in->partial.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = in->partial.find('\n')) != std::string::npos) {
        const std::string line = in->partial.substr(0, nl);
        in->partial.erase(0, nl + 1);
        if (line == "quit")
            return false;
        const std::string err = simControl(s, line);
        if (!err.empty())
            cliWarn("%s", err.c_str());
    }
    return true;
}

// Appends the requests not yet written to the record file.
static void flushRecord(SimServer* s, FILE* rec, long* seen)
{
    if (rec == nullptr)
        return;
    for (const auto& r : simRequestsSince(s, seen)) {
        fprintf(rec, "%.6f", r.t);
        for (byte b : r.packet)
            fprintf(rec, " %02X", b);
        fprintf(rec, "\n");
    }
    fflush(rec);
}

// The file that path names once its symbolic links are followed (it may
// not exist yet); empty with errno set for a loop of links.
static std::string followLinks(std::string path)
{
    for (int hops = 0; hops < 40; hops++) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1);
        const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
        if (n < 0)
            return path;
        const std::string t(target.data(), static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        if (t[0] == '/' || slash == std::string::npos) {
            path = t;
        } else {
            path.resize(slash + 1);
            path += t;
        }
    }
    errno = ELOOP;
    return "";
}

// The EEPROM file to keep: a regular file (or a missing one, created on the
// first write) that can be read, links followed. Exits with CLI_EXIT_USAGE
// otherwise, before anything is served, so that nothing else is ever replaced.
static std::string eepromFileOrExit(const char* given)
{
    std::string path = followLinks(given);
    struct stat st {};
    int err = 0;
    if (path.empty()) {
        err = errno;
    } else if (stat(path.c_str(), &st) != 0) {
        err = errno == ENOENT ? 0 : errno; // missing: made on the first write
    } else if (!S_ISREG(st.st_mode)) {
        cliDie(CLI_EXIT_USAGE, "--eeprom %s: not a regular file", given);
    } else if (st.st_size != 0) { // an empty file starts from the defaults
        std::array<byte, 256> image{};
        err = simEepromLoad(path, &image);
        if (err == EINVAL)
            cliDie(CLI_EXIT_USAGE, "--eeprom %s: not a 256-byte EEPROM image (%lld bytes)", given,
                   static_cast<long long>(st.st_size));
    }
    if (err != 0)
        cliDie(CLI_EXIT_USAGE, "cannot read --eeprom %s: %s", given, strerror(err));
    return path;
}

// Says so on standard error when a write of the EEPROM file has failed since
// the last look; true once any has.
static bool eepromWritesFailed(const SimServer* s, const std::string& path, long* reported)
{
    int err = 0;
    const long failures = simEepromFailures(s, &err);
    if (failures > *reported) {
        cliWarn("cannot write the EEPROM to %s: %s", path.c_str(), strerror(err));
        *reported = failures;
    }
    return *reported > 0;
}

// A whole number or decimal in [min, max] from an option's text, or exit with CLI_EXIT_USAGE.
static double numberArg(const char* option, const char* text, double min, double max)
{
    double v = 0;
    if (!cliParseNumber(text, min, max, &v))
        cliDie(CLI_EXIT_USAGE, "--%s needs a number from %g to %g, not '%s'", option, min, max, text);
    return v;
}

// One run of the simulator: what the command line asks for and what is open.
struct SimRun {
    SimConfig cfg;
    std::string link, recordPath, controlPath;
    char** command = nullptr; // the command to run, or null in link mode
    SimServer* sim = nullptr;
    FILE* rec = nullptr;
    std::vector<ControlInput> inputs;
    int fifoWriter = -1;
    pid_t child = -1;
};

// Reads the options; -1 when the run goes on, else the exit status.
static int readArgs(int argc, char** argv, SimRun* r)
{
    static const option opts[] = {{"interval", required_argument, nullptr, 'i'},
                                  {"eeprom", required_argument, nullptr, 'e'},
                                  {"onbatt-at", required_argument, nullptr, 'b'},
                                  {"line-at", required_argument, nullptr, 'l'},
                                  {"noise-ua", required_argument, nullptr, 'n'},
                                  {"seed", required_argument, nullptr, 's'},
                                  {"discharge", required_argument, nullptr, 'd'},
                                  {"record", required_argument, nullptr, 'r'},
                                  {"control", required_argument, nullptr, 'c'},
                                  {"link", required_argument, nullptr, 'L'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    SimConfig& cfg = r->cfg;
    int c;
    while ((c = getopt_long(argc, argv, "+", opts, nullptr)) != -1) {
        switch (c) {
        case 'i': cfg.intervalMs = static_cast<int>(numberArg("interval", optarg, 0, 60000)); break;
        case 'e': cfg.board.eepromPath = eepromFileOrExit(optarg); break;
        case 'b': cfg.onbattAtS = numberArg("onbatt-at", optarg, 0, 1e9); break;
        case 'l': cfg.lineAtS = numberArg("line-at", optarg, 0, 1e9); break;
        case 'n': cfg.board.noiseUa = numberArg("noise-ua", optarg, 0, 1e6); break;
        case 's': cfg.board.seed = static_cast<unsigned>(numberArg("seed", optarg, 0, 4294967295.0)); break;
        case 'd': cfg.board.dischargeMvS = numberArg("discharge", optarg, 0, 1000); break;
        case 'r': r->recordPath = optarg; break;
        case 'c': r->controlPath = optarg; break;
        case 'L': r->link = optarg; break;
        case 'h': printf("%s", usage); return CLI_EXIT_OK;
        default: fprintf(stderr, "%s", usage); return CLI_EXIT_USAGE;
        }
    }
    const bool runCommand = optind < argc;
    if (runCommand == !r->link.empty() || cfg.intervalMs < 0) {
        fprintf(stderr, "%s", usage);
        return CLI_EXIT_USAGE;
    }
    r->command = runCommand ? argv + optind : nullptr;
    if (!r->controlPath.empty()) {
        struct stat st {};
        if (stat(r->controlPath.c_str(), &st) == 0 ? !S_ISFIFO(st.st_mode) : errno != ENOENT)
            cliDie(CLI_EXIT_USAGE, "--control %s: not a FIFO", r->controlPath.c_str());
    }
    return -1;
}

// Starts the board and opens the record, the control FIFO and the link;
// false after a message.
static bool openBoard(SimRun* r)
{
    r->sim = simServerNew(r->cfg);
    if (!simServerStart(r->sim)) {
        cliWarn("cannot open a pseudo-terminal: %s", strerror(errno));
        return false;
    }
    if (!r->recordPath.empty() && (r->rec = fopen(r->recordPath.c_str(), "a")) == nullptr) {
        cliWarn("cannot open %s: %s", r->recordPath.c_str(), strerror(errno));
        return false;
    }
    if (!r->controlPath.empty()) {
        if (mkfifo(r->controlPath.c_str(), 0600) != 0 && errno != EEXIST) {
            cliWarn("cannot make %s: %s", r->controlPath.c_str(), strerror(errno));
            return false;
        }
        ControlInput in;
        in.fd = open(r->controlPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        r->fifoWriter = open(r->controlPath.c_str(), O_WRONLY | O_CLOEXEC); // no EOF when writers come and go
        r->inputs.push_back(in);
    }
    const std::string line = simServerSlavePath(r->sim);
    if (r->link.empty()) {
        cliWarn("board on %s, a status every %d ms", line.c_str(), r->cfg.intervalMs);
        return true;
    }
    struct stat st {};
    if (lstat(r->link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        unlink(r->link.c_str());
    if (symlink(line.c_str(), r->link.c_str()) != 0) {
        cliWarn("cannot link %s: %s", r->link.c_str(), strerror(errno));
        r->link.clear(); // not ours to remove
        return false;
    }
    r->inputs.push_back(ControlInput{0, ""});
    cliWarn("board on %s (link %s), a status every %d ms; Ctrl-C ends", line.c_str(), r->link.c_str(),
            r->cfg.intervalMs);
    return true;
}

// Runs the command, if any, with VEXO_DEVICE naming the board's line.
static void startCommand(SimRun* r)
{
    if (r->command == nullptr)
        return;
    setenv("VEXO_DEVICE", simServerSlavePath(r->sim).c_str(), 1);
    r->child = fork();
    if (r->child == 0) {
        cliDefaultSignals({SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD});
        execvp(r->command[0], r->command);
        cliWarn("cannot run %s: %s", r->command[0], strerror(errno));
        _exit(CLI_EXIT_CANNOT_RUN);
    }
}

static int exitStatus(int ws) { return WIFEXITED(ws) ? WEXITSTATUS(ws) : CLI_EXIT_SIGNALLED + WTERMSIG(ws); }

// Serves control commands, the record and the EEPROM reports until "quit", a
// signal or the command's end; returns the command's status (0 without one).
static int serve(SimRun* r, long* recorded, long* eepromFailures)
{
    bool quit = false;
    while (!quit && stopSignal == 0) {
        std::vector<pollfd> fds(r->inputs.size());
        std::transform(r->inputs.begin(), r->inputs.end(), fds.begin(), [](const ControlInput& in) {
            return pollfd{in.fd, POLLIN, 0};
        });
        fds.push_back(pollfd{wakePipe[0], POLLIN, 0});
        poll(fds.data(), fds.size(), 50);
        char drain[64];
        while (read(wakePipe[0], drain, sizeof drain) > 0) {}
        for (size_t i = 0; i < r->inputs.size(); i++)
            if (r->inputs[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)))
                quit |= !readControl(r->sim, &r->inputs[i]);
        flushRecord(r->sim, r->rec, recorded);
        eepromWritesFailed(r->sim, r->cfg.board.eepromPath, eepromFailures);
        int ws = 0;
        if (r->child > 0 && waitpid(r->child, &ws, WNOHANG) == r->child) {
            r->child = -1;
            return exitStatus(ws);
        }
    }
    if (r->child <= 0)
        return CLI_EXIT_OK;
    kill(r->child, SIGTERM);
    int ws = 0;
    waitpid(r->child, &ws, 0);
    r->child = -1;
    return exitStatus(ws);
}

// Stops the board, writes the last of the record and closes what is open.
static void closeBoard(SimRun* r, long* recorded)
{
    if (r->sim != nullptr) {
        simServerStop(r->sim);
        flushRecord(r->sim, r->rec, recorded);
    }
    if (r->rec != nullptr)
        fclose(r->rec);
    if (r->fifoWriter >= 0)
        close(r->fifoWriter);
    if (!r->link.empty())
        unlink(r->link.c_str());
}

int main(int argc, char** argv)
{
    cliProgramName("vexo-sim");
    SimRun r;
    const int done = readArgs(argc, argv, &r);
    if (done >= 0)
        return done;
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        cliDie(CLI_EXIT_FAILURE, "%s", strerror(errno));
    cliCatchSignals(onSignal, {SIGINT, SIGTERM, SIGHUP, SIGCHLD});
    signal(SIGPIPE, SIG_IGN);
    long recorded = 0;
    long eepromFailures = 0;
    if (!openBoard(&r)) {
        closeBoard(&r, &recorded);
        simServerUnref(r.sim);
        return CLI_EXIT_FAILURE;
    }
    startCommand(&r);
    int status = serve(&r, &recorded, &eepromFailures);
    closeBoard(&r, &recorded);
    // Lost EEPROM writes fail the run; a command's own failure says more.
    if (eepromWritesFailed(r.sim, r.cfg.board.eepromPath, &eepromFailures) && status == CLI_EXIT_OK)
        status = CLI_EXIT_FAILURE;
    simServerUnref(r.sim);
    return status;
}
