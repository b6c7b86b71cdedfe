// A long run of the supervisor with faults on a schedule: line noise, bad
// and odd packets, short silences, process stops, a power failure and its
// return, UDP garbage and commands. Nothing may be lost. VEXO_SOAK_SECONDS
// sets the length (default 60; the schedule repeats every 60 s).
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/netns.h"
#include "tests/udp_helpers.h"

namespace {

// What the schedule does at a second of each 60-second round.
enum class Act {
    Noise,
    Quiet,
    BadSums,
    Shorts,
    Oversize,
    Silence,
    Stop1s,
    Stop100ms,
    UdpGarbage,
    Target250,
    Target200,
    Battery,
    Line,
    GarbageOn,
    GarbageOff,
    BurstOn,
    BurstOff,
    Check
};

struct Step {
    double at; // seconds into the round
    Act act;
    const char* what;
};

constexpr Step ROUND[] = {
    {3.5, Act::Check, "start"},
    {4, Act::Noise, "noise between frames"},
    {7, Act::Quiet, "noise off"},
    {8.5, Act::Check, "after noise"},
    {9, Act::BadSums, "bad checksums"},
    {11.5, Act::Check, "after bad checksums"},
    {12, Act::Shorts, "short packets"},
    {14.5, Act::Check, "after short packets"},
    {15, Act::Oversize, "oversized packets"},
    {17.5, Act::Check, "after oversized packets"},
    {18, Act::Silence, "150 ms silence"},
    {20.5, Act::Check, "after a silence"},
    {21, Act::Stop1s, "1 s stop"},
    {24.5, Act::Check, "after a 1 s stop"},
    {25, Act::UdpGarbage, "UDP garbage"},
    {26, Act::Target250, "command: 250 mA"},
    {29.5, Act::Check, "at 250 mA"},
    {30, Act::Target200, "command: 200 mA"},
    {32.5, Act::Check, "back at 200 mA"},
    {33, Act::Battery, "power failure"},
    {40, Act::Line, "line power back"},
    {43.5, Act::Check, "after the power failure"},
    {44, Act::GarbageOn, "1.5 s of garbage"},
    {45.5, Act::GarbageOff, "garbage off"},
    {47.5, Act::Check, "after garbage"},
    {48, Act::Stop100ms, "0.1 s stop"},
    {51.5, Act::Check, "after a 0.1 s stop"},
    {52, Act::BurstOn, "queued bursts"},
    {55, Act::BurstOff, "bursts off"},
    {59.5, Act::Check, "end of round"},
};

constexpr int SHUTDOWN_DELAY = 5;

long statusField(int pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}

int descriptorCount(int pid)
{
    int n = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

} // namespace

class Soak : public SupervisorTest {
protected:
    Background bg;
    int peer = -1;
    double lastTelemetry = -1; // board time of the latest datagram
    double longestGap = 0;
    std::vector<double> shutdownsAt;

    void TearDown() override
    {
        if (bg.pid > 0)
            kill(bg.pid, SIGCONT);
        stopProgram(&bg);
        if (peer >= 0)
            close(peer);
        SupervisorTest::TearDown();
    }
    double now() { return simServerNow(sim); }
    // Takes telemetry and notes shutdown calls until the board's time is t.
    void pumpUntil(double t)
    {
        while (now() < t) {
            while (receiveOne(peer, 0).size() == 104u) {
                const double at = now();
                if (lastTelemetry >= 0)
                    longestGap = std::max(longestGap, at - lastTelemetry);
                lastTelemetry = at;
            }
            const std::string log = readFile(shutdownLog);
            const size_t calls = static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
            while (shutdownsAt.size() < calls)
                shutdownsAt.push_back(now());
            usleep(10000);
        }
    }
    void stopFor(int ms)
    {
        kill(bg.pid, SIGSTOP);
        usleep(static_cast<useconds_t>(ms) * 1000);
        kill(bg.pid, SIGCONT);
    }
    void command(std::int32_t number, std::int32_t value)
    {
        const std::int32_t cmd[2] = {number, value};
        sendTo(peer, 4000, cmd, sizeof cmd);
    }
};

TEST_F(Soak, FaultsOnAScheduleLoseNothing)
{
    const char* env = getenv("VEXO_SOAK_SECONDS");
    const int seconds = env != nullptr ? std::max(60, atoi(env)) : 60;
    const int rounds = seconds / 60;
    startSim();
    bg = startVexo({"--shutdown", std::to_string(SHUTDOWN_DELAY), "--charge", "200"}, "out.txt");
    int port = 0;
    peer = loopbackSocket(0, &port);
    const double t0 = now();
    ASSERT_TRUE(waitRequests(16, 5000));
    command(1, port);

    long rss0 = -1;
    long simRss0 = -1; // this process holds the simulated board
    int fds0 = -1;
    double target = 200;
    double failedAt = -1;
    std::vector<double> expectedShutdowns;
    for (int round = 0; round < rounds; round++) {
        const double base = t0 + 60.0 * round;
        for (const Step& s : ROUND) {
            SCOPED_TRACE(std::string(s.what) + " in round " + std::to_string(round));
            pumpUntil(base + s.at);
            ASSERT_TRUE(programRunning(&bg)) << "the supervisor ended with status " << bg.status;
            switch (s.act) {
            case Act::Noise: simInjectNoise(sim, 12); break;
            case Act::Quiet: simInjectNoise(sim, 0); break;
            case Act::BadSums: simInjectBadChecksum(sim, 20); break;
            case Act::Shorts: simInjectShortFrame(sim, 50); break;
            case Act::Oversize: simInjectOversizedFrame(sim, 5); break;
            case Act::Silence: simInjectSilence(sim, 150); break;
            case Act::Stop1s: stopFor(1000); break;
            case Act::Stop100ms: stopFor(100); break;
            case Act::UdpGarbage:
                for (int i = 0; i < 500; i++)
                    sendTo(peer, 4000, "\x07\x00\x00", static_cast<size_t>(i % 4));
                break;
            case Act::Target250: command(3, 250), target = 250; break;
            case Act::Target200: command(3, 200), target = 200; break;
            case Act::Battery:
                simSetLinePower(sim, false);
                failedAt = now();
                expectedShutdowns.push_back(failedAt + SHUTDOWN_DELAY);
                break;
            case Act::Line: simSetLinePower(sim, true); break;
            case Act::GarbageOn: simSetGarbage(sim, true); break;
            case Act::GarbageOff: simSetGarbage(sim, false); break;
            case Act::BurstOn: simInjectBurst(sim, 6); break;
            case Act::BurstOff: simInjectBurst(sim, 0); break;
            case Act::Check:
                EXPECT_NEAR(simBoardSnapshot(sim).currentUa / 1000.0, target, 3.0) << "relocked";
                if (rss0 < 0) {
                    rss0 = statusField(bg.pid, "VmRSS:");
                    fds0 = descriptorCount(bg.pid);
                    simRss0 = statusField(getpid(), "VmRSS:");
                }
                break;
            }
        }
    }
    pumpUntil(t0 + 60.0 * rounds);
    ASSERT_TRUE(programRunning(&bg));
    const long rss1 = statusField(bg.pid, "VmRSS:");
    const long simRss1 = statusField(getpid(), "VmRSS:");
    printf("soak: %d s, %ld requests; supervisor RSS %ld -> %ld kB, descriptors %d -> %d; "
           "simulator process RSS %ld -> %ld kB; longest telemetry gap %.2f s; shutdowns %zu\n",
           seconds, simRequestsTotal(sim), rss0, rss1, fds0, descriptorCount(bg.pid), simRss0, simRss1, longestGap,
           shutdownsAt.size());
    EXPECT_EQ(descriptorCount(bg.pid), fds0) << "descriptors";
    // Behind an emulator the RSS is the emulator's, which grows as it
    // translates the code paths that later faults reach: native runs only.
    if (std::string(VEXO_TEST_EMULATOR).empty()) {
        EXPECT_LE(rss1 - rss0, 64) << "kB of RSS gained";
    }
    // The longest faults stop cycling for 1.5 s (garbage) or 1 s (a stop);
    // telemetry goes once a second, so 3 s is the most they explain.
    EXPECT_LT(longestGap, 3.0) << "telemetry gap";
    EXPECT_GT(lastTelemetry, t0 + 60.0 * rounds - 2) << "telemetry at the end";
    // One shutdown per power failure, SHUTDOWN_DELAY seconds after it.
    ASSERT_EQ(shutdownsAt.size(), expectedShutdowns.size());
    for (size_t i = 0; i < shutdownsAt.size(); i++)
        EXPECT_NEAR(shutdownsAt[i], expectedShutdowns[i], 1.5) << "shutdown " << i;
}
