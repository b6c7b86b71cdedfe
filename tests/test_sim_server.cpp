// The simulator's own interface: a handle's life, waits that sleep on its
// condition variable, and histories that stay bounded.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "lib/serial.h"
#include "lib/file.h"

// Writes n framed requests (pwm_lo = 1..n) to the board's line.
static void sendRequests(SimServer* sim, int n)
{
    const int fd = open(simServerSlavePath(sim).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FILE* f = fdopen(fd, "r+");
    for (int i = 1; i <= n; i++) {
        VEXOrequest r{};
        r.pwm_lo = static_cast<word>(i);
        r.pwm_t = 500;
        ByteArrayRef_Seal(BAR(&r, sizeof r));
        serialFramedSend(f, BAR(&r, sizeof r));
    }
    fclose(f);
}

TEST(SimServerHandle, ReferencesKeepItServingUntilTheLastIsDropped)
{
    SimConfig cfg;
    cfg.intervalMs = 10;
    SimServer* sim = simServerNew(cfg);
    EXPECT_TRUE(simServerStart(sim));
    EXPECT_TRUE(simServerStart(sim)) << "a second start is harmless";
    const std::string path = simServerSlavePath(sim);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    SimServer* other = simServerRef(sim);
    EXPECT_EQ(other, sim);
    simServerUnref(sim);
    const long before = simRepliesSent(other);
    EXPECT_TRUE(simWaitRepliesSent(other, before + 3, 2000)) << "still serving on the other reference";
    simServerUnref(other);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the pty is gone with the last reference";
    simServerUnref(nullptr);
}

TEST(SimServerHandle, StoppedOrNeverStartedIsSafe)
{
    SimHandle idle(simServerNew(SimConfig{}));
    simServerStop(idle.get());
    EXPECT_EQ(simServerSlaveFd(idle.get()), -1);
    EXPECT_FALSE(simWaitRequestsTotal(idle.get(), 1, 50)) << "nothing comes to a server that never served";
    SimHandle sim(simServerNew(SimConfig{}));
    ASSERT_TRUE(simServerStart(sim.get()));
    simServerStop(sim.get());
    simServerStop(sim.get());
    EXPECT_EQ(simServerSlaveFd(sim.get()), -1);
}

TEST(SimServerHandle, WaitsWakeOnRequestsAndHistoriesStayBounded)
{
    SimConfig cfg;
    cfg.intervalMs = 1000; // the host's frames, not the replies, wake the wait
    SimHandle sim(simServerNew(cfg));
    ASSERT_TRUE(simServerStart(sim.get()));
    EXPECT_FALSE(simWaitRequestsTotal(sim.get(), 1, 100));
    sendRequests(sim.get(), 3);
    ASSERT_TRUE(simWaitRequestsTotal(sim.get(), 3, 5000));
    auto got = simRequests(sim.get());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(got[2].valid);
    EXPECT_EQ(+got[2].req.pwm_lo, 3);
    long seen = 1;
    EXPECT_EQ(simRequestsSince(sim.get(), &seen).size(), 2u);
    EXPECT_EQ(seen, 3);

    const int many = static_cast<int>(2 * SIM_HISTORY) + 100;
    sendRequests(sim.get(), many);
    ASSERT_TRUE(simWaitRequestsTotal(sim.get(), 3 + many, 20000));
    got = simRequests(sim.get());
    EXPECT_GE(got.size(), SIM_HISTORY);
    EXPECT_LT(got.size(), 2 * SIM_HISTORY);
    EXPECT_EQ(+got.back().req.pwm_lo, many & 0xFFFF) << "the newest are kept";
    EXPECT_EQ(simRequestsTotal(sim.get()), 3 + many);
    simClearRequests(sim.get());
    EXPECT_TRUE(simRequests(sim.get()).empty());
    EXPECT_EQ(simRequestsTotal(sim.get()), 3 + many) << "the total counts what was forgotten too";
}
