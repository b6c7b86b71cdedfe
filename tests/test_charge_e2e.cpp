// The charging supervisor end to end: the real vexo --charge against the
// simulated board, in this process's private network namespace, with a
// recording fake shutdown first in PATH. Every test stops its supervisor by PID.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/netns.h"
#include "tests/udp_helpers.h"

class Charge : public SupervisorTest {
protected:
    Background bg;

    void TearDown() override
    {
        stopProgram(&bg);
        SupervisorTest::TearDown();
    }
    // Starts vexo with args in the background once the board runs.
    void start(const std::vector<std::string>& args, bool newSession = false)
    {
        bg = startVexo(args, "out.txt", newSession);
    }
    std::vector<std::string> shutdownCalls()
    {
        std::vector<std::string> lines;
        std::string text = readFile(shutdownLog);
        size_t pos = 0, nl;
        while ((nl = text.find('\n', pos)) != std::string::npos) {
            lines.push_back(text.substr(text.find(' ', pos) + 1, nl - text.find(' ', pos) - 1));
            pos = nl + 1;
        }
        return lines;
    }
    double boardMilliamps() { return simBoardSnapshot(sim).currentUa / 1000.0; }
};

TEST_F(Charge, AcceptedCurrentsStartTheSupervisor)
{
    for (const char* ma : {"60", "500", "65596"}) {
        start({"--charge", ma});
        ASSERT_TRUE(waitRequests(3)) << ma;
        const auto reqs = requests();
        EXPECT_TRUE(VEXObit(reqs[0].outputs, opamp | buckOff | offsetOff)) << "the option's own request";
        EXPECT_TRUE(VEXObit(reqs[1].outputs, pwm1en | pwm2en | opamp)) << ma;
        EXPECT_EQ(+reqs[1].pwm_t, 500);
        EXPECT_EQ(+reqs[1].pwm_lo, 250);
        EXPECT_TRUE(programRunning(&bg)) << ma;
        if (std::string(ma) == "65596") {
            EXPECT_TRUE(waitFor([&] { return std::fabs(boardMilliamps() - 60) <= 3; }, 5000)) << boardMilliamps();
        }
        stopProgram(&bg);
        simClearRequests(sim);
    }
}

TEST_F(Charge, RefusedCurrentsPrintTheMessageAfterOneRequest)
{
    for (const char* ma : {"59", "501"}) {
        const RunResult r = vexo({"--charge", ma});
        EXPECT_EQ(r.status, 0) << ma;
        const std::string msg = "Can only charge the battery with 60mA < I < 400mA\n";
        ASSERT_EQ(r.out.substr(0, msg.size()), msg) << ma;
        EXPECT_NE(r.out.find("OPAMP EN  = ON\nBUCK EN   = OFF\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("OFFSET EN = OFF\n"), std::string::npos);
        const auto reqs = requests();
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_TRUE(VEXObit(reqs[0].outputs, opamp | buckOff | offsetOff));
        EXPECT_FALSE(VEXObit(reqs[0].outputs, pwm1en));
        simClearRequests(sim);
    }
}

TEST_F(Charge, OptionsAfterAnAcceptedChargeAreNeverCarriedOut)
{
    start({"--charge", "200", "--on", "30", "--pwmt", "77"});
    ASSERT_TRUE(waitRequests(20));
    for (const auto& r : requests())
        EXPECT_NE(+r.pwm_t, 77);
    EXPECT_EQ(readFile(dir + "/out.txt"), "vexo: ignored after --charge (give them before it): --on 30\n")
        << "no report; the one setting of the supervisor's that is ignored is named";
}

TEST_F(Charge, SearchLocksThenHoldsWithinThreeMilliamps)
{
    start({"--charge", "200"});
    ASSERT_TRUE(waitRequests(60, 10000));
    const auto reqs = requests();
    // reqs[0] is --charge's own request; the supervisor's start at reqs[1].
    EXPECT_EQ(+reqs[1].pwm_lo, 250);
    size_t lockedAt = 0;
    for (size_t i = 2; i < reqs.size(); i++) {
        const int step = std::abs(int(reqs[i].pwm_lo) - int(reqs[i - 1].pwm_lo));
        if (step > 1)
            lockedAt = i;
    }
    EXPECT_LE(lockedAt, 10u) << "the search takes at most 10 cycles";
    for (size_t i = lockedAt + 1; i < reqs.size(); i++)
        ASSERT_LE(std::abs(int(reqs[i].pwm_lo) - int(reqs[i - 1].pwm_lo)), 1) << i;
    EXPECT_NEAR(boardMilliamps(), 200.0, 3.0);
}

TEST_F(Charge, HoldGivesUpWhenTheTargetIsOutOfReach)
{
    cfg.board.imaxUa = 400000; // the board cannot deliver 500 mA
    start({"--charge", "500"});
    ASSERT_TRUE(waitFor(
        [&] {
            const auto reqs = requests();
            return reqs.size() > 15 && !VEXObit(reqs.back().outputs, pwm1en);
        },
        10000));
    const auto reqs = requests();
    EXPECT_EQ(+reqs[reqs.size() - 2].pwm_lo, 0);
    EXPECT_FALSE(VEXObit(reqs.back().outputs, pwm2en));
}

TEST_F(Charge, TelemetryEverySecondNearTheTargetOnceLocked)
{
    start({"--charge", "200"});
    ASSERT_TRUE(waitRequests(30));
    int port = 0;
    const int peer = loopbackSocket(0, &port);
    const std::int32_t cmd[2] = {1, port};
    sendTo(peer, 4000, cmd, sizeof cmd);
    std::vector<std::vector<unsigned char>> got;
    for (int i = 0; i < 3; i++)
        got.push_back(receiveOne(peer, 2500));
    close(peer);
    for (const auto& d : got) {
        ASSERT_EQ(d.size(), 104u);
        std::int32_t battI;
        std::memcpy(&battI, d.data() + 16, 4);
        EXPECT_NEAR(battI, 200000, 3000);
        EXPECT_EQ(d[31] & 0x02, 0x02) << "locked";
    }
    std::int32_t t0, t1;
    std::memcpy(&t0, got[0].data(), 4);
    std::memcpy(&t1, got[1].data(), 4);
    EXPECT_EQ(t1, t0 + 1);
}

TEST_F(Charge, DutyCycleOnThreeOffTwo)
{
    start({"--on", "3", "--off", "2", "--charge", "200"});
    // Wait for on, off, on, off: the second on phase is a whole one.
    auto edges = [&] {
        std::vector<double> at;
        const auto all = simRequests(sim);
        bool on = true;
        for (size_t i = 1; i < all.size(); i++) {
            if (!all[i].valid)
                continue;
            const bool now = VEXObit(all[i].req.outputs, pwm1en);
            if (now != on)
                at.push_back(all[i].t);
            on = now;
        }
        return at;
    };
    ASSERT_TRUE(waitFor([&] { return edges().size() >= 3; }, 12000));
    const auto e = edges();
    EXPECT_NEAR(e[1] - e[0], 2.0, 0.3) << "off for 2 s";
    EXPECT_NEAR(e[2] - e[1], 3.0, 0.3) << "on for 3 s";
    EXPECT_LT(e[0], 3.5) << "the first on phase ends within 3 s";
}

TEST_F(Charge, ShutdownAfterPowerFailureAndAgainFifteenSecondsLater)
{
    start({"--shutdown", "3", "--charge", "200"});
    ASSERT_TRUE(waitRequests(5));
    const double failedAt = simServerNow(sim);
    simSetLinePower(sim, false);
    ASSERT_TRUE(waitFor([&] { return !shutdownCalls().empty(); }, 6000));
    const double first = simServerNow(sim) - failedAt;
    EXPECT_GE(first, 2.0);
    EXPECT_LE(first, 4.5);
    EXPECT_EQ(shutdownCalls()[0], "-h now");
    ASSERT_TRUE(waitFor([&] { return shutdownCalls().size() >= 2; }, 17000));
    const double second = simServerNow(sim) - failedAt;
    EXPECT_NEAR(second - first, 15.0, 1.2);
    EXPECT_TRUE(programRunning(&bg));
}

TEST_F(Charge, LinePowerBackCancelsAndZeroDisables)
{
    start({"--shutdown", "3", "--charge", "200"});
    ASSERT_TRUE(waitRequests(5));
    simSetLinePower(sim, false);
    waitFor([] { return false; }, 1500);
    simSetLinePower(sim, true);
    waitFor([] { return false; }, 4000);
    EXPECT_TRUE(shutdownCalls().empty());
    stopProgram(&bg);

    start({"--shutdown", "0", "--charge", "200"});
    ASSERT_TRUE(waitRequests(5));
    simSetLinePower(sim, false);
    waitFor([] { return false; }, 4500);
    EXPECT_TRUE(shutdownCalls().empty());
    EXPECT_TRUE(programRunning(&bg));
}

TEST_F(Charge, NewSessionSurvivesAndEarlierOutputReachesTheFile)
{
    start({"--shutdown", "5", "--log", "10.1.2.3", "--charge", "200"}, true);
    ASSERT_TRUE(waitRequests(5));
    const size_t n = requests().size();
    ASSERT_TRUE(waitRequests(n + 50));
    EXPECT_TRUE(programRunning(&bg));
    EXPECT_EQ(readFile(dir + "/out.txt"), "Automatic shutdown 5 seconds after power failure\nLogging to: 10.1.2.3\n");
}

TEST_F(Charge, StatusQueryWhileChargingIsRefusedAndChargingGoesOn)
{
    start({"--charge", "150"});
    ASSERT_TRUE(waitRequests(5));
    const RunResult r = vexo({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error opening " + simServerSlavePath(sim) + ": Device or resource busy\n");
    const size_t n = requests().size();
    EXPECT_TRUE(waitRequests(n + 20));
    EXPECT_TRUE(programRunning(&bg));
}

TEST_F(Charge, BoardGoingSilentEndsTheSupervisorWithStatusThree)
{
    start({"--charge", "200"});
    ASSERT_TRUE(waitRequests(5));
    simInjectSilence(sim, 3000);
    ASSERT_TRUE(waitFor([&] { return !programRunning(&bg); }, 2000));
    EXPECT_EQ(bg.status, 3);
}
