// The vexo-sim program as people run it.
#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "helpers.h"

// vexo-sim ARGS... -- vexo VEXOARGS...
static std::vector<std::string> simRunning(std::vector<std::string> simArgs, std::vector<std::string> vexoArgs)
{
    std::vector<std::string> argv{programPath("vexo-sim")};
    argv.insert(argv.end(), simArgs.begin(), simArgs.end());
    argv.push_back("--");
    const auto vexo = programCommand("vexo");
    argv.insert(argv.end(), vexo.begin(), vexo.end());
    argv.insert(argv.end(), vexoArgs.begin(), vexoArgs.end());
    return argv;
}

TEST(SimProgram, RunsACommandAndPassesItsStatus)
{
    RunResult r = runProgram(simRunning({}, {}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 29), "Supply Voltage ADC    = 0300\n");
    EXPECT_EQ(r.err.rfind("vexo-sim: board on /dev/pts/", 0), 0u) << r.err;
    r = runProgram({programPath("vexo-sim"), "--", "sh", "-c", "exit 7"});
    EXPECT_EQ(r.status, 7);
    r = runProgram({programPath("vexo-sim"), "--interval", "5", "--", "sh", "-c", "test -c \"$VEXO_DEVICE\""});
    EXPECT_EQ(r.status, 0);
    r = runProgram(simRunning({"--onbatt-at", "0"}, {}));
    EXPECT_NE(r.out.find("Running on BATTERY\n"), std::string::npos) << r.out;
    r = runProgram({programPath("vexo-sim"), "--interval", "fast", "--", "true"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-sim: --interval needs a number from 0 to 60000, not 'fast'\n");
    r = runProgram({programPath("vexo-sim")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("Usage: vexo-sim", 0), 0u);
}

TEST(SimProgram, RecordsRequestsAndKeepsTheEeprom)
{
    const std::string dir = makeTempDir();
    const std::string rec = dir + "/rec.txt", ee = dir + "/ee.bin";
    RunResult r = runProgram(simRunning({"--record", rec, "--eeprom", ee}, {"--eeval", "90", "--eew", "3"}));
    EXPECT_EQ(r.status, 0);
    const std::string text = readFile(rec);
    EXPECT_NE(text.find(" 00 00 00 00 40 02 FA 00 F4 01 03 5A "), std::string::npos) << text;
    r = runProgram(simRunning({"--eeprom", ee}, {"--eer", "3"}));
    EXPECT_EQ(r.out.substr(0, 6), "03:5A\n");
    runProgram({"rm", "-rf", dir});
}

TEST(SimProgram, LinkModeServesTakesControlCommandsAndEndsOnSigterm)
{
    const std::string dir = makeTempDir();
    const std::string link = dir + "/tty", fifo = dir + "/ctl";
    Background bg = startProgram({programPath("vexo-sim"), "--link", link, "--control", fifo}, {}, dir + "/log");
    ASSERT_TRUE(waitFor(
        [&] {
            struct stat st {};
            return lstat(link.c_str(), &st) == 0 && lstat(fifo.c_str(), &st) == 0;
        },
        5000));
    RunResult r = runProgram({programPath("vexo")}, {"VEXO_DEVICE=" + link});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Running on LINE VOLTAGE\n"), std::string::npos);
    runProgram({"sh", "-c", "echo battery > " + fifo});
    EXPECT_TRUE(waitFor(
        [&] {
            return runProgram({programPath("vexo")}, {"VEXO_DEVICE=" + link}).out.find("Running on BATTERY\n") !=
                   std::string::npos;
        },
        3000));
    kill(bg.pid, SIGTERM);
    EXPECT_TRUE(waitFor([&] { return !programRunning(&bg); }, 3000));
    EXPECT_EQ(bg.status, 0);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed";
    stopProgram(&bg);
    runProgram({"rm", "-rf", dir});
}
