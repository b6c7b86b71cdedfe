// The charging supervisor under a stalled host, a faulty line and a flooded
// command port: the real vexo --charge against the simulated board, stopped
// and continued with real signals. Every test ends its supervisor by PID.
#include <cmath>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/netns.h"
#include "tests/udp_helpers.h"

class SupervisorFaults : public SupervisorTest {
protected:
    Background bg;
    int peer = -1;

    void TearDown() override
    {
        if (bg.pid > 0)
            kill(bg.pid, SIGCONT); // never leave it stopped
        stopProgram(&bg);
        if (peer >= 0)
            close(peer);
        SupervisorTest::TearDown();
    }
    void start(const std::vector<std::string>& args) { bg = startVexo(args, "out.txt"); }
    double boardMilliamps() { return simBoardSnapshot(sim).currentUa / 1000.0; }
    // Waits until the board's current has stayed within 3 mA of ma for a while.
    bool waitLocked(double ma, int timeoutMs)
    {
        return waitFor([&] { return std::fabs(boardMilliamps() - ma) <= 3 && requests().size() > 12; }, timeoutMs);
    }
    // Asks for telemetry on a socket of the test's own.
    void subscribe()
    {
        int port = 0;
        peer = loopbackSocket(0, &port);
        const std::int32_t cmd[2] = {1, port};
        sendTo(peer, 4000, cmd, sizeof cmd);
    }
    void drainTelemetry()
    {
        while (!receiveOne(peer, 0).empty()) {}
    }
    std::vector<std::string> shutdownCalls()
    {
        std::vector<std::string> lines;
        const std::string text = readFile(shutdownLog);
        for (size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
            lines.push_back(text.substr(pos, nl - pos));
        return lines;
    }
};

struct Stall {
    int intervalMs;
    int stopMs;
};

static void PrintTo(const Stall& s, std::ostream* os) { *os << s.stopMs << " ms stop at " << s.intervalMs << " ms"; }

class SupervisorStall : public SupervisorFaults, public ::testing::WithParamInterface<Stall> {};

// A stop of the whole process: on resume the records queued meanwhile are
// old. The supervisor goes on, its telemetry resumes, and it holds its lock.
TEST_P(SupervisorStall, GoesOnLockedWithTelemetry)
{
    cfg.intervalMs = GetParam().intervalMs;
    start({"--charge", "200"});
    ASSERT_TRUE(waitLocked(200, 15000));
    subscribe();
    ASSERT_EQ(receiveOne(peer, 3000).size(), 104u);

    ASSERT_EQ(kill(bg.pid, SIGSTOP), 0);
    usleep(static_cast<useconds_t>(GetParam().stopMs) * 1000);
    drainTelemetry();
    long seen = simRequestsTotal(sim);
    ASSERT_EQ(kill(bg.pid, SIGCONT), 0);

    const auto datagram = receiveOne(peer, 3000);
    EXPECT_EQ(datagram.size(), 104u) << "telemetry resumes";
    std::vector<SimRequest> after;
    ASSERT_TRUE(waitFor(
        [&] {
            for (auto& r : simRequestsSince(sim, &seen))
                after.push_back(r);
            return after.size() >= 14;
        },
        10000));
    EXPECT_TRUE(programRunning(&bg));
    // Locked again within 10 cycles: from there on, one count at a time.
    size_t last = 0;
    for (size_t i = 1; i < after.size(); i++) {
        ASSERT_TRUE(after[i].valid);
        if (std::abs(int(after[i].req.pwm_lo) - int(after[i - 1].req.pwm_lo)) > 1)
            last = i;
    }
    EXPECT_LE(last, 10u);
    EXPECT_NEAR(boardMilliamps(), 200.0, 3.0);
    if (datagram.size() == 104u) {
        EXPECT_EQ(datagram[31] & 0x02, 0x02) << "locked";
    }
}

INSTANTIATE_TEST_SUITE_P(Stops, SupervisorStall,
                         ::testing::Values(Stall{20, 100}, Stall{20, 1000}, Stall{20, 10000}, Stall{100, 100},
                                           Stall{100, 1000}, Stall{100, 10000}));

// Line power fails while the supervisor is stopped: the countdown starts
// from the fresh record after the stop, not from an old one.
TEST_F(SupervisorFaults, PowerFailureDuringAStopIsActedOnAfterIt)
{
    start({"--shutdown", "3", "--charge", "200"});
    ASSERT_TRUE(waitLocked(200, 10000));
    ASSERT_EQ(kill(bg.pid, SIGSTOP), 0);
    simSetLinePower(sim, false);
    usleep(1500000);
    const double resumed = simServerNow(sim);
    ASSERT_EQ(kill(bg.pid, SIGCONT), 0);
    ASSERT_TRUE(waitFor([&] { return !shutdownCalls().empty(); }, 6000));
    const double at = simServerNow(sim) - resumed;
    EXPECT_GE(at, 2.0);
    EXPECT_LE(at, 4.5);
    EXPECT_EQ(shutdownCalls()[0].substr(shutdownCalls()[0].find(' ') + 1), "-h now");
    EXPECT_TRUE(programRunning(&bg));
}

// 2.2 s of bytes that never form a frame: one-shots give up after 2 s, the
// supervisor waits it out and goes on holding its current.
TEST_F(SupervisorFaults, NoiseBurstIsWaitedOut)
{
    start({"--charge", "200"});
    ASSERT_TRUE(waitLocked(200, 10000));
    simSetGarbage(sim, true);
    usleep(2200000);
    simSetGarbage(sim, false);
    const size_t n = requests().size();
    ASSERT_TRUE(waitRequests(n + 20, 5000));
    EXPECT_TRUE(programRunning(&bg));
    EXPECT_NEAR(boardMilliamps(), 200.0, 3.0);
}

// A good-checksum 5-byte packet before every status record: no request is
// ever built from one.
TEST_F(SupervisorFaults, ShortPacketsNeverDriveARequest)
{
    startSim();
    simInjectShortFrame(sim, 1000000);
    start({"--charge", "200"});
    ASSERT_TRUE(waitRequests(40, 10000));
    const auto reqs = requests();
    for (size_t i = 1; i < reqs.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(+reqs[i].alarm, 0u);
        EXPECT_EQ(+reqs[i].pwm_t, 500);
        EXPECT_EQ(reqs[i].outputs & ~(pwm1en | pwm2en | opamp | ledOff), offsetOff | buckOff | jp3Off);
    }
    EXPECT_TRUE(waitLocked(200, 5000));
}

// A flood of empty and unknown datagrams no longer holds commands back.
TEST_F(SupervisorFaults, CommandInAFloodTakesEffectWithinASecond)
{
    start({"--charge", "200"});
    ASSERT_TRUE(waitLocked(200, 10000));
    const int flooder = loopbackSocket(0);
    const std::int32_t unknown[4] = {7, 0, 0, 0};
    double sentAt = -1;
    for (int i = 0; i < 2000; i++) { // 2000 datagrams in about 2 s
        if (i % 3 == 0)
            sendTo(flooder, 4000, unknown, sizeof unknown);
        else
            sendTo(flooder, 4000, "", 0);
        if (i == 1000) {
            const std::int32_t stop[2] = {3, 0}; // continuous charging at 0 mA: PWMs off
            sendTo(flooder, 4000, stop, sizeof stop);
            sentAt = simServerNow(sim);
        }
        usleep(1000);
    }
    close(flooder);
    double offAt = -1;
    for (const auto& r : simRequests(sim))
        if (r.valid && r.t > sentAt && !VEXObit(r.req.outputs, pwm1en)) {
            offAt = r.t;
            break;
        }
    ASSERT_GT(offAt, 0) << "the command never took effect";
    EXPECT_LT(offAt - sentAt, 1.0);
    EXPECT_TRUE(programRunning(&bg));
}

TEST_F(SupervisorFaults, HangUpOfTheStartingTerminalIsIgnored)
{
    start({"--charge", "200"});
    ASSERT_TRUE(waitRequests(5, 5000));
    ASSERT_EQ(kill(bg.pid, SIGHUP), 0);
    const size_t n = requests().size();
    EXPECT_TRUE(waitRequests(n + 20, 5000));
    EXPECT_TRUE(programRunning(&bg));
}

TEST_F(SupervisorFaults, BoardGoneEndsTheSupervisorAtOnce)
{
    start({"--charge", "200"});
    ASSERT_TRUE(waitRequests(5, 5000));
    simServerStop(sim);
    started = false;
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return !programRunning(&bg); }, 3000));
    EXPECT_EQ(bg.status, 3);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
}

// Started with standard error closed, the port must not become descriptor 2,
// which the supervisor gives up when it detaches.
TEST_F(SupervisorFaults, ClosedStandardErrorKeepsThePort)
{
    startSim();
    const ExecPlan plan =
        execPlan({programPath("vexo"), "--charge", "250"},
                 {"VEXO_DEVICE=" + simServerSlavePath(sim), "PATH=" + dir + "/fakebin:/usr/bin:/bin"});
    bg.pid = fork();
    if (bg.pid == 0) {
        close(2);
        execPlanned(plan);
    }
    ASSERT_TRUE(waitRequests(30, 5000));
    EXPECT_TRUE(programRunning(&bg));
    EXPECT_TRUE(waitLocked(250, 5000));
}
