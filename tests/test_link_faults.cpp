// One-shot commands on a faulty line: short packets that pass the checksum,
// records queued in a burst when the request goes out, a line whose other end
// has gone, closed standard streams, and --charge's value for --eew.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/helpers.h"

class LinkFaults : public SimTest {
protected:
    // Hex text of every request packet the board received.
    std::vector<std::string> packets()
    {
        std::vector<std::string> out;
        for (const auto& r : simRequests(sim))
            out.push_back(hex(r.packet));
        return out;
    }
};

// A 5-byte packet whose checksum passes comes before every status record.
TEST_F(LinkFaults, ShortPacketsAreNeverStatusRecords)
{
    startSim();
    simInjectShortFrame(sim, 1000000);

    RunResult r = vexo({});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("PWM LO = 00FA\nPWM T  = 01F4\n"), std::string::npos) << r.out;
    EXPECT_TRUE(packets().empty());

    r = vexo({"--opamp", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OPAMP: on\n");
    EXPECT_EQ(packets(), std::vector<std::string>{"00 00 00 00 48 00 FA 00 F4 01 00 00 C8"});

    simClearRequests(sim);
    ASSERT_EQ(simControl(sim, "eeprom 16 0xA5"), "");
    r = vexo({"--eer", "16"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 6), "10:A5\n");
    // The read (eeRead, address 0x10), then its release; outputs as the board's.
    EXPECT_EQ(packets(), (std::vector<std::string>{"00 00 00 00 48 01 FA 00 F4 01 10 00 B7",
                                                   "00 00 00 00 48 00 FA 00 F4 01 10 00 B8"}));
}

// Every status record arrives eight times back to back: when the request goes
// out, the copies of the old state are still queued.
TEST_F(LinkFaults, QueuedRecordsAtTheSendAreNotCountedAsReplies)
{
    startSim();
    simInjectBurst(sim, 8);
    RunResult r = vexo({"--pwm1", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "PWM1: on\n");
    // The pseudo-terminal may hand the block over in two pieces, so that a
    // few old copies land after the discard: then one re-send, never more.
    const auto sent = packets();
    ASSERT_GE(sent.size(), 1u);
    EXPECT_LE(sent.size(), 2u);
    for (const auto& p : sent)
        EXPECT_EQ(p, "00 00 00 00 41 00 FA 00 F4 01 00 00 CF");
    r = vexo({"--eeval", "7", "--eew", "3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(simBoardSnapshot(sim).eeprom[3], 7);
}

TEST_F(LinkFaults, ChargeValueIsTheValueForALaterWrite)
{
    const RunResult r = vexo({"--eeval", "5", "--charge", "1000", "--eew", "16"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 84), "Can only charge the battery with 60mA < I < 400mA\n"
                                   "Writing E8 to 10\n"
                                   "EE WR E8 -> [10]\n");
    EXPECT_EQ(simBoardSnapshot(sim).eeprom[16], 0xE8);
}

TEST_F(LinkFaults, BoardGoneMidRunEndsAtOnce)
{
    startSim();
    simInjectSilence(sim, 60000); // the run waits for its first record
    const std::string path = simServerSlavePath(sim);
    const TempDir tmp;
    Background bg = startProgram({programPath("vexo")}, {"VEXO_DEVICE=" + path}, tmp.path() + "/out");
    usleep(100000);
    simServerStop(sim); // the line's other end closes
    started = false;
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return !programRunning(&bg); }, 3000));
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(bg.status, 3);
    EXPECT_EQ(readFile(bg.outPath), "Failed to communicate with AVR\n");
    EXPECT_LT(s, 1.0) << "a dead line is not waited on for the 2 s limit";
}

TEST(DeadLine, RegularFileAndNullDeviceEndAtOnce)
{
    const TempDir tmp;
    const std::string& dir = tmp.path();
    std::ofstream(dir + "/file") << "no frames here";
    std::vector<std::string> paths{dir + "/file"};
    // A null device of the test's own, never the machine's.
    if (mknod((dir + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        paths.push_back(dir + "/null");
    for (const auto& p : paths) {
        const RunResult r = runProgram({programPath("vexo"), "--pwm1", "1"}, {"VEXO_DEVICE=" + p});
        EXPECT_EQ(r.status, 3) << p;
        EXPECT_EQ(r.out, "Failed to communicate with AVR\n") << p;
        EXPECT_LT(r.seconds, 1.0) << p;
    }
}

// Started with standard output closed, the report must not go down the line.
TEST_F(LinkFaults, ClosedStandardOutputNeverReachesTheLine)
{
    startSim();
    const ExecPlan plan = execPlan({programPath("vexo")}, {"VEXO_DEVICE=" + simServerSlavePath(sim)});
    const RunResult r = runInChild([&]() -> int {
        close(1);
        execPlanned(plan);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(simHostBytes(sim), 0) << "the report went to the board";
}
