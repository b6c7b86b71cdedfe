// The vexo-sim program as people run it.
#include <chrono>
#include <csignal>
#include <fstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/helpers.h"

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

// What cannot be opened, linked or run: the exact message and status of each
// (after the line that names the board, when there is one).
TEST(SimProgram, WhatCannotBeOpenedOrRunIsSaidWithItsStatus)
{
    const std::string sim = programPath("vexo-sim"), missing = "/nonexistent/dir/x";
    const std::string why = missing + ": No such file or directory\n";
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string err;
    } rows[] = {
        {{sim, "--record", missing, "--", "true"}, 1, "vexo-sim: cannot open " + why},
        {{sim, "--control", missing, "--", "true"}, 1, "vexo-sim: cannot make " + why},
        {{sim, "--link", missing}, 1, "vexo-sim: cannot link " + why},
        {{sim, "--", missing}, 127, "vexo-sim: cannot run " + why},
        {{sim, "--", "sh", "-c", "kill -KILL $$"}, 128 + SIGKILL, ""},
    };
    for (const auto& row : rows) {
        const RunResult r = runProgram(row.argv);
        EXPECT_EQ(r.status, row.status) << row.err;
        std::string err = r.err;
        if (err.rfind("vexo-sim: board on /dev/pts/", 0) == 0)
            err.erase(0, err.find('\n') + 1);
        EXPECT_EQ(err, row.err);
    }
}

// --discharge: on battery from the start, 200 mV a second for a second or more.
TEST(SimProgram, DischargesTheBatteryAtTheRateGiven)
{
    const auto vexo = programCommand("vexo");
    std::string command;
    for (const auto& w : vexo)
        command += "'" + w + "' ";
    RunResult r = runProgram(
        {programPath("vexo-sim"), "--onbatt-at", "0", "--discharge", "200", "--", "sh", "-c", "sleep 1; " + command});
    EXPECT_EQ(r.status, 0);
    const size_t at = r.out.find("Battery Voltage       = ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const double volts = std::stod(r.out.substr(at + 24, 4));
    EXPECT_LT(volts, 3.51) << r.out;
    EXPECT_GE(volts, 3.0) << r.out;
    r = runProgram({programPath("vexo-sim"), "--discharge", "1001", "--", "true"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-sim: --discharge needs a number from 0 to 1000, not '1001'\n");
}

TEST(SimProgram, RecordsRequestsAndKeepsTheEeprom)
{
    const TempDir tmp;
    const std::string rec = tmp.path() + "/rec.txt", ee = tmp.path() + "/ee.bin";
    RunResult r = runProgram(simRunning({"--record", rec, "--eeprom", ee}, {"--eeval", "90", "--eew", "3"}));
    EXPECT_EQ(r.status, 0);
    const std::string text = readFile(rec);
    EXPECT_NE(text.find(" 00 00 00 00 40 02 FA 00 F4 01 03 5A "), std::string::npos) << text;
    r = runProgram(simRunning({"--eeprom", ee}, {"--eer", "3"}));
    EXPECT_EQ(r.out.substr(0, 6), "03:5A\n");
}

TEST(SimProgram, LinkModeServesTakesControlCommandsAndEndsOnSigterm)
{
    const TempDir tmp;
    const std::string link = tmp.path() + "/tty", fifo = tmp.path() + "/ctl";
    Background bg = startProgram({programPath("vexo-sim"), "--link", link, "--control", fifo}, {}, tmp.path() + "/log");
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
}

// ---- Bad input: files, control commands, signals ---------------------------

class SimFiles : public ::testing::Test {
protected:
    const TempDir tmp;
    const std::string dir = tmp.path();
    // vexo-sim --eeprom path -- vexo ARGS
    RunResult writeByte(const std::string& path, const std::string& value = "65")
    {
        return runProgram(simRunning({"--eeprom", path}, {"--eeval", value, "--eew", "1"}));
    }
};

TEST_F(SimFiles, EepromLinkIsFollowedAndItsTargetWritten)
{
    ASSERT_EQ(symlink("image.bin", (dir + "/link").c_str()), 0);
    RunResult r = writeByte(dir + "/link");
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(lstat((dir + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    const std::string image = readFile(dir + "/image.bin");
    ASSERT_EQ(image.size(), 256u);
    EXPECT_EQ(image[1], 'A');
    r = writeByte(dir + "/link", "66");
    EXPECT_EQ(readFile(dir + "/image.bin")[1], 'B');
}

TEST_F(SimFiles, EepromThatIsNoRegularImageIsRefusedBeforeServing)
{
    mkdir((dir + "/adir").c_str(), 0755);
    std::ofstream(dir + "/text") << "keep me";
    std::vector<std::pair<std::string, std::string>> rows{
        {dir + "/adir", "vexo-sim: --eeprom " + dir + "/adir: not a regular file\n"},
        {dir + "/text", "vexo-sim: --eeprom " + dir + "/text: not a 256-byte EEPROM image (7 bytes)\n"},
    };
    // A device node of the test's own, never one of the machine's.
    if (mknod((dir + "/full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0)
        rows.emplace_back(dir + "/full", "vexo-sim: --eeprom " + dir + "/full: not a regular file\n");
    for (const auto& [path, message] : rows) {
        const RunResult r = writeByte(path);
        EXPECT_EQ(r.status, 2) << path;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "") << "nothing was served";
    }
    EXPECT_EQ(readFile(dir + "/text"), "keep me");
    struct stat st {};
    if (lstat((dir + "/full").c_str(), &st) == 0) {
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the node was not replaced";
    }
}

TEST_F(SimFiles, FailedEepromWriteIsReportedAndFailsTheRun)
{
    const std::string path = dir + "/missing/image.bin";
    RunResult r = writeByte(path);
    EXPECT_EQ(r.status, 1) << "the command succeeded, the write did not";
    EXPECT_NE(r.err.find("vexo-sim: cannot write the EEPROM to " + path + ": No such file or directory\n"),
              std::string::npos)
        << r.err;
    std::vector<std::string> argv{programPath("vexo-sim"), "--eeprom", path, "--", "sh", "-c"};
    argv.push_back("\"$0\" --eeval 5 --eew 1 >/dev/null; exit 4");
    const auto vexo = programCommand("vexo");
    argv.insert(argv.end(), vexo.begin(), vexo.end());
    r = runProgram(argv);
    EXPECT_EQ(r.status, 4) << "the command's own failure wins";
}

// As an unprivileged user: a file it cannot read, a directory it cannot write.
TEST_F(SimFiles, UnreadableAndUnwritableEepromFiles)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    chmod(dir.c_str(), 0755);
    std::ofstream(dir + "/secret").write(std::string(256, 'x').data(), 256);
    chmod((dir + "/secret").c_str(), 0600);
    mkdir((dir + "/ro").c_str(), 0555);
    auto asNobody = [&](const std::string& path) {
        const ExecPlan plan = execPlan(simRunning({"--eeprom", path}, {"--eeval", "5", "--eew", "1"}), {});
        return runInChild([&]() -> int {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                return 125;
            execPlanned(plan);
        });
    };
    RunResult r = asNobody(dir + "/secret");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-sim: cannot read --eeprom " + dir + "/secret: Permission denied\n");
    r = asNobody(dir + "/ro/image.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("vexo-sim: cannot write the EEPROM to " + dir + "/ro/image.bin: Permission denied\n"),
              std::string::npos)
        << r.err;
}

TEST_F(SimFiles, ControlPathMustBeAFifo)
{
    const RunResult r = runProgram({programPath("vexo-sim"), "--control", dir, "--", "true"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-sim: --control " + dir + ": not a FIFO\n");
}

struct BadControl {
    const char* line;
    const char* message;
};

static void PrintTo(const BadControl& b, std::ostream* os) { *os << "control " << b.line; }

class SimControlWords : public ::testing::TestWithParam<BadControl> {};

TEST_P(SimControlWords, AreRefusedWithNoEffect)
{
    SimHandle sim(simServerNew(SimConfig{}));
    const auto eeprom = simBoardSnapshot(sim.get()).eeprom;
    EXPECT_EQ(simControl(sim.get(), GetParam().line), GetParam().message);
    const SimFaults f = simServerFaults(sim.get());
    EXPECT_EQ(f.noiseBytes + f.badChecksumFrames + f.shortFrames + f.oversizedFrames + f.confirmAfter, 0);
    EXPECT_FALSE(f.garbage || f.ignoreRequests);
    EXPECT_EQ(f.silentUntil, 0);
    EXPECT_TRUE(simBoardSnapshot(sim.get()).eeprom == eeprom);
    EXPECT_FALSE(simBoardSnapshot(sim.get()).onBattery);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SimControlWords,
    ::testing::Values(
        BadControl{"noise 99999999999", "noise needs one whole number from 0 to 4096, not '99999999999'"},
        BadControl{"noise -5", "noise needs one whole number from 0 to 4096, not '-5'"},
        BadControl{"silent abc", "silent needs one whole number from 0 to 600000, not 'abc'"},
        BadControl{"badsum -1", "badsum needs one whole number from 0 to 1000000000, not '-1'"},
        BadControl{"short", "short needs one whole number from 0 to 1000000000"},
        BadControl{"eeprom 5", "eeprom needs an address and a value, each a whole number from 0 to 255"},
        BadControl{"eeprom 6 abc", "eeprom needs an address and a value, each a whole number from 0 to 255"},
        BadControl{"eeprom 300 7", "eeprom needs an address and a value, each a whole number from 0 to 255"},
        BadControl{"garbage maybe", "garbage needs on or off, not 'maybe'"},
        BadControl{"ignore", "ignore needs on or off"}, BadControl{"battery now", "battery takes no argument"},
        BadControl{"battery-mv 2999", "battery-mv needs one whole number from 3000 to 4200, not '2999'"},
        BadControl{"discharge 1001", "discharge needs one whole number from 0 to 1000, not '1001'"},
        BadControl{"reboot", "unknown command: reboot"}));

TEST(SimControlWords, GoodWordsStillWork)
{
    SimHandle sim(simServerNew(SimConfig{}));
    EXPECT_EQ(simControl(sim.get(), "eeprom 0x10 0xA5"), "");
    EXPECT_EQ(simBoardSnapshot(sim.get()).eeprom[16], 0xA5);
    EXPECT_EQ(simControl(sim.get(), "garbage on"), "");
    EXPECT_TRUE(simServerFaults(sim.get()).garbage);
    EXPECT_EQ(simControl(sim.get(), "noise 4096"), "");
    EXPECT_EQ(simServerFaults(sim.get()).noiseBytes, 4096);
}

// The battery discharges on battery at the rate set, and line power holds it.
TEST(SimBattery, DischargesAtTheRateSetOnBattery)
{
    SimConfig cfg;
    cfg.board.dischargeMvS = 100;
    SimHandle sim(simServerNew(cfg));
    EXPECT_EQ(simControl(sim.get(), "battery-mv 3900"), "");
    SimBoard b = simBoardSnapshot(sim.get());
    EXPECT_DOUBLE_EQ(b.volts, 3.9);
    simBoardStep(&b, 1.0); // line power, not charging: the idle current's 0.021 mV
    EXPECT_NEAR(b.volts, 3.9 - 0.000021, 1e-9);
    simBoardSetLinePower(&b, false);
    simBoardStep(&b, 2.0);
    EXPECT_NEAR(b.volts, 3.7 - 0.000021, 1e-9);
    EXPECT_EQ(simBoardReply(&b).adc6, simEncodeVolts(3.7));
    b.cfg.dischargeMvS = 0; // as the 150 mA load draws: 1.5 mV a second
    simBoardStep(&b, 2.0);
    EXPECT_NEAR(b.volts, 3.697 - 0.000021, 1e-9);
    simBoardStep(&b, 1e6);
    EXPECT_DOUBLE_EQ(b.volts, SIM_VOLTS_MIN);
    EXPECT_EQ(simControl(sim.get(), "discharge 250"), "");
    EXPECT_DOUBLE_EQ(simBoardSnapshot(sim.get()).cfg.dischargeMvS, 250);
}

// Link mode: a bad control command is answered on standard error; the
// largest noise still lets a signal end the simulator within a second, and
// SIGHUP removes the link as SIGTERM does.
TEST_F(SimFiles, LinkModeAnswersBadControlsAndEndsOnSighup)
{
    const std::string link = dir + "/tty", fifo = dir + "/ctl";
    Background bg = startProgram({programPath("vexo-sim"), "--link", link, "--control", fifo}, {}, dir + "/log");
    struct stat st {};
    ASSERT_TRUE(waitFor([&] { return lstat(link.c_str(), &st) == 0 && lstat(fifo.c_str(), &st) == 0; }, 5000));
    runProgram({"sh", "-c", "printf 'noise 99999999999\\nnoise 4096\\n' > " + fifo});
    ASSERT_TRUE(waitFor([&] { return readFile(dir + "/log").find("not '99999999999'") != std::string::npos; }, 3000));
    usleep(300000);
    kill(bg.pid, SIGHUP);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return !programRunning(&bg); }, 3000));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
    EXPECT_EQ(bg.status, 0);
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed";
    EXPECT_NE(readFile(dir + "/log").find("vexo-sim: noise needs one whole number from 0 to 4096, not '99999999999'\n"),
              std::string::npos);
    stopProgram(&bg);
}
