// The board link over a real pseudo-terminal against the simulated board:
// silence, rejections, retries, line settings, faults on the line, the port lock.
#include <algorithm>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "avr/avr.h"
#include "lib/file.h"
#include "lib/term.h"
#include "avr/vexo.h"
#include "tests/helpers.h"

static const char* const REPORT_END = "Running on LINE VOLTAGE\n";

class Link : public SimTest {};

TEST_F(Link, SilentBoardEndsAfterAQuarterSecond)
{
    startSim();
    simInjectSilence(sim, 5000);
    // A frame built before the silence may still be on its way: let it land
    // before vexo opens the line, which discards what is pending.
    ASSERT_TRUE(waitFor(
        [&] {
            const auto ends = simReplyEnds(sim);
            return ends.empty() || ends.back() < simServerNow(sim);
        },
        1000));
    const RunResult r = vexo({"--pwm1", "1"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Failed to communicate with AVR\n");
    EXPECT_GE(r.seconds, 0.24);
    EXPECT_LT(r.seconds, 1.5);
    EXPECT_TRUE(simRequests(sim).empty()) << "nothing may be sent before a status arrived";
}

TEST_F(Link, NeverConfirmedRequestIsSentThreeTimes)
{
    startSim();
    simSetIgnoreRequests(sim, true);
    const RunResult r = vexo({"--pwm1", "1"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "PWM1: on\nFailed to change AVR state\n");
    const auto reqs = simRequests(sim);
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(hex(reqs[0].frame), hex(reqs[1].frame));
    EXPECT_EQ(hex(reqs[0].frame), hex(reqs[2].frame));
    EXPECT_EQ(hex(reqs[0].packet), "00 00 00 00 41 00 FA 00 F4 01 00 00 CF");
}

TEST_F(Link, AcceptedAtOnceIsSentOnce)
{
    const RunResult r = vexo({"--pwm1", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "PWM1: on\n");
    const auto reqs = simRequests(sim);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(hex(reqs[0].frame), "7E 00 00 00 00 41 00 FA 00 F4 01 00 00 CF 7F");
    EXPECT_TRUE(VEXObit(simBoardSnapshot(sim).outputs, pwm1en));
}

TEST_F(Link, RejectedTwiceThenAcceptedIsSentTwice)
{
    startSim();
    simSetConfirmAfter(sim, 2);
    const RunResult r = vexo({"--opamp", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OPAMP: on\n");
    EXPECT_EQ(simRequests(sim).size(), 2u);
}

TEST_F(Link, SettingsRestoredAfterRunLeftRawAfterFailure)
{
    startSim();
    termios t{};
    ASSERT_EQ(vexo({}).status, 0);
    tcgetattr(simServerSlaveFd(sim), &t);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cc[VMIN], 1);

    simSetIgnoreRequests(sim, true);
    ASSERT_EQ(vexo({"--led", "0"}).status, 3);
    tcgetattr(simServerSlaveFd(sim), &t);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_lflag, 0u);
}

TEST_F(Link, GarbageStreamGivesUpAfterTwoSeconds)
{
    startSim();
    simSetGarbage(sim, true);
    const RunResult r = vexo({});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Failed to communicate with AVR\n");
    EXPECT_GE(r.seconds, 1.9);
    EXPECT_LT(r.seconds, 4.0);
}

// Faults that the link tolerates: the run completes with a report.
struct Tolerated {
    const char* what;
    void (*inject)(SimServer*);
};

static void PrintTo(const Tolerated& t, std::ostream* os) { *os << t.what; }

class LinkTolerates : public SimTest, public ::testing::WithParamInterface<Tolerated> {};

TEST_P(LinkTolerates, RunCompletes)
{
    startSim();
    GetParam().inject(sim);
    const RunResult r = vexo({});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(REPORT_END), std::string::npos) << r.out;
    const RunResult s = vexo({"--pwm2", "1"});
    EXPECT_EQ(s.status, 0) << s.out;
    EXPECT_EQ(s.out, "PWM2: on\n");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LinkTolerates,
    ::testing::Values(Tolerated{"noise between frames", [](SimServer* s) { simInjectNoise(s, 7); }},
                      Tolerated{"bad checksums", [](SimServer* s) { simInjectBadChecksum(s, 3); }},
                      Tolerated{"short frame that passes", [](SimServer* s) { simInjectShortFrame(s, 1); }},
                      Tolerated{"oversized frames", [](SimServer* s) { simInjectOversizedFrame(s, 4); }},
                      Tolerated{"short silence", [](SimServer* s) { simInjectSilence(s, 150); }}));

TEST_F(Link, SleepConfirmsThenGoesSilent)
{
    const RunResult r = vexo({"--sleep", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Sleeping for 1 seconds (approximately)\n");
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(+reqs[0].alarm, 1u);
    const RunResult during = vexo({});
    EXPECT_EQ(during.status, 3);
    EXPECT_EQ(during.out, "Failed to communicate with AVR\n");
}

TEST_F(Link, SecondProgramOnTheLineIsRefused)
{
    startSim();
    const int fd = open(simServerSlavePath(sim).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const RunResult r = vexo({});
    close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error opening " + simServerSlavePath(sim) + ": Device or resource busy\n");
}

TEST(Device, MissingDeviceExitsWithStatusOne)
{
    RunResult r = runProgram({programPath("vexo")}, {"VEXO_DEVICE=/nonexistent/tty"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error opening /nonexistent/tty: No such file or directory\n");
    r = runProgram({programPath("vexo"), "--version"}, {"VEXO_DEVICE="}); // empty: the default device
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Error opening /dev/ttyT3S0: ", 0), 0u) << r.err;
}

// ---- The generic driver with callbacks of its own -------------------------

static int taskResult;

static int optTwo(FILE*, ByteArrayRef, void*, int* loops, int, char**)
{
    *loops = 0;
    return 2;
}

static int optThreeLoops(FILE*, ByteArrayRef, void*, int* loops, int, char**)
{
    *loops = 3;
    return 0;
}

static int taskPrints(FILE*, int task, ByteArrayRef, ByteArrayRef, void*)
{
    printf("task %d\n", task);
    return taskResult;
}

static void printMarker(ByteArrayRef bRep, void*) { printf("print %d\n", bRep.len); }

class Driver : public SimTest {
protected:
    RunResult run(AVRoptFunc opt)
    {
        if (!started)
            startSim();
        const std::string path = simServerSlavePath(sim);
        return runInChild([&] {
            AVRrun(path.c_str(), nullptr, 0, nullptr, nullptr, VEXOrequestInitFromReply, opt, printMarker, taskPrints,
                   VEXOcallback);
            return 0;
        });
    }
};

TEST_F(Driver, TaskBitsCallTaskWhichMayAskForTheSend)
{
    taskResult = 0;
    RunResult r = run(optTwo);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "task 2\n");
    EXPECT_TRUE(simRequests(sim).empty());
    taskResult = 1;
    r = run(optTwo);
    EXPECT_EQ(r.out, "task 2\n");
    EXPECT_EQ(simRequests(sim).size(), 1u);
}

TEST_F(Driver, LoopsReceivesThatManyRepliesAndPrintsOnce)
{
    startSim();
    // Counted by the time each record left the line: the count itself goes
    // up a moment before the bytes do.
    const double before = simServerNow(sim);
    const RunResult r = run(optThreeLoops);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "print 19\n");
    const auto ends = simReplyEnds(sim);
    EXPECT_GE(std::count_if(ends.begin(), ends.end(), [&](double t) { return t >= before; }), 4);
}

// ---- Reception timing on a bare pseudo-terminal ------------------------------

TEST(Reception, BufferedPacketsComeWithoutWaitingThenSilenceEndsTheCall)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    FILE* f = fopen(ptsname(master), "r+");
    ASSERT_NE(f, nullptr);
    termios saved{};
    termConfigRaw(fileno(f), &saved);
    fileSetBlocking(fileno(f), 0);
    // Two whole frames in one write: the first read takes both into the stream.
    const unsigned char two[] = {0x7E, 0xFF, 0x7F, 0x7E, 0x01, 0xFE, 0x7F};
    ASSERT_EQ(write(master, two, sizeof two), static_cast<ssize_t>(sizeof two));
    std::vector<unsigned char> buf(256);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(filePacketGet(f, BAR(buf.data(), 256)).len, 1);
    EXPECT_EQ(filePacketGet(f, BAR(buf.data(), 256)).len, 2);
    const double both = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(both, 0.1) << "the second packet was already in the stream";
    EXPECT_EQ(filePacketGet(f, BAR(buf.data(), 256)).arr, nullptr);
    const double silent = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() - both;
    EXPECT_GE(silent, 0.24);
    EXPECT_LT(silent, 0.6);
    // Bytes that come after an end of data are still read: nothing sticks.
    const unsigned char one[] = {0x7E, 0x10, 0xEF, 0x7F};
    ASSERT_EQ(write(master, one, sizeof one), static_cast<ssize_t>(sizeof one));
    EXPECT_EQ(filePacketGet(f, BAR(buf.data(), 256)).len, 2);
    fclose(f);
    close(master);
}
