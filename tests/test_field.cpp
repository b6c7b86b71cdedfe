// The supervisor as a field daemon: its lines in the system log (captured on
// the sandbox's own /dev/log), the event hook, the service manager's
// notifications and the command port's access list, each for the real
// scenario that causes it.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/log_capture.h"
#include "tests/netns.h"
#include "tests/udp_helpers.h"

namespace {

constexpr int DAEMON = 3; // LOG_DAEMON >> 3
constexpr int CRIT = 2, ERR = 3, WARNING = 4, NOTICE = 5, INFO = 6;

} // namespace

class Field : public SupervisorTest {
protected:
    Background bg;
    std::string hook;

    void SetUp() override
    {
        SupervisorTest::SetUp();
        if (IsSkipped())
            return;
        // Records "EVENT [DETAIL] | on-battery locked target".
        hook = dir + "/hook";
        std::ofstream(hook) << "#!/bin/sh\necho \"$* | $VEXO_ON_BATTERY $VEXO_LOCKED $VEXO_TARGET_MA\" >> '" << dir
                            << "/hook.log'\n";
        chmod(hook.c_str(), 0755);
    }
    void TearDown() override
    {
        stopProgram(&bg);
        // Hooks run in sessions of their own: end the ones that hang, by PID.
        std::istringstream pids(readFile(dir + "/hook.pids"));
        for (int pid; pids >> pid;)
            kill(pid, SIGKILL);
        SupervisorTest::TearDown();
    }
    std::vector<std::string> hookCalls()
    {
        std::vector<std::string> out;
        std::istringstream in(readFile(dir + "/hook.log"));
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }
    // Waits until the supervisor says it has locked (and is near ma).
    bool waitLocked(LogCapture& log, double ma)
    {
        return !log.find("locked at ", 10000).text.empty() &&
               waitFor([&] { return std::abs(simBoardSnapshot(sim).currentUa / 1000.0 - ma) <= 3; }, 5000);
    }
};

// Start, lock, line power lost, the countdown, line power back, cancelled.
TEST_F(Field, PowerFailureScenarioInTheLogAndTheHook)
{
    LogCapture log;
    ASSERT_TRUE(log.bound());
    bg = startVexo({"--shutdown", "3", "--event-cmd", hook, "--charge", "200"}, "out.txt");
    const LogLine first = log.find("started on ");
    EXPECT_EQ(first.text, "started on " + simServerSlavePath(sim) +
                              ": target 200 mA, on 60 s, off 60 s, shutdown after 3 s on battery, commands on all "
                              "addresses port 4000 from anyone");
    EXPECT_EQ(first.facility, DAEMON);
    EXPECT_EQ(first.level, NOTICE);
    ASSERT_TRUE(waitLocked(log, 200));
    const LogLine locked = log.find("locked at PWM low time ");
    EXPECT_EQ(locked.level, INFO);
    EXPECT_NE(locked.text.find(" mA for 200 mA"), std::string::npos) << locked.text;

    simSetLinePower(sim, false);
    EXPECT_EQ(log.find("line power lost").level, WARNING);
    EXPECT_EQ(log.find("shutdown in 3 s unless line power returns").level, WARNING);
    usleep(1200000);
    simSetLinePower(sim, true);
    EXPECT_EQ(log.find("line power back").level, NOTICE);
    EXPECT_EQ(log.find("shutdown cancelled: line power is back").level, NOTICE);
    ASSERT_TRUE(waitFor([&] { return hookCalls().size() >= 5; }, 3000));
    // Hooks of the same second may start in either order.
    auto calls = hookCalls();
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls,
              (std::vector<std::string>{"power-back | 0 1 200", "power-lost | 1 1 200", "shutdown-cancelled | 0 1 200",
                                        "shutdown-pending 3 | 1 1 200", "started | 0 0 200"}));
    usleep(2500000);
    EXPECT_EQ(readFile(shutdownLog), "") << "cancelled in time";
    std::string all;
    for (const auto& l : log.lines())
        all += l.text + "\n";
    EXPECT_EQ(log.count("line power"), 2u) << all << "one line per transition, never per cycle";
    EXPECT_EQ(log.count("locked"), 1u) << all;
    EXPECT_TRUE(programRunning(&bg));
    printf("system log:\n%shook calls:\n", all.c_str());
    for (const auto& c : hookCalls())
        printf("%s\n", c.c_str());
}

TEST_F(Field, ShutdownIsLoggedWithItsStatusAndHooked)
{
    LogCapture log;
    bg = startVexo({"--shutdown", "2", "--event-cmd", hook, "--charge", "200"}, "out.txt");
    ASSERT_TRUE(waitLocked(log, 200));
    simSetLinePower(sim, false);
    const LogLine ran = log.find("ran \"shutdown -h now\"", 6000);
    EXPECT_EQ(ran.text, "ran \"shutdown -h now\": exit status 0");
    EXPECT_EQ(ran.level, CRIT);
    EXPECT_NE(readFile(shutdownLog).find("-h now"), std::string::npos);
    ASSERT_TRUE(waitFor([&] { return hookCalls().size() >= 4; }, 3000));
    EXPECT_EQ(hookCalls()[3], "shutdown | 1 1 200");
}

TEST_F(Field, NoiseSpellAndLinkFailureAreLogged)
{
    LogCapture log;
    bg = startVexo({"--event-cmd", hook, "--charge", "200"}, "out.txt");
    ASSERT_TRUE(waitLocked(log, 200));
    simSetGarbage(sim, true);
    EXPECT_EQ(log.find("no good packet from the board for 2 s: waiting").level, WARNING);
    simSetGarbage(sim, false);
    EXPECT_EQ(log.find("good packets from the board again").level, NOTICE);
    simInjectSilence(sim, 5000);
    const LogLine failed = log.find("Failed to");
    EXPECT_EQ(failed.text, "Failed to communicate with AVR");
    EXPECT_EQ(failed.level, ERR);
    ASSERT_TRUE(waitFor([&] { return !programRunning(&bg); }, 3000));
    EXPECT_EQ(bg.status, 3);
    ASSERT_TRUE(waitFor([&] { return hookCalls().size() >= 2; }, 3000));
    EXPECT_EQ(hookCalls().back(), "link-failed Failed to communicate with AVR | 0 1 200");
}

TEST_F(Field, CommandsAreLoggedWithTheirSender)
{
    LogCapture log;
    bg = startVexo({"--charge", "200"}, "out.txt");
    ASSERT_TRUE(waitRequests(6, 5000));
    int port = 0;
    const int peer = loopbackSocket(0, &port);
    const std::int32_t start[2] = {1, port}, stop[1] = {2}, current[2] = {3, 250}, cycle[4] = {4, 200, 30, 10};
    sendTo(peer, 4000, start, sizeof start);
    EXPECT_EQ(log.find("telemetry to ").text, "telemetry to 127.0.0.1 port " + std::to_string(port));
    sendTo(peer, 4000, current, sizeof current);
    EXPECT_EQ(log.find("target 200 -> 250").text, "target 200 -> 250 mA, continuous, set by 127.0.0.1");
    sendTo(peer, 4000, cycle, sizeof cycle);
    EXPECT_EQ(log.find("target 250 -> 200").text,
              "target 250 -> 200 mA, on 1 -> 30 s, off 0 -> 10 s, set by 127.0.0.1");
    sendTo(peer, 4000, stop, sizeof stop);
    EXPECT_EQ(log.find("telemetry to 127.0.0.1 port " + std::to_string(port) + " stopped").text,
              "telemetry to 127.0.0.1 port " + std::to_string(port) + " stopped by 127.0.0.1");
    close(peer);
}

// Command 1 with a port beyond 16 bits: the line names the port the
// datagrams really go to (a supervisor of its own: the first command 1 is
// logged at once, later ones are counted).
TEST_F(Field, TelemetryLineNamesThePortTheDatagramsGoTo)
{
    LogCapture log;
    bg = startVexo({"--charge", "200"}, "out.txt");
    ASSERT_TRUE(waitRequests(6, 5000));
    const int peer = loopbackSocket(0);
    const std::int32_t stop[1] = {2};
    const int wrapped = loopbackSocket(70000 - 65536);
    const std::int32_t far[2] = {1, 70000};
    sendTo(peer, 4000, far, sizeof far);
    EXPECT_EQ(log.find("telemetry to 127.0.0.1 port 4464").text, "telemetry to 127.0.0.1 port 4464");
    EXPECT_EQ(receiveOne(wrapped, 3000).size(), sizeof(vexoInfo)) << "the telemetry arrives there";
    sendTo(peer, 4000, stop, sizeof stop);
    EXPECT_EQ(log.find("telemetry to 127.0.0.1 port 4464 stopped").text,
              "telemetry to 127.0.0.1 port 4464 stopped by 127.0.0.1");
    EXPECT_EQ(log.count("telemetry to 127.0.0.1 port 70000"), 0u);
    close(wrapped);
    close(peer);
}

// Hooks that fail and hang never hold the supervisor up; the fifth hanging
// one is skipped and said so.
TEST_F(Field, HooksThatFailOrHangDelayNothing)
{
    {
        LogCapture log;
        const std::string failing = dir + "/failing";
        std::ofstream(failing) << "#!/bin/sh\nexit 3\n";
        chmod(failing.c_str(), 0755);
        bg = startVexo({"--event-cmd", failing, "--charge", "200"}, "out.txt");
        EXPECT_EQ(log.find("event hook for started exited with status 3").level, WARNING);
        stopProgram(&bg);
    }
    LogCapture log;
    const std::string hanging = dir + "/hanging";
    std::ofstream(hanging) << "#!/bin/sh\necho $$ >> '" << dir << "/hook.pids'\nexec sleep 1000\n";
    chmod(hanging.c_str(), 0755);
    bg = startVexo({"--event-cmd", hanging, "--charge", "200"}, "out.txt");
    ASSERT_TRUE(waitLocked(log, 200));
    for (int i = 0; i < 4; i++) { // started + 4 power events: five hooks, four places
        simSetLinePower(sim, i % 2 == 1);
        usleep(1100000);
    }
    EXPECT_EQ(log.find("event hook skipped for ").text, "event hook skipped for power-back: 4 hooks still running");
    const size_t n = requests().size();
    EXPECT_TRUE(waitRequests(n + 20, 3000)) << "cycles go on";
    EXPECT_TRUE(programRunning(&bg));
}

TEST_F(Field, AccessListRefusesOtherPeersAndSaysSoOnceAMinute)
{
    LogCapture log;
    bg = startVexo({"--allow", "127.0.0.1,10.0.0.0/8", "--charge", "200"}, "out.txt");
    EXPECT_NE(log.find("started on ").text.find("commands on all addresses port 4000 from 127.0.0.1,10.0.0.0/8"),
              std::string::npos);
    ASSERT_TRUE(waitLocked(log, 200));
    // A peer on 127.0.0.2 may neither stop the charging nor take the telemetry.
    const int stranger = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopbackAddress(0);
    a.sin_addr.s_addr = htonl(0x7F000002);
    ASSERT_EQ(bind(stranger, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(stranger, reinterpret_cast<sockaddr*>(&a), &len);
    const std::int32_t off[2] = {3, 0}, tele[2] = {1, ntohs(a.sin_port)};
    for (int i = 0; i < 3; i++) {
        sendTo(stranger, 4000, off, sizeof off);
        sendTo(stranger, 4000, tele, sizeof tele);
    }
    EXPECT_EQ(log.find("refused ").text, "refused 1 datagram from outside the access list (latest from 127.0.0.2)");
    EXPECT_EQ(log.find("refused ").level, WARNING);
    EXPECT_TRUE(receiveOne(stranger, 2000).empty()) << "no telemetry for a refused peer";
    EXPECT_TRUE(VEXObit(requests().back().outputs, pwm1en)) << "still charging";
    EXPECT_EQ(log.count("refused "), 1u) << "at most one line a minute";
    close(stranger);
    // The allowed peer still steers it.
    const int friendly = loopbackSocket(0);
    sendTo(friendly, 4000, off, sizeof off);
    close(friendly);
    EXPECT_TRUE(waitFor([&] { return !VEXObit(requests().back().outputs, pwm1en); }, 2000));
}

TEST_F(Field, ListenTakesCommandsOnOneAddressOnly)
{
    LogCapture log;
    bg = startVexo({"--listen", "127.0.0.2", "--charge", "200"}, "out.txt");
    EXPECT_NE(log.find("started on ").text.find("commands on 127.0.0.2 port 4000 from anyone"), std::string::npos);
    ASSERT_TRUE(waitLocked(log, 200));
    const int peer = loopbackSocket(0);
    const std::int32_t off[2] = {3, 0};
    sendTo(peer, 4000, off, sizeof off); // to 127.0.0.1: nobody there
    usleep(500000);
    EXPECT_TRUE(VEXObit(requests().back().outputs, pwm1en));
    sockaddr_in to = loopbackAddress(4000);
    to.sin_addr.s_addr = htonl(0x7F000002);
    sendto(peer, off, sizeof off, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(peer);
    EXPECT_TRUE(waitFor([&] { return !VEXObit(requests().back().outputs, pwm1en); }, 2000));
}

TEST_F(Field, BadSettingsAreRefusedBeforeTheBoardIsTouched)
{
    startSim();
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows{
        {{"--listen", "localhost"}, "vexo: --listen needs an IPv4 address (a.b.c.d), not 'localhost'\n"},
        {{"--listen", "192.0.2.7"}, "vexo: --listen 192.0.2.7: Cannot assign requested address\n"},
        {{"--allow", "10.0.0.0/33"},
         "vexo: --allow needs IPv4 addresses or prefixes (a.b.c.d or a.b.c.d/n), comma-separated, at most 16, not "
         "'10.0.0.0/33'\n"},
        {{"--allow", "127.0.0.1,"},
         "vexo: --allow needs IPv4 addresses or prefixes (a.b.c.d or a.b.c.d/n), comma-separated, at most 16, not "
         "'127.0.0.1,'\n"},
        {{"--event-cmd", dir + "/none"}, "vexo: --event-cmd " + dir + "/none: No such file or directory\n"},
        {{"--event-cmd", dir}, "vexo: --event-cmd " + dir + ": not an executable file\n"},
        {{"--allow", "1.2.3.4/+8"},
         "vexo: --allow needs IPv4 addresses or prefixes (a.b.c.d or a.b.c.d/n), comma-separated, at most 16, not "
         "'1.2.3.4/+8'\n"},
        {{"--allow", "127.0.0.1/08"},
         "vexo: --allow needs IPv4 addresses or prefixes (a.b.c.d or a.b.c.d/n), comma-separated, at most 16, not "
         "'127.0.0.1/08'\n"},
        {{"--listen", "224.0.0.1"}, "vexo: --listen 224.0.0.1: a multicast address, not an address of this host\n"},
        {{"--listen", "255.255.255.255"},
         "vexo: --listen 255.255.255.255: a broadcast address, not an address of this host\n"},
        {{"--shutdown-volts", "3,3"},
         "vexo: --shutdown-volts needs volts from 0 (off) to 5.38, a plain decimal "
         "number such as 3.3, not '3,3'\n"},
        {{"--shut", "30"}, "vexo: --shut is ambiguous: write --shutdown or --shutdown-volts in full\n"},
    };
    for (const auto& [args, message] : rows) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--charge", "200"});
        const RunResult r = vexo(all);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
    }
    // Good values in the wrong place: after --charge nothing is carried out.
    const std::vector<std::pair<std::vector<std::string>, std::string>> late{
        {{"--charge", "250", "--allow", "127.0.0.9"}, "vexo: --allow 127.0.0.9: must come before --charge\n"},
        {{"--on", "5", "--charge", "250", "--listen", "127.0.0.1"},
         "vexo: --listen 127.0.0.1: must come before --charge\n"},
        {{"--charge=250", "--event-cmd=" + hook}, "vexo: --event-cmd " + hook + ": must come before --charge\n"},
        {{"--charge", "250", "--shutdown-volts", "3.3"}, "vexo: --shutdown-volts 3.3: must come before --charge\n"},
    };
    for (const auto& [args, message] : late) {
        const RunResult r = vexo(args);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(simHostBytes(sim), 0) << "nothing reached the board";
    EXPECT_EQ(simRequestsTotal(sim), 0);
}

// The settings of old after --charge keep being ignored, and the supervisor
// says which, on standard error before it detaches and in the log.
TEST_F(Field, SettingsIgnoredAfterChargeAreSaid)
{
    LogCapture log;
    bg = startVexo({"--on", "30", "--charge", "200", "--shutdown", "300", "--log", "10.0.0.5", "--off=5"}, "out.txt");
    const LogLine ignored = log.find("ignored after --charge");
    EXPECT_EQ(ignored.text, "ignored after --charge (give them before it): --shutdown 300 --log 10.0.0.5 --off 5");
    EXPECT_EQ(ignored.level, WARNING);
    EXPECT_EQ(log.find("started on ").text, "started on " + simServerSlavePath(sim) +
                                                ": target 200 mA, on 30 s, off 60 s, shutdown off, commands on all "
                                                "addresses port 4000 from anyone");
    EXPECT_EQ(readFile(dir + "/out.txt"),
              "vexo: ignored after --charge (give them before it): --shutdown 300 --log 10.0.0.5 --off 5\n");
    EXPECT_EQ(log.count("ignored after --charge"), 1u);
    EXPECT_TRUE(programRunning(&bg));
}

// The service manager's protocol on a socket of the test's own (an abstract name).
TEST_F(Field, ReadyStatusAndWatchdogForTheServiceManager)
{
    const std::string name = "vexo-test-notify-" + std::to_string(getpid());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), static_cast<socklen_t>(sizeof(sa_family_t) + 1 + name.size())),
              0);
    setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    bg = startVexo({"--charge", "200"}, "out.txt");
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    std::vector<std::string> got;
    waitFor(
        [&] {
            char buf[512];
            for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
                got.emplace_back(buf, static_cast<size_t>(n));
            return got.size() >= 12;
        },
        5000);
    close(fd);
    ASSERT_FALSE(got.empty());
    size_t ready = got.size(), status = got.size(), watchdogs = 0;
    for (size_t i = 0; i < got.size(); i++) {
        if (got[i] == "READY=1" && ready == got.size())
            ready = i;
        if (got[i].rfind("STATUS=target 200 mA, ", 0) == 0 && status == got.size())
            status = i;
        watchdogs += got[i] == "WATCHDOG=1";
    }
    EXPECT_LT(ready, got.size()) << "READY=1";
    EXPECT_LT(status, got.size()) << "a status line";
    EXPECT_GE(watchdogs, 3u);
}

// A new target over UDP restarts the search: the lock is lost and regained.
TEST_F(Field, LockLostAndRegainedForANewTarget)
{
    LogCapture log;
    bg = startVexo({"--charge", "200"}, "out.txt");
    ASSERT_TRUE(waitLocked(log, 200));
    const int peer = loopbackSocket(0);
    const std::int32_t current[2] = {3, 250};
    sendTo(peer, 4000, current, sizeof current);
    close(peer);
    const LogLine lost = log.find("lock lost at PWM low time ");
    EXPECT_EQ(lost.level, NOTICE);
    EXPECT_NE(lost.text.find(" mA: searching for 250 mA"), std::string::npos) << lost.text;
    const LogLine again = log.find("locked again at PWM low time ");
    EXPECT_EQ(again.level, INFO);
    EXPECT_NE(again.text.find(" mA for 250 mA"), std::string::npos) << again.text;
}

// The low-battery shutdown, as the field meets it: a dip shorter than 5 s and
// line power back within the 5 s shut nothing down; then a battery that goes
// flat long before the timer's 300 s shuts the host down 5 s after it went
// below the threshold, logged, hooked and in the status.
TEST_F(Field, LowBatteryShutsDownBeforeTheTimer)
{
    LogCapture log;
    NotifyCapture notify("@vexo-test-notify-" + std::to_string(getpid()));
    ASSERT_TRUE(notify.bound());
    setenv("NOTIFY_SOCKET", notify.name().c_str(), 1);
    bg =
        startVexo({"--shutdown", "300", "--shutdown-volts", "3.60", "--event-cmd", hook, "--charge", "200"}, "out.txt");
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(log.find("started on ").text,
              "started on " + simServerSlavePath(sim) +
                  ": target 200 mA, on 60 s, off 60 s, shutdown after 300 s on battery or after 5 s on battery below "
                  "3.60 V, commands on all addresses port 4000 from anyone");
    EXPECT_EQ(readFile(dir + "/out.txt"), "Automatic shutdown 300 seconds after power failure\n"
                                          "Automatic shutdown after 5 seconds on battery below 3.60 V\n");
    ASSERT_TRUE(waitLocked(log, 200));
    // Waits, reading the log and the notifications meanwhile, as their readers do.
    const auto pause = [&](int ms) {
        waitFor(
            [&] {
                log.lines();
                notify.messages();
                return false;
            },
            ms);
    };

    // A dip of 3 s below the threshold on battery.
    simSetLinePower(sim, false);
    ASSERT_FALSE(log.find("line power lost").text.empty());
    simSetBatteryVolts(sim, 3.55);
    pause(3000);
    simSetBatteryVolts(sim, 3.70);
    pause(1500);
    // Below again, and line power back after 3 s.
    simSetBatteryVolts(sim, 3.55);
    pause(3000);
    simSetLinePower(sim, true);
    ASSERT_FALSE(log.find("line power back").text.empty());
    pause(1500);
    EXPECT_EQ(log.count("battery low"), 0u);
    EXPECT_EQ(readFile(shutdownLog), "");

    // A battery that loses 40 mV a second: below 3.60 V after 2.5 s.
    simSetBatteryVolts(sim, 3.70);
    simSetDischarge(sim, 40);
    simSetLinePower(sim, false);
    const auto lost = std::chrono::steady_clock::now();
    const LogLine low = log.find("battery low: ", 15000);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - lost).count();
    ASSERT_FALSE(low.text.empty());
    EXPECT_EQ(low.level, CRIT);
    const std::string volts = low.text.substr(13, 4); // "battery low: 3.38 V, ..."
    EXPECT_EQ(low.text, "battery low: " + volts + " V, below 3.60 V for 5 s on battery: shutting down now");
    EXPECT_LT(std::stod(volts), 3.60);
    EXPECT_GT(std::stod(volts), 3.30);
    EXPECT_GE(seconds, 6.5) << "2.5 s to the threshold, then 5 s in a row below it";
    EXPECT_LT(seconds, 12.0);
    const LogLine ran = log.find("ran \"shutdown -h now\"");
    EXPECT_EQ(ran.text, "ran \"shutdown -h now\": exit status 0");
    EXPECT_EQ(ran.level, CRIT);
    ASSERT_TRUE(waitFor([&] { return readFile(shutdownLog).find("-h now") != std::string::npos; }, 3000));
    const std::string shutdowns = readFile(shutdownLog);
    EXPECT_EQ(std::count(shutdowns.begin(), shutdowns.end(), '\n'), 1) << "once so far" << shutdowns;
    ASSERT_TRUE(waitFor(
        [&] {
            for (const auto& m : notify.messages())
                if (m.find(", battery low at " + volts + " V: shutting down") != std::string::npos)
                    return true;
            return false;
        },
        3000))
        << "in STATUS=";
    ASSERT_TRUE(waitFor([&] { return hookCalls().size() >= 9; }, 3000));
    // Hooks of the same second may start in either order.
    auto calls = hookCalls();
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"low-battery " + volts + " | 1 1 200", "power-back | 0 1 200",
                                               "power-lost | 1 1 200", "power-lost | 1 1 200", "shutdown | 1 1 200",
                                               "shutdown-cancelled | 0 1 200", "shutdown-pending 300 | 1 1 200",
                                               "shutdown-pending 300 | 1 1 200", "started | 0 0 200"}));
    // Line power back: the shutdown no longer holds.
    simSetLinePower(sim, true);
    ASSERT_FALSE(log.find("line power back").text.empty());
    const size_t seen = notify.messages().size();
    ASSERT_TRUE(waitFor([&] { return notify.messages().size() >= seen + 3; }, 3000));
    const std::string last = notify.messages().back();
    EXPECT_NE(last.find(", line power"), std::string::npos) << last;
    EXPECT_EQ(last.find("battery low"), std::string::npos) << last;
    EXPECT_EQ(log.count("battery low"), 1u);
    std::string all;
    for (const auto& l : log.lines())
        all += l.text + "\n";
    printf("system log:\n%shook calls:\n", all.c_str());
    for (const auto& c : hookCalls())
        printf("%s\n", c.c_str());
    printf("shutdown log:\n%s", readFile(shutdownLog).c_str());
}

// The timer first: its shutdown runs, and the threshold not yet reached adds nothing.
TEST_F(Field, TimerShutsDownBeforeTheLowBattery)
{
    LogCapture log;
    cfg.board.dischargeMvS = 20; // 3.70 V to 3.50 V in 10 s
    bg = startVexo({"--shutdown", "2", "--shutdown-volts", "3.5", "--event-cmd", hook, "--charge", "200"}, "out.txt");
    ASSERT_TRUE(waitLocked(log, 200));
    simSetBatteryVolts(sim, 3.70);
    simSetLinePower(sim, false);
    EXPECT_EQ(log.find("ran \"shutdown -h now\"", 6000).text, "ran \"shutdown -h now\": exit status 0");
    usleep(3000000);
    EXPECT_EQ(log.count("battery low"), 0u);
    const std::string shutdowns = readFile(shutdownLog);
    EXPECT_EQ(std::count(shutdowns.begin(), shutdowns.end(), '\n'), 1) << shutdowns;
    ASSERT_TRUE(waitFor([&] { return hookCalls().size() >= 4; }, 3000));
    auto calls = hookCalls();
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"power-lost | 1 1 200", "shutdown | 1 1 200",
                                               "shutdown-pending 2 | 1 1 200", "started | 0 0 200"}));
}
