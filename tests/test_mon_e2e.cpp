// vexo-mon and vexo-plot against the real supervisor on the simulated board,
// in this process's private network namespace, with a fake shutdown in PATH.
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/netns.h"
#include "tests/udp_helpers.h"

// The battI_mA column of a CSV row.
static double csvMilliamps(const std::string& row)
{
    const size_t a = row.find(',', row.find(',') + 1);
    return std::atof(row.c_str() + a + 1);
}

static std::string monPath() { return std::string(VEXO_BIN_DIR) + "/clients/vexo-mon"; }

// Each way vexo-mon refuses its command line or fails before any telemetry:
// the exact message and status, and nothing on standard output.
TEST(MonitorProgram, RefusalsAndFailuresSayWhyWithTheirStatus)
{
    int port = 0;
    const int taken = loopbackSocket(0, &port);
    const std::string mon = monPath(), busy = std::to_string(port);
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string err;
    } rows[] = {
        {{mon, "--port", "65536", "127.0.0.1"}, 2, "vexo-mon: --port needs a port number 0 to 65535, not '65536'\n"},
        {{mon, "--count", "0", "127.0.0.1"}, 2, "vexo-mon: --count needs a whole number above 0, not '0'\n"},
        {{mon, "--seconds", "1s", "127.0.0.1"}, 2, "vexo-mon: --seconds needs a whole number above 0, not '1s'\n"},
        {{mon, "127.0.0.1", "set-current"}, 2, "vexo-mon: 'set-current' needs one whole number: MA\n"},
        {{mon, "127.0.0.1", "set-cycle", "200", "10"},
         2,
         "vexo-mon: 'set-cycle' needs three whole numbers: MA ON OFF (seconds 0 or more)\n"},
        {{mon, "127.0.0.1", "stop-telemetry", "now"}, 2, "vexo-mon: 'stop-telemetry' needs no arguments\n"},
        {{mon, "127.0.0.1", "reboot"}, 2, "vexo-mon: 'reboot' needs to be set-current, set-cycle or stop-telemetry\n"},
        {{mon, "nosuch.invalid"}, 1, "vexo-mon: cannot resolve nosuch.invalid\n"},
        {{mon, "--port", busy, "127.0.0.1"},
         1,
         "vexo-mon: cannot bind UDP port " + busy + ": Address already in use\n"},
        {{mon, "10.0.0.1", "stop-telemetry"}, 1, "vexo-mon: cannot send to 10.0.0.1: Network is unreachable\n"},
    };
    for (const auto& row : rows) {
        const RunResult r = runProgram(row.argv);
        EXPECT_EQ(r.status, row.status) << row.err;
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, "");
    }
    close(taken);
}

class Monitor : public SupervisorTest {
protected:
    Background supervisor;
    Background mon;

    void TearDown() override
    {
        stopProgram(&mon);
        stopProgram(&supervisor);
        SupervisorTest::TearDown();
    }
    // Starts the supervisor at ma and waits until it has held the current a while.
    void startSupervisor(const std::string& ma)
    {
        if (!started)
            startSim();
        const size_t before = requests().size();
        supervisor = startVexo({"--charge", ma}, "sup.txt");
        ASSERT_TRUE(waitRequests(before + 60, 5000));
    }
};

TEST_F(Monitor, CsvHeaderAndRowsNearTheTarget)
{
    startSupervisor("200");
    const RunResult r = runProgram({monPath(), "--count", "3", "--csv", "127.0.0.1"}, {}, 10000);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), 4u) << r.out;
    EXPECT_EQ(rows[0], "t,battV,battI_mA,tempF,pwmlo,pwmt,supplyV,regV,pwm1,pwm2,offset,opamp,buck,led,jp3,"
                       "onbatt,softjp3,locked");
    for (size_t i = 1; i < rows.size(); i++) {
        EXPECT_NEAR(csvMilliamps(rows[i]), 200.0, 3.0) << rows[i];
        EXPECT_EQ(rows[i].substr(rows[i].size() - 2), ",1") << "locked";
    }
    EXPECT_EQ(r.err, "");
}

TEST_F(Monitor, SetCurrentMovesTheTargetAndTelemetryFollows)
{
    startSupervisor("200");
    RunResult r = runProgram({monPath(), "127.0.0.1", "set-current", "300"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(waitFor([&] { return std::abs(simBoardSnapshot(sim).currentUa - 300000) <= 3000; }, 5000));
    waitFor([] { return false; }, 1200); // one whole second at the new target
    r = runProgram({monPath(), "--count", "2", "--json", "127.0.0.1"}, {}, 10000);
    const auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[1].find("\"locked\":true"), std::string::npos) << rows[1];
    const size_t at = rows[1].find("\"battI_mA\":");
    EXPECT_NEAR(std::atof(rows[1].c_str() + at + 11), 300.0, 3.0) << rows[1];

    r = runProgram({monPath(), "127.0.0.1", "set-current", "700"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-mon: 700 mA is outside 60 to 500 mA; give --force to send it anyway\n");
    r = runProgram({monPath(), "127.0.0.1", "set-cycle", "200", "10", "x"});
    EXPECT_EQ(r.status, 2);
}

TEST_F(Monitor, InterruptStopsTheTelemetry)
{
    startSupervisor("150");
    int port = 0;
    close(loopbackSocket(0, &port)); // a free port to name
    mon = startProgram({monPath(), "--port", std::to_string(port), "--csv", "127.0.0.1"}, {}, dir + "/mon.txt");
    ASSERT_TRUE(waitFor([&] { return lines(readFile(dir + "/mon.txt")).size() >= 2; }, 5000));
    kill(mon.pid, SIGINT);
    ASSERT_TRUE(waitFor([&] { return !programRunning(&mon); }, 3000));
    EXPECT_EQ(mon.status, 0);
    const int listener = loopbackSocket(port);
    EXPECT_TRUE(receiveOne(listener, 2500).empty()) << "the supervisor stopped sending";
    close(listener);
}

TEST_F(Monitor, RestartedSupervisorIsPickedUpAgain)
{
    startSupervisor("200");
    mon = startProgram({monPath(), "--seconds", "20", "--csv", "127.0.0.1"}, {}, dir + "/mon.txt");
    ASSERT_TRUE(waitFor([&] { return lines(readFile(dir + "/mon.txt")).size() >= 3; }, 5000));
    stopProgram(&supervisor);
    startSupervisor("200");
    const size_t rowsAtRestart = lines(readFile(dir + "/mon.txt")).size();
    ASSERT_TRUE(waitFor([&] { return lines(readFile(dir + "/mon.txt")).size() >= rowsAtRestart + 3; }, 9000));
    EXPECT_NE(readFile(dir + "/mon.txt").find("vexo-mon: no telemetry for 3 s, asking 127.0.0.1 again\n"),
              std::string::npos);
}

TEST_F(Monitor, GarbageIsCountedNotPrinted)
{
    startSupervisor("200");
    int port = 0;
    close(loopbackSocket(0, &port));
    mon = startProgram({monPath(), "--port", std::to_string(port), "--count", "2", "--csv", "127.0.0.1"}, {},
                       dir + "/mon.txt");
    const int junk = loopbackSocket(0);
    ASSERT_TRUE(waitFor([&] { return !readFile(dir + "/mon.txt").empty(); }, 3000));
    sendTo(junk, port, "garbage", 7);
    std::vector<unsigned char> wrongSize(103, 0);
    sendTo(junk, port, wrongSize.data(), wrongSize.size());
    close(junk);
    ASSERT_TRUE(waitFor([&] { return !programRunning(&mon); }, 6000));
    const auto out = lines(readFile(dir + "/mon.txt"));
    EXPECT_EQ(out.size(), 4u) << readFile(dir + "/mon.txt");
    EXPECT_EQ(out.back(), "vexo-mon: ignored 2 datagrams of the wrong size or source");
}

TEST_F(Monitor, PlotOfASession)
{
    if (system("command -v gnuplot >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gnuplot is not installed";
    startSupervisor("200");
    const RunResult r = runProgram({monPath(), "--count", "4", "--csv", "127.0.0.1"}, {}, 10000);
    ASSERT_EQ(r.status, 0);
    const std::string csv = dir + "/log.csv", png = dir + "/log.png";
    runProgram({"sh", "-c", "cat > " + csv + " <<'EOF'\n" + r.out + "EOF"});
    const RunResult p = runProgram({std::string(VEXO_SOURCE_DIR) + "/clients/vexo-plot", csv, png, "200"});
    EXPECT_EQ(p.status, 0) << p.err;
    const std::string image = readFile(png);
    ASSERT_GT(image.size(), 5000u);
    EXPECT_EQ(image.substr(1, 3), "PNG");
    const RunResult bad = runProgram({std::string(VEXO_SOURCE_DIR) + "/clients/vexo-plot", png, png});
    EXPECT_EQ(bad.status, 1);
}

// The words that run vexo-mon, behind the emulator when there is one.
static std::string monCommandLine()
{
    std::string line;
    auto words = programCommand("vexo");
    words.back() = monPath();
    for (const auto& w : words)
        line += w + " ";
    return line;
}

TEST_F(Monitor, HangUpAndAClosedPipeStopTheTelemetry)
{
    startSupervisor("150");
    int port = 0;
    close(loopbackSocket(0, &port));
    mon = startProgram({monPath(), "--port", std::to_string(port), "--csv", "127.0.0.1"}, {}, dir + "/mon.txt");
    ASSERT_TRUE(waitFor([&] { return lines(readFile(dir + "/mon.txt")).size() >= 2; }, 5000));
    kill(mon.pid, SIGHUP);
    ASSERT_TRUE(waitFor([&] { return !programRunning(&mon); }, 3000));
    EXPECT_EQ(mon.status, 0);
    int listener = loopbackSocket(port);
    EXPECT_TRUE(receiveOne(listener, 2500).empty()) << "the supervisor stopped sending after SIGHUP";
    close(listener);

    // The reader of the pipe leaves after one line.
    const RunResult r =
        runProgram({"bash", "-c",
                    "set -o pipefail; " + monCommandLine() + "--port " + std::to_string(port) + " 127.0.0.1 | head -1"},
                   {}, 10000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out).size(), 1u);
    EXPECT_EQ(r.err, "");
    listener = loopbackSocket(port);
    EXPECT_TRUE(receiveOne(listener, 2500).empty()) << "the supervisor stopped sending after the pipe closed";
    close(listener);
}

TEST_F(Monitor, NumbersThatAreNotFiniteAreNullOrEmptyAndCounted)
{
    vexoInfo info{};
    info.t = 1000;
    info.battV = NAN;
    info.battI = 200000;
    info.tempF = INFINITY;
    info.pwmt = 500;
    info.pwmlo = 333;
    info.supplyV = 768;
    info.regV = -NAN;
    std::vector<unsigned char> datagram(sizeof info);
    std::memcpy(datagram.data(), &info, sizeof info);
    const std::pair<const char*, std::string> rows[] = {
        {"--json", "{\"t\":1000,\"battV\":null,\"battI_mA\":200.0,\"tempF\":null,\"pwmlo\":333.0,\"pwmt\":500,"
                   "\"supplyV\":768,\"regV\":null,\"pwm1\":false,\"pwm2\":false,\"offset\":false,\"opamp\":false,"
                   "\"buck\":false,\"led\":false,\"jp3\":false,\"onbatt\":false,\"softjp3\":false,\"locked\":false}"},
        {"--csv", "1000,,200.0,,333.0,500,768,,0,0,0,0,0,0,0,0,0,0"},
    };
    for (const auto& [format, expected] : rows) {
        int port = 0;
        close(loopbackSocket(0, &port));
        mon = startProgram({monPath(), "--port", std::to_string(port), "--count", "1", format, "127.0.0.1"}, {},
                           dir + "/mon.txt");
        const int spoofer = loopbackSocket(0);
        ASSERT_TRUE(waitFor(
            [&] {
                sendTo(spoofer, port, datagram.data(), datagram.size());
                return !programRunning(&mon);
            },
            5000));
        close(spoofer);
        const auto out = lines(readFile(dir + "/mon.txt"));
        ASSERT_GE(out.size(), 2u) << readFile(dir + "/mon.txt");
        EXPECT_EQ(out[out.size() - 2], expected) << format;
        EXPECT_EQ(out.back(), "vexo-mon: 1 malformed datagram carried numbers that are not finite");
    }
}
