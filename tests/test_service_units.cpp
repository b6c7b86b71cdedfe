// The shipped services under a real systemd: the build installed into a
// container's tree, the container booted with its own PID 1 and network,
// the simulated board's pseudo-terminal bound in. The supervisor's status,
// journal, watchdog restart, restart after a link failure and the shutdown
// it runs on battery, which halts the container only; and the exporter's
// scrape. Outside CI it is skipped where no container can boot here.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/container.h"
#include "tests/helpers.h"
#include "tests/http_helpers.h"
#include "tests/netns.h"

#ifndef VEXO_CMAKE
#error "VEXO_CMAKE must name the cmake program that installs the build"
#endif

namespace fs = std::filesystem;

static bool inCI() { return getenv("CI") != nullptr && *getenv("CI") != '\0'; }

// No container here: a failure in CI, where it must boot, else a skip that says why.
#define CONTAINER_UNAVAILABLE(why)                                                                                     \
    do {                                                                                                               \
        if (inCI())                                                                                                    \
            FAIL() << "no systemd container in CI: " << (why);                                                         \
        GTEST_SKIP() << "no systemd container can boot here (" << (why) << "); with CI set this fails";                \
    } while (0)

static const char BOARD_IN[] = "/run/vexo-board"; // the directory of the board's link, inside
static const char PTS_IN[] = "/run/vexo-pts";     // the machine's pseudo-terminals, inside
static const std::string DEVICE = std::string(BOARD_IN) + "/tty";
static const char LABEL[] = "container";

static bool hasLine(const std::string& text, const std::string& line)
{
    for (const auto& l : lines(text))
        if (l == line)
            return true;
    return false;
}

static bool hasLineMatching(const std::string& text, const std::regex& re)
{
    for (const auto& l : lines(text))
        if (std::regex_match(l, re))
            return true;
    return false;
}

// The value after "key=" on the line of a unit or settings file that starts so.
static std::string setting(const std::string& text, const std::string& key)
{
    for (const auto& l : lines(text))
        if (l.rfind(key + "=", 0) == 0)
            return l.substr(key.size() + 1);
    return "";
}

// The file under dir whose name is name, or "".
static std::string findFile(const std::string& dir, const std::string& name)
{
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec))
        if (e.path().filename() == name)
            return e.path().string();
    return "";
}

// Replaces the line of a settings file that starts with from by to; false when none does.
static bool replaceLine(const std::string& path, const std::string& from, const std::string& to)
{
    std::string out;
    bool found = false;
    for (const auto& l : lines(readFile(path))) {
        const bool hit = !found && l.rfind(from, 0) == 0;
        found = found || hit;
        out += (hit ? to : l) + "\n";
    }
    std::ofstream(path) << out;
    return found;
}

static const std::regex LOCKED_STATUS("target 250 mA, [0-9]+\\.[0-9] mA, locked, line power");
static const std::regex LOCK_LINE("locked( again)? at PWM low time [0-9]+, [0-9]+\\.[0-9] mA for 250 mA");

class ServiceUnits : public ::testing::Test {
protected:
    TempDir tmp;
    std::string dir = tmp.path();
    std::string inst = dir + "/inst";   // the build as installed (DESTDIR)
    std::string root = dir + "/root";   // the container's tree
    std::string board = dir + "/board"; // bound in at BOARD_IN: the link to the board's line
    SimConfig cfg;
    SimHandle sim;
    ContainerGuard guard; // declared last: ended first, before the files go
    Container& c = guard.c;

    // The path outside of a file the container sees at inside: /usr from
    // the installed layer, the rest from the container's tree.
    std::string outside(const std::string& inside) const
    {
        return (inside.rfind("/usr/", 0) == 0 ? inst : root) + inside;
    }

    // A fresh simulated board, and the link inside pointed at its line.
    void startBoard()
    {
        sim.reset(simServerNew(cfg));
        ASSERT_TRUE(simServerStart(sim.get())) << strerror(errno);
        const std::string slave = simServerSlavePath(sim.get());
        const std::string target = std::string(PTS_IN) + "/" + fs::path(slave).filename().string();
        const std::string next = board + "/tty.new";
        unlink(next.c_str());
        ASSERT_EQ(symlink(target.c_str(), next.c_str()), 0) << strerror(errno);
        ASSERT_EQ(rename(next.c_str(), (board + "/tty").c_str()), 0) << strerror(errno);
    }

    std::map<std::string, std::string> props(const std::string& unit)
    {
        const RunResult r = containerRun(c, {"systemctl", "show", "-p", "MainPID", "-p", "ActiveState", "-p",
                                             "StatusText", "-p", "NRestarts", unit});
        std::map<std::string, std::string> out;
        for (const auto& l : lines(r.out))
            if (const size_t eq = l.find('='); eq != std::string::npos)
                out[l.substr(0, eq)] = l.substr(eq + 1);
        return out;
    }

    // The supervisor's lines in the container's journal from process pid.
    std::string vexoLines(const std::string& pid)
    {
        return containerRun(c, {"journalctl", "--no-pager", "-o", "cat", "-t", "vexo", "_PID=" + pid}).out;
    }

    std::string unitLines(const std::string& unit)
    {
        return containerRun(c, {"journalctl", "--no-pager", "-o", "cat", "-u", unit}).out;
    }

    // Waits until the supervisor runs as a process other than those in
    // gone, locked; its main PID inside, or "" after timeoutMs.
    std::string waitLocked(const std::vector<std::string>& gone, int timeoutMs)
    {
        std::string pid;
        const bool locked = waitFor(
            [&] {
                auto p = props("vexo-charge.service");
                pid = p["MainPID"];
                return p["ActiveState"] == "active" && pid != "0" &&
                       std::find(gone.begin(), gone.end(), pid) == gone.end() &&
                       std::regex_match(p["StatusText"], LOCKED_STATUS);
            },
            timeoutMs);
        return locked ? pid : "";
    }

    // The host's view of the supervisor inside: a child of the container's PID 1.
    void expectUnderContainerSystemd(const std::string& pid)
    {
        ASSERT_EQ(containerCheckIsolated(c), "");
        const pid_t host = containerHostPid(c, static_cast<pid_t>(std::stol(pid)));
        ASSERT_GT(host, 0) << "supervisor " << pid << " not found from outside";
        EXPECT_EQ(processParent(host), c.leader) << "supervisor " << pid << " is not a child of the container's PID 1";
    }

    // On a failure, the services' story from the container's journal.
    void TearDown() override
    {
        if (!HasFailure() || !fs::is_directory(root + "/var/log/journal"))
            return;
        const RunResult j =
            runProgram({"journalctl", "--no-pager", "-o", "short-precise", "-D", root + "/var/log/journal", "-u",
                        "vexo-charge.service", "-u", "vexo-exporter.service", "-t", "vexo", "-t", "vexo-exporter"});
        printf("The container's journal of the services:\n%s%s", j.out.c_str(), j.err.c_str());
    }

    // GET /metrics inside the container's network.
    HttpReply scrape(int port)
    {
        const std::string netns = "/proc/" + std::to_string(c.leader) + "/ns/net";
        const RunResult r = runInChild([&]() -> int {
            const int fd = open(netns.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, CLONE_NEWNET) != 0)
                return 3;
            const HttpReply h = httpGet(port, "/metrics", 3000);
            fwrite(h.body.data(), 1, h.body.size(), stdout);
            return h.status == 200 ? 0 : 1;
        });
        HttpReply h;
        h.status = r.status == 0 ? 200 : 0;
        h.body = r.out;
        return h;
    }
};

TEST_F(ServiceUnits, SupervisorAndExporterUnderSystemd)
{
    const auto t0 = std::chrono::steady_clock::now();
    const auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
    if (!privateNetwork() || !privateMounts())
        CONTAINER_UNAVAILABLE("needs the test sandbox's private network and mount namespaces (run as root)");
    ASSERT_FALSE(dir.empty()) << "no temporary directory";

    // The build installed as a package would be, into the test's directory.
    const RunResult install = runProgram({VEXO_CMAKE, "--install", VEXO_BIN_DIR}, {"DESTDIR=" + inst}, 60000);
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    ASSERT_TRUE(fs::is_directory(inst + "/usr")) << "the build installs outside /usr";
    ASSERT_TRUE(containerMakeTree(root));
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(inst)) // what lies outside /usr (settings in /etc) goes into the tree
        if (e.path().filename() != "usr")
            fs::copy(e.path(), fs::path(root) / e.path().filename(), fs::copy_options::recursive, ec);
    ASSERT_FALSE(ec) << ec.message();
    const std::string chargeUnit = readFile(findFile(inst, "vexo-charge.service"));
    const std::string exporterUnit = readFile(findFile(inst, "vexo-exporter.service"));
    ASSERT_NE(chargeUnit, "") << "vexo-charge.service not installed";
    ASSERT_NE(exporterUnit, "") << "vexo-exporter.service not installed";

    // The operator's settings, in the files the units read: the board's
    // device, and a shutdown 2 s after line power goes.
    const std::string chargeDefaults = outside(setting(chargeUnit, "EnvironmentFile").substr(1));
    ASSERT_TRUE(replaceLine(chargeDefaults, "#VEXO_DEVICE=", "VEXO_DEVICE=" + DEVICE)) << chargeDefaults;
    ASSERT_TRUE(replaceLine(chargeDefaults, "VEXO_SHUTDOWN=", "VEXO_SHUTDOWN=2")) << chargeDefaults;
    const std::string exporterDefaults = readFile(outside(setting(exporterUnit, "EnvironmentFile").substr(1)));
    const std::string boards = outside(setting(exporterDefaults, "VEXO_BOARDS"));
    ASSERT_TRUE(fs::is_regular_file(boards)) << "the exporter's settings name " << boards << ", which is not installed";
    std::ofstream(boards, std::ios::app) << "127.0.0.1=" << LABEL << "\n";
    const std::string listen = setting(exporterDefaults, "VEXO_EXPORTER_LISTEN");
    const int metricsPort = std::atoi(listen.substr(listen.rfind(':') + 1).c_str());
    // The test's drop-in: a quicker watchdog, and no core dump of its abort
    // signal (the core pattern is the machine's, a pipe to a program there).
    const std::string dropIn = root + "/etc/systemd/system/vexo-charge.service.d";
    fs::create_directories(dropIn);
    std::ofstream(dropIn + "/test.conf") << "[Service]\nWatchdogSec=3\nLimitCORE=1\n";
    // A journal kept in the tree, to be read once the container has halted.
    fs::create_directories(root + "/var/log/journal");
    fs::create_directories(board);
    cfg.intervalMs = 20;
    ASSERT_NO_FATAL_FAILURE(startBoard());

    ContainerSpec box;
    box.root = root;
    box.usrLayer = inst + "/usr";
    box.log = dir + "/nspawn.log";
    box.machine = "vexo-test-" + std::to_string(getpid());
    box.bindsRo = {{board, BOARD_IN}, {"/dev/pts", PTS_IN}};
    const double bootStart = seconds();
    if (const std::string why = containerBoot(&c, box, 30000); !why.empty())
        CONTAINER_UNAVAILABLE(why);
    const double booted = seconds();
    ASSERT_EQ(containerCheckIsolated(c), "");

    // Started: READY=1 before systemctl returns, then the status and the journal.
    RunResult r = containerRun(c, {"systemctl", "start", "vexo-charge.service"}, 20000);
    ASSERT_EQ(r.status, 0) << r.out << r.err << unitLines("vexo-charge.service");
    const std::string first = waitLocked({}, 10000);
    ASSERT_NE(first, "") << props("vexo-charge.service")["StatusText"] << "\n" << unitLines("vexo-charge.service");
    expectUnderContainerSystemd(first);
    const std::string startLine = "started on " + DEVICE +
                                  ": target 250 mA, on 60 s, off 60 s, shutdown after 2 s on battery, commands on all "
                                  "addresses port 4000 from anyone";
    EXPECT_TRUE(waitFor([&] { return hasLineMatching(vexoLines(first), LOCK_LINE); }, 5000)) << vexoLines(first);
    EXPECT_TRUE(hasLine(vexoLines(first), startLine)) << vexoLines(first);

    // The exporter, a dynamic user under its own hardening, scraped inside.
    r = containerRun(c, {"systemctl", "start", "vexo-exporter.service"}, 20000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string up = std::string("vexo_up{board=\"") + LABEL + "\"}";
    const std::string locked = std::string("vexo_charge_locked{board=\"") + LABEL + "\"}";
    HttpReply m;
    EXPECT_TRUE(waitFor(
        [&] {
            m = scrape(metricsPort);
            return metric(m.body, up) == 1 && metric(m.body, locked) == 1;
        },
        15000))
        << m.status << "\n"
        << m.body << unitLines("vexo-exporter.service");
    EXPECT_EQ(metric(m.body, std::string("vexo_on_battery{board=\"") + LABEL + "\"}"), 0) << m.body;
    EXPECT_EQ(metric(m.body, "vexo_exporter_boards"), 1) << m.body;
    EXPECT_EQ(props("vexo-exporter.service")["ActiveState"], "active");

    // Stopped: the watchdog kills it, Restart= brings it back, locked again.
    const double stopAt = seconds();
    r = containerRun(c, {"systemctl", "kill", "--kill-whom=main", "--signal=SIGSTOP", "vexo-charge.service"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string second = waitLocked({first}, 20000);
    const double watchdogS = seconds() - stopAt;
    ASSERT_NE(second, "") << unitLines("vexo-charge.service");
    EXPECT_EQ(props("vexo-charge.service")["NRestarts"], "1");
    std::string units = unitLines("vexo-charge.service");
    EXPECT_TRUE(hasLine(units, "vexo-charge.service: Watchdog timeout (limit 3s)!")) << units;
    EXPECT_TRUE(hasLine(units, "vexo-charge.service: Main process exited, code=killed, status=6/ABRT")) << units;
    EXPECT_TRUE(waitFor([&] { return hasLineMatching(vexoLines(second), LOCK_LINE); }, 5000)) << vexoLines(second);
    EXPECT_TRUE(hasLine(vexoLines(second), startLine)) << vexoLines(second);

    // The board's line gone: the link failure ends it with status 3, and it
    // is started again on the new line once the simulator is back.
    const double linkAt = seconds();
    simServerStop(sim.get());
    EXPECT_TRUE(waitFor([&] { return props("vexo-charge.service")["MainPID"] != second; }, 10000));
    ASSERT_NO_FATAL_FAILURE(startBoard());
    const std::string third = waitLocked({first, second}, 20000);
    const double relinkS = seconds() - linkAt;
    ASSERT_NE(third, "") << unitLines("vexo-charge.service");
    EXPECT_EQ(props("vexo-charge.service")["NRestarts"], "2");
    units = unitLines("vexo-charge.service");
    EXPECT_TRUE(hasLine(units, "vexo-charge.service: Main process exited, code=exited, status=3/NOTIMPLEMENTED"))
        << units;
    EXPECT_TRUE(hasLine(vexoLines(second), "Failed to communicate with AVR")) << vexoLines(second);
    EXPECT_TRUE(waitFor([&] { return hasLineMatching(vexoLines(third), LOCK_LINE); }, 5000)) << vexoLines(third);

    // Line power lost: 2 s later the hardened unit's "shutdown -h now"
    // halts the container, the supervisor having been checked to run under
    // the container's own PID 1; the machine's shutdown is never reached.
    expectUnderContainerSystemd(third);
    const double lostAt = seconds();
    simSetLinePower(sim.get(), false);
    EXPECT_EQ(containerWait(&c, 20000), 0) << readFile(box.log);
    const double haltS = seconds() - lostAt;
    EXPECT_NE(readFile(box.log).find("Container " + box.machine + " has been shut down."), std::string::npos)
        << readFile(box.log);
    r = runProgram(
        {"journalctl", "--no-pager", "-o", "cat", "-D", root + "/var/log/journal", "-t", "vexo", "_PID=" + third});
    for (const char* line :
         {"line power lost", "shutdown in 2 s unless line power returns", "running \"shutdown -h now\""})
        EXPECT_TRUE(hasLine(r.out, line)) << line << "\n" << r.out << r.err;
    // The host may stop the supervisor before the command has ended; if it
    // saw the end, the command succeeded.
    if (r.out.find("ran \"shutdown -h now\"") != std::string::npos) {
        EXPECT_TRUE(hasLine(r.out, "ran \"shutdown -h now\": exit status 0")) << r.out;
    }
    EXPECT_EQ(readFile(sandboxShutdownLog()), "") << "a shutdown outside the container";
    const std::string fake = sandboxShutdownLog().substr(0, sandboxShutdownLog().size() - 4);
    struct stat fakeSt {
    }, hostSt{};
    ASSERT_EQ(stat(fake.c_str(), &fakeSt), 0) << fake;
    ASSERT_EQ(stat("/usr/sbin/shutdown", &hostSt), 0);
    EXPECT_TRUE(fakeSt.st_ino == hostSt.st_ino && fakeSt.st_dev == hostSt.st_dev)
        << "outside the container, shutdown is no longer the recording fake";

    printf("[  TIMING  ] boot %.1f s, watchdog restart to lock %.1f s, link restart to lock %.1f s, "
           "power loss to halt %.1f s, whole test %.1f s\n",
           booted - bootStart, watchdogS, relinkS, haltS, seconds());
}
