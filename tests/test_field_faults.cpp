// The supervisor against the programs around it when they stop taking
// anything: a system log and a service manager that never read, a shutdown
// command that takes 20 s, and hooks that inherit what they must not or
// outlive it. Each scenario checks that requests to the board, telemetry
// and the watchdog go on; the request rates are printed ("requests/s").
#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/log_capture.h"
#include "tests/netns.h"
#include "tests/udp_helpers.h"
#include "avr/vexo_field.h"

namespace {

constexpr int ERR = 3, WARNING = 4, NOTICE = 5;

// True once pid has ended (gone, or a zombie nobody reaped yet).
bool ended(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] == 'Z');
}

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

class FieldFaults : public SupervisorTest {
protected:
    Background bg;
    int peer = -1;
    int telemetry = 0; // datagrams received on peer

    void TearDown() override
    {
        stopProgram(&bg);
        if (peer >= 0)
            close(peer);
        // Hooks and fakes run apart from the supervisor: end them by PID.
        std::istringstream pids(readFile(dir + "/pids"));
        for (int pid; pids >> pid;)
            kill(pid, SIGKILL);
        SupervisorTest::TearDown();
    }
    // Telemetry to a socket of the test's own; true once the first datagram came.
    bool subscribe()
    {
        int port = 0;
        peer = loopbackSocket(0, &port);
        const std::int32_t cmd[2] = {1, port};
        sendTo(peer, 4000, cmd, sizeof cmd);
        return receiveOne(peer, 3000).size() == 104u;
    }
    void countTelemetry()
    {
        while (!receiveOne(peer, 0).empty())
            telemetry++;
    }
    // Requests per second to the board while fn runs.
    double requestRate(const std::function<void()>& fn)
    {
        const long n = simRequestsTotal(sim);
        const double t = simServerNow(sim);
        fn();
        return static_cast<double>(simRequestsTotal(sim) - n) / (simServerNow(sim) - t);
    }
    std::string writeScript(const std::string& name, const std::string& body)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
        return path;
    }
};

// Line power flaps every 1.5 s and a peer sends accepted commands while
// nobody reads /dev/log (its queue holds 10 lines here): the supervisor
// goes on, and says what it dropped once the log reads again. The
// supervisor looks at line power once a second, so a state that lasts 1.5 s
// is seen every time, however late a look comes; a state of one second
// would be missed now and then, and with it four lines.
TEST_F(FieldFaults, SystemLogThatNeverReadsStallsNothing)
{
    std::optional<LogCapture> log;
    log.emplace();
    ASSERT_TRUE(log->bound());
    bg = startVexo({"--shutdown", "3", "--charge", "200"}, "out.txt");
    ASSERT_TRUE(waitRequests(20, 5000));
    ASSERT_TRUE(subscribe());
    int commands = 0;
    const double rate = requestRate([&] {
        const double start = simServerNow(sim);
        for (int toggles = 0; toggles < 12;) {
            if (simServerNow(sim) - start >= 1.5 * toggles) {
                simSetLinePower(sim, toggles % 2 == 1);
                toggles++;
            }
            const std::int32_t cmd[2] = {3, 200 + commands++ % 2};
            sendTo(peer, 4000, cmd, sizeof cmd);
            usleep(20000);
            countTelemetry();
        }
    });
    printf("requests/s during 18 s of line power flapping every 1.5 s, system log unread: %.1f\n", rate);
    EXPECT_GT(rate, 10.0);
    EXPECT_GE(telemetry, 9);
    simSetLinePower(sim, false);
    ASSERT_TRUE(waitFor([&] { return readFile(shutdownLog).find("-h now") != std::string::npos; }, 6000))
        << "the shutdown runs";
    const size_t n = requests().size();
    EXPECT_TRUE(waitRequests(n + 20, 3000));

    // Reading again: the queued lines, then the count of the dropped ones.
    ASSERT_GE(log->lines().size(), 10u) << "the queue's 10";
    EXPECT_EQ(log->lines()[0].text.rfind("started on ", 0), 0u);
    std::string said;
    ASSERT_TRUE(waitFor(
        [&] {
            for (const auto& l : log->lines())
                if (endsWith(l.text, " lines dropped while the system log took none")) {
                    said = l.text;
                    EXPECT_EQ(l.level, WARNING);
                }
            return !said.empty();
        },
        3000))
        << [&] {
               std::string all;
               for (const auto& l : log->lines())
                   all += l.text + "\n";
               return all;
           }();
    EXPECT_GE(std::atoi(said.c_str()), 10) << said;
    auto continuous = [&] {
        return std::count_if(log->lines().begin(), log->lines().end(),
                             [](const LogLine& l) { return endsWith(l.text, " mA, continuous, set by 127.0.0.1"); });
    };
    EXPECT_LE(continuous(), 1) << "one line for a burst of " << commands << " commands 3";

    // Accepted commands: the first of a kind at once, the rest held.
    const std::int32_t more[2] = {3, 200}, cycle[4] = {4, 190, 30, 10};
    for (int i = 0; i < 50; i++)
        sendTo(peer, 4000, more, sizeof more);
    sendTo(peer, 4000, cycle, sizeof cycle);
    EXPECT_EQ(log->find("target 200 -> 190 mA", 3000).text,
              "target 200 -> 190 mA, on 1 -> 30 s, off 0 -> 10 s, set by 127.0.0.1");
    usleep(500000);
    EXPECT_LE(continuous(), 1);

    // The log restarts on a new socket: the supervisor finds it.
    log.reset();
    log.emplace();
    simSetLinePower(sim, true);
    EXPECT_EQ(log->find("line power back").level, NOTICE);
    EXPECT_TRUE(programRunning(&bg));
}

// A service manager that never reads its socket (path or abstract name),
// with the watchdog at 2 s: the supervisor goes on. A path too long for a
// socket address is refused in the log.
TEST_F(FieldFaults, NotificationSocketThatNeverReadsStallsNothing)
{
    startSim();
    for (const std::string& name : {dir + "/notify", "@vexo-notify-" + std::to_string(getpid())}) {
        SCOPED_TRACE(name);
        NotifyCapture notify(name);
        ASSERT_TRUE(notify.bound());
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        setenv("WATCHDOG_USEC", "2000000", 1);
        const size_t n = requests().size();
        bg = startVexo({"--charge", "200"}, "out.txt");
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        ASSERT_TRUE(waitRequests(n + 20, 5000));
        ASSERT_TRUE(subscribe());
        telemetry = 0;
        usleep(3000000); // the socket's queue is full after 3.7 s
        const double rate = requestRate([&] {
            for (int i = 0; i < 40; i++) {
                usleep(100000);
                countTelemetry();
            }
        });
        printf("requests/s from 3 s to 7 s after the start, notification socket %s unread: %.1f\n",
               name[0] == '@' ? "(abstract)" : "(path)", rate);
        EXPECT_GT(rate, 10.0);
        EXPECT_GE(telemetry, 3);
        EXPECT_TRUE(programRunning(&bg)) << "ended with status " << bg.status;
        stopProgram(&bg);
        close(peer);
        peer = -1;
    }
    LogCapture log;
    const std::vector<std::pair<std::string, std::string>> refusals{
        {"/" + std::string(120, 'n'),
         "NOTIFY_SOCKET refused: 121 characters, more than a socket address holds (107): no notifications"},
        {"vsock:2:1234",
         "NOTIFY_SOCKET refused: 'vsock:2:1234' is neither a path nor an abstract name (@name): no notifications"},
    };
    for (const auto& [value, line] : refusals) {
        setenv("NOTIFY_SOCKET", value.c_str(), 1);
        bg = startVexo({"--charge", "200"}, "out.txt");
        unsetenv("NOTIFY_SOCKET");
        const LogLine refused = log.find(line);
        EXPECT_EQ(refused.text, line);
        EXPECT_EQ(refused.level, ERR);
        stopProgram(&bg);
    }
}

// "shutdown -h now" takes 20 s and fails: requests, telemetry and
// WATCHDOG=1 go on; the manager hears a status first, never STOPPING=1.
TEST_F(FieldFaults, SlowShutdownCommandStopsNothing)
{
    const std::string slowLog = dir + "/slow.log";
    writeScript("fakebin/shutdown", "echo $$ >> '" + dir + "/pids'\necho \"start $*\" >> '" + slowLog +
                                        "'\nsleep 20 &\necho $! >> '" + dir + "/pids'\nwait\necho end >> '" + slowLog +
                                        "'\nexit 3\n");
    LogCapture log;
    NotifyCapture notify("@vexo-notify-" + std::to_string(getpid()));
    setenv("NOTIFY_SOCKET", notify.name().c_str(), 1);
    setenv("WATCHDOG_USEC", "1000000", 1);
    bg = startVexo({"--shutdown", "2", "--charge", "200"}, "out.txt");
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(waitFor([&] { return notify.messages().size() > 2 && requests().size() > 20; }, 5000));
    ASSERT_TRUE(subscribe());
    simSetLinePower(sim, false);
    ASSERT_TRUE(waitFor(
        [&] {
            notify.messages();
            return readFile(slowLog) == "start -h now\n";
        },
        5000));
    const size_t first = notify.messages().size();
    telemetry = 0;
    const double rate = requestRate([&] {
        waitFor(
            [&] {
                countTelemetry();
                notify.messages();
                return readFile(slowLog) == "start -h now\nend\n";
            },
            25000);
    });
    printf("requests/s while a 20 s shutdown command runs: %.1f\n", rate);
    EXPECT_GT(rate, 10.0);
    EXPECT_GE(telemetry, 15);
    EXPECT_EQ(log.find("ran \"shutdown -h now\"", 3000).text, "ran \"shutdown -h now\": exit status 3");
    for (int i = 0; i < 15; i++) {
        usleep(100000);
        notify.messages();
    }

    const auto& got = notify.messages();
    const std::string running = "STATUS=on battery: running \"shutdown -h now\"";
    ASSERT_EQ(std::count(got.begin(), got.end(), running), 1);
    const size_t at = static_cast<size_t>(std::find(got.begin(), got.end(), running) - got.begin());
    EXPECT_LE(at, first) << "said before the command started";
    EXPECT_EQ(std::count(got.begin(), got.end(), "READY=1"), 1);
    size_t watchdogs = 0, statuses = 0, after = at + 1;
    for (; after < got.size() && !(got[after].rfind("STATUS=", 0) == 0 && !endsWith(got[after], " running")); after++) {
        watchdogs += got[after] == "WATCHDOG=1";
        if (got[after] != "WATCHDOG=1") {
            EXPECT_EQ(got[after].rfind("STATUS=target 200 mA, ", 0), 0u) << got[after];
            EXPECT_TRUE(endsWith(got[after], ", battery, \"shutdown -h now\" running")) << got[after];
            statuses++;
        }
    }
    EXPECT_GE(watchdogs, 40u) << "every 250 ms for 20 s";
    EXPECT_GE(statuses, 18u) << "a status each second";
    ASSERT_LT(after, got.size());
    EXPECT_TRUE(endsWith(got[after], ", battery, shutdown in 14 s"))
        << "the next try 15 s after the end: " << got[after];
    for (const auto& m : got) {
        EXPECT_TRUE(m == "READY=1" || m == "WATCHDOG=1" || m == running || m.rfind("STATUS=target 200 mA, ", 0) == 0)
            << m;
    }
}

// A hook gets nothing the supervisor inherited (a pipe on descriptor 251
// without close-on-exec), and hooks still running end with the supervisor:
// by SIGTERM, and by a link failure (all but the link-failed hook).
TEST_F(FieldFaults, HooksInheritNothingAndEndWithTheSupervisor)
{
    const std::string hook = writeScript("hook", "echo $$ >> '" + dir + "/pids'\nls -l /proc/$$/fd > '" + dir +
                                                     "/fds.'$1 2>&1\nexec sleep 1000\n");
    auto hookPid = [&](size_t i) {
        std::istringstream in(readFile(dir + "/pids"));
        std::vector<int> p;
        for (int x; in >> x;)
            p.push_back(x);
        return i < p.size() ? p[i] : 0;
    };
    startSim();
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    const ExecPlan plan =
        execPlan({programPath("vexo"), "--event-cmd", hook, "--charge", "200"},
                 {"VEXO_DEVICE=" + simServerSlavePath(sim), "PATH=" + dir + "/fakebin:/usr/bin:/bin"});
    bg.pid = fork();
    if (bg.pid == 0) {
        dup2(pipeFds[1], 251); // without close-on-exec
        execPlanned(plan);
    }
    close(pipeFds[1]);
    ASSERT_TRUE(waitFor([&] { return readFile(dir + "/fds.started").find(" 2 -> ") != std::string::npos; }, 5000))
        << readFile(dir + "/fds.started") << readFile(dir + "/pids");
    const std::string fds = readFile(dir + "/fds.started");
    EXPECT_EQ(fds.find(" 251 -> "), std::string::npos) << fds;
    EXPECT_EQ(fds.find("pipe:"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("/dev/pts"), std::string::npos) << fds;
    const pid_t started = hookPid(0);
    ASSERT_GT(started, 0);
    EXPECT_FALSE(ended(started));

    ASSERT_EQ(kill(bg.pid, SIGTERM), 0);
    ASSERT_TRUE(waitFor([&] { return !programRunning(&bg); }, 3000));
    EXPECT_EQ(bg.status, 128 + SIGTERM) << "it still ends by the signal";
    EXPECT_TRUE(waitFor([&] { return ended(started); }, 3000)) << "the hook ended with it";
    pollfd p{pipeFds[0], POLLIN, 0};
    char c;
    EXPECT_TRUE(poll(&p, 1, 3000) == 1 && read(pipeFds[0], &c, 1) == 0) << "nobody holds the pipe";
    close(pipeFds[0]);

    unlink((dir + "/fds.started").c_str());
    bg = startVexo({"--event-cmd", hook, "--charge", "200"}, "out2.txt");
    ASSERT_TRUE(waitFor([&] { return hookPid(1) > 0; }, 5000));
    const pid_t second = hookPid(1);
    simInjectSilence(sim, 5000);
    ASSERT_TRUE(waitFor([&] { return !programRunning(&bg); }, 3000));
    EXPECT_EQ(bg.status, 3);
    EXPECT_TRUE(waitFor([&] { return ended(second); }, 3000)) << "the started hook ended with it";
    EXPECT_TRUE(waitFor([&] { return !readFile(dir + "/fds.link-failed").empty(); }, 3000))
        << "the link-failed hook runs";
}

// Held command lines come out as a count once a minute; the first of each
// number at once (a child process plays the supervisor's clock).
TEST(FieldLines, CommandLinesAreCountedOnceAMinute)
{
    REQUIRE_PRIVATE_NET();
    if (!privateMounts())
        GTEST_SKIP() << "needs the sandbox's /dev";
    LogCapture log;
    ASSERT_TRUE(log.bound());
    const RunResult r = runInChild([] {
        vexoField.running = true;
        for (int i = 1; i <= 6; i++)
            VEXOcommandLog(3, 1000, LOG_NOTICE, "target %d", i);
        VEXOcommandLog(1, 1000, LOG_INFO, "telemetry %d", 1);
        VEXOcommandLogTick(1059);
        VEXOcommandLogTick(1060);
        VEXOcommandLog(3, 1061, LOG_NOTICE, "target %d", 7);
        VEXOcommandLogTick(1119);
        VEXOcommandLogTick(1121);
        VEXOcommandLog(3, 1200, LOG_NOTICE, "target %d", 8);
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> texts;
    for (const auto& l : log.lines())
        texts.push_back(std::to_string(l.level) + " " + l.text);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "5 target 1",
                         "6 telemetry 1",
                         "5 UDP command 3: 5 more since the last line about it, the latest: target 6",
                         "5 UDP command 3: 1 more since the last line about it, the latest: target 7",
                         "5 target 8",
                     }));
}

// Standard error on a pipe that is full: lines are dropped at once, and the
// count comes before the next line that fits.
TEST(FieldLines, StandardErrorPipeThatNeverReadsDropsAndCounts)
{
    const RunResult r = runInChild([] {
        int p[2];
        if (pipe(p) != 0)
            return 1;
        fcntl(p[1], F_SETFL, O_NONBLOCK);
        char block[4096] = {};
        while (write(p[1], block, sizeof block) > 0) {}
        fcntl(p[1], F_SETFL, 0); // a blocking write would wait for ever now
        dup2(p[1], 2);
        for (int i = 0; i < 3; i++)
            VEXOerror("vexo: line %d\n", i);
        fcntl(p[0], F_SETFL, O_NONBLOCK);
        while (read(p[0], block, sizeof block) > 0) {}
        VEXOerror("vexo: line %d\n", 3);
        const ssize_t n = read(p[0], block, sizeof block);
        printf("%.*s", static_cast<int>(n > 0 ? n : 0), block);
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vexo: 3 lines to standard error dropped: nobody took them\nvexo: line 3\n");
}

// The log's queue full (11 datagrams here): the rest is dropped at once and
// counted, and the count is the first line once the log reads again.
TEST(FieldLines, SystemLogThatNeverReadsDropsAndCounts)
{
    REQUIRE_PRIVATE_NET();
    if (!privateMounts())
        GTEST_SKIP() << "needs the sandbox's /dev";
    LogCapture log;
    ASSERT_TRUE(log.bound());
    const RunResult r = runInChild([&log] {
        vexoField.running = true;
        for (int i = 0; i < 30; i++)
            VEXOlog(LOG_NOTICE, "line %d", i);
        const size_t queued = log.lines().size(); // the child's copy reads them
        VEXOlog(LOG_NOTICE, "line %d", 30);
        return queued == 11 && VEXOlogDropped() == 0 ? 0 : 1;
    });
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> texts;
    for (const auto& l : log.lines())
        texts.push_back(std::to_string(l.level) + " " + l.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"4 19 lines dropped while the system log took none", "5 line 30"}));
}
