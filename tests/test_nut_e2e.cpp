// Network UPS Tools clients see the board: the real vexo --charge with
// --ups-file on the simulated board, NUT's own dummy-ups driver and upsd
// with the example configuration of dist/nut (upsd on loopback of the
// sandbox's network, config and state in the test's directory, both run as
// root and ended by PID), and upsc asking. No upsmon runs: nothing of NUT's
// may shut anything down.
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include <grp.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "avr/vexo_ups.h"
#include "tests/netns.h"
#include "tests/udp_helpers.h"

namespace {

// The first of paths that exists, or "".
std::string firstExisting(std::initializer_list<const char*> paths)
{
    for (const char* p : paths)
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

// The example file of dist/nut with its lines edited by fn.
std::string example(const std::string& name, const std::function<std::string(const std::string&)>& fn)
{
    std::istringstream in(readFile(std::string(VEXO_SOURCE_DIR) + "/dist/nut/" + name));
    std::string out;
    for (std::string line; std::getline(in, line);)
        out += fn(line);
    return out;
}

double seconds() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

} // namespace

class Nut : public SupervisorTest {
protected:
    Background vexoBg, driver, upsd;
    std::string upsc, driverPath, upsdPath;
    std::vector<std::string> nutEnv;
    int peer = -1;

    void SetUp() override
    {
        SupervisorTest::SetUp();
        if (IsSkipped())
            return;
        driverPath = firstExisting({"/lib/nut/dummy-ups", "/usr/lib/nut/dummy-ups"});
        upsdPath = firstExisting({"/lib/nut/upsd", "/usr/lib/nut/upsd", "/usr/sbin/upsd"});
        upsc = firstExisting({"/usr/bin/upsc", "/bin/upsc"});
        if (driverPath.empty() || upsdPath.empty() || upsc.empty()) {
            if (getenv("CI") != nullptr)
                FAIL() << "CI: nut-server and nut-client must be installed (tools/test.sh installs them)";
            GTEST_SKIP() << "needs Debian's nut-server and nut-client (apt-get install nut-server nut-client)";
        }
    }
    void TearDown() override
    {
        if (vexoBg.pid > 0)
            kill(vexoBg.pid, SIGCONT);
        stopProgram(&upsd);
        stopProgram(&driver);
        stopProgram(&vexoBg);
        if (peer >= 0)
            close(peer);
        SupervisorTest::TearDown();
    }
    // The dist/nut examples, pointed at this test's pipe, directory and loopback.
    void writeConfig(const std::string& pipe)
    {
        std::ofstream(dir + "/ups.conf") << example("ups.conf", [&](const std::string& l) {
            return l.find("port = ") != std::string::npos ? "\tport = " + pipe + "\n" : l + "\n";
        });
        std::ofstream(dir + "/upsd.conf") << "LISTEN 127.0.0.1 3493\n"
                                          << example("upsd.conf", [](const std::string& l) {
                                                 return l.rfind("LISTEN ", 0) == 0 ? std::string() : l + "\n";
                                             });
        std::ofstream(dir + "/upsd.users") << example("upsd.users", [](const std::string& l) { return l + "\n"; });
        chmod((dir + "/upsd.users").c_str(), 0600);
        mkdir((dir + "/state").c_str(), 0700);
        nutEnv = {"NUT_CONFPATH=" + dir, "NUT_STATEPATH=" + dir + "/state", "NUT_ALTPIDPATH=" + dir + "/state"};
    }
    // upsc vexo@127.0.0.1 [VAR]: its output and error, trimmed.
    std::string ask(const std::string& var = "")
    {
        std::vector<std::string> argv{upsc, "vexo@127.0.0.1"};
        if (!var.empty())
            argv.push_back(var);
        const RunResult r = runProgram(argv, {}, 5000);
        std::string text = r.out + r.err;
        // upsc says this on every run without certificates; it is not the answer.
        const std::string ssl = "Init SSL without certificate database\n";
        for (size_t at; (at = text.find(ssl)) != std::string::npos;)
            text.erase(at, ssl.size());
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }
    // Waits until ask(var) satisfies ok; returns the last answer.
    std::string waitAnswer(const std::string& var, const std::function<bool(const std::string&)>& ok, int timeoutMs)
    {
        std::string last;
        waitFor(
            [&] {
                last = ask(var);
                return ok(last);
            },
            timeoutMs);
        return last;
    }
    // The latest telemetry datagram's battery volts, current (A) and °C.
    bool telemetry(float* volts, double* amps, double* celsius)
    {
        std::vector<unsigned char> d, next;
        while (!(next = receiveOne(peer, d.empty() ? 2500 : 0)).empty())
            d = next;
        if (d.size() != 104)
            return false;
        std::int32_t ua;
        float f;
        std::memcpy(volts, d.data() + 12, 4);
        std::memcpy(&ua, d.data() + 16, 4);
        std::memcpy(&f, d.data() + 20, 4);
        *amps = ua / 1e6;
        *celsius = (f - 32) * 5 / 9;
        return true;
    }
};

TEST_F(Nut, UpscSeesLineBatteryLineAndStaleOnceTheSupervisorStops)
{
    const std::string pipe = dir + "/nut.seq";
    writeConfig(pipe);
    vexoBg = startVexo({"--ups-file", pipe, "--charge", "200"}, "vexo.txt");
    struct stat st {};
    ASSERT_TRUE(waitFor([&] { return stat(pipe.c_str(), &st) == 0; }, 5000)) << readFile(dir + "/vexo.txt");
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, getgrnam("nut") != nullptr ? 0640u : 0644u);
    int port = 0;
    peer = loopbackSocket(0, &port);
    const std::int32_t cmd[2] = {1, port};
    sendTo(peer, 4000, cmd, sizeof cmd);

    driver = startProgram({driverPath, "-a", "vexo", "-u", "root", "-F"}, nutEnv, dir + "/driver.txt");
    upsd = startProgram({upsdPath, "-u", "root", "-F"}, nutEnv, dir + "/upsd.txt");

    const auto online = [](const std::string& s) { return s == "OL CHRG" || s == "OL"; };
    std::string status = waitAnswer("ups.status", online, 15000);
    ASSERT_TRUE(online(status)) << status << "\n" << readFile(dir + "/driver.txt") << readFile(dir + "/upsd.txt");
    EXPECT_EQ(waitAnswer(
                  "ups.status", [](const std::string& s) { return s == "OL CHRG"; }, 5000),
              "OL CHRG");

    // The readings are the telemetry's, in NUT's units.
    float volts = 0;
    double amps = 0, celsius = 0;
    ASSERT_TRUE(telemetry(&volts, &amps, &celsius));
    EXPECT_NEAR(std::stod(ask("battery.voltage")), volts, 0.01);
    EXPECT_NEAR(std::stod(ask("battery.current")), amps, 0.005);
    EXPECT_NEAR(std::stod(ask("ups.temperature")), celsius, 0.1);
    EXPECT_NEAR(celsius, cfg.board.celsius, 0.5);
    const std::string all = ask();
    for (const char* line : {"device.mfr: vexo\n", "device.model: battery back-up board\n", "ups.mfr: vexo\n",
                             "ups.model: battery back-up board\n", "battery.charger.status: charging\n",
                             "driver.name: dummy-ups\n", "driver.parameter.mode: dummy-loop\n"})
        EXPECT_NE(all.find(line), std::string::npos) << line << all;
    EXPECT_NE(all.find(std::string("ups.firmware: vexo ") + VERSION + "\n"), std::string::npos) << all;
    EXPECT_EQ(all.find("Dummy"), std::string::npos) << all;
    EXPECT_EQ(all.find("battery.voltage.low"), std::string::npos) << "not set, not reported";

    // Line power lost: OB within 5 s of the simulator's "battery".
    ASSERT_EQ(simControl(sim, "battery"), "");
    double t0 = seconds();
    status = waitAnswer(
        "ups.status", [](const std::string& s) { return s.rfind("OB", 0) == 0; }, 8000);
    EXPECT_EQ(status, "OB DISCHRG");
    EXPECT_LE(seconds() - t0, 5.0) << "OB seen this long after the power failed";
    EXPECT_EQ(ask("battery.charger.status"), "discharging");

    ASSERT_EQ(simControl(sim, "line"), "");
    t0 = seconds();
    status = waitAnswer("ups.status", online, 8000);
    EXPECT_TRUE(online(status)) << status;
    EXPECT_LE(seconds() - t0, 5.0) << "OL seen this long after the power came back";

    // A hung supervisor: stale, not a frozen OL, within 15 s.
    ASSERT_EQ(kill(vexoBg.pid, SIGSTOP), 0);
    t0 = seconds();
    status = waitAnswer(
        "ups.status", [](const std::string& s) { return s == "Error: Data stale"; }, 20000);
    const double staleAfter = seconds() - t0;
    EXPECT_EQ(status, "Error: Data stale");
    EXPECT_LE(staleAfter, 15.0);
    EXPECT_GE(staleAfter, 5.0) << "not stale before upsd's MAXAGE";
    fprintf(stderr, "note: Data stale %.1f s after SIGSTOP\n", staleAfter);

    // Going on again, it is seen again.
    ASSERT_EQ(kill(vexoBg.pid, SIGCONT), 0);
    status = waitAnswer("ups.status", online, 8000);
    EXPECT_TRUE(online(status)) << status;
    EXPECT_TRUE(programRunning(&vexoBg));
    EXPECT_TRUE(programRunning(&driver)) << readFile(dir + "/driver.txt");
    EXPECT_EQ(readFile(shutdownLog), "") << "nothing shut down";
}

// The record of one second, byte for byte: on line power charging, resting
// in the off phase, on battery, and low with a threshold set.
TEST(UpsRecord, NamesUnitsAndStatusOfEachState)
{
    vexoInfo info{};
    info.battV = 3.7049f;
    info.battI = 199512;
    info.tempF = 77.0f;
    info.flags1 = vexoFlag1::pwm1en | vexoFlag1::pwm2en;
    VEXOupsView view;
    view.charging = true;
    std::array<char, VEXO_UPS_RECORD_MAX> buf{};
    size_t n = VEXOupsRecord(info, view, buf.data(), buf.size());
    const std::string head = std::string("device.mfr: vexo\ndevice.model: battery back-up board\nups.mfr: vexo\n") +
                             "ups.model: battery back-up board\nups.firmware: vexo " + VERSION + "\n";
    EXPECT_EQ(std::string(buf.data(), n), head +
                                              "ups.status: OL CHRG\nbattery.charger.status: charging\n"
                                              "battery.voltage: 3.70\nbattery.current: 0.200\nups.temperature: 25.0\n"
                                              "TIMER 0\n");
    EXPECT_EQ(buf[n], '\0');

    view.charging = false;
    info.battI = -1500;
    info.tempF = 14.0f;
    n = VEXOupsRecord(info, view, buf.data(), buf.size());
    EXPECT_EQ(std::string(buf.data(), n), head +
                                              "ups.status: OL\nbattery.charger.status: resting\n"
                                              "battery.voltage: 3.70\nbattery.current: -0.002\nups.temperature: -10.0\n"
                                              "TIMER 0\n");

    info.flags1 = vexoFlag1::onbatt;
    info.battI = -400000;
    info.battV = 3.41f;
    view.lowVolts = 3.4f;
    n = VEXOupsRecord(info, view, buf.data(), buf.size());
    EXPECT_EQ(std::string(buf.data(), n), head +
                                              "ups.status: OB DISCHRG\nbattery.charger.status: discharging\n"
                                              "battery.voltage: 3.41\nbattery.current: -0.400\nups.temperature: -10.0\n"
                                              "battery.voltage.low: 3.40\nTIMER 0\n");
    info.battV = 3.4f;
    n = VEXOupsRecord(info, view, buf.data(), buf.size());
    EXPECT_NE(std::string(buf.data(), n).find("ups.status: OB DISCHRG LB\n"), std::string::npos);
    EXPECT_LT(n, 4096u) << "one write to a pipe is whole up to PIPE_BUF";
    EXPECT_EQ(VEXOupsRecord(info, view, buf.data(), 100), 0u) << "too small: nothing";
}

class UpsFile : public SupervisorTest {
protected:
    Background bg;
    void TearDown() override
    {
        stopProgram(&bg);
        SupervisorTest::TearDown();
    }
};

TEST_F(UpsFile, BadPathsAreRefusedBeforeTheBoardIsTouched)
{
    startSim();
    std::ofstream(dir + "/plain") << "ups.status: OL\n";
    const std::vector<std::pair<std::string, std::string>> rows{
        {"", "vexo: --ups-file needs the path of a named pipe\n"},
        {dir + "/plain", "vexo: --ups-file " + dir + "/plain: not a named pipe (remove it, and vexo makes one)\n"},
        {dir + "/none/nut.seq", "vexo: --ups-file " + dir + "/none/nut.seq: No such file or directory\n"},
        {dir + "/plain/nut.seq", "vexo: --ups-file " + dir + "/plain/nut.seq: Not a directory\n"},
    };
    for (const auto& [path, message] : rows) {
        const RunResult r = vexo({"--ups-file", path, "--charge", "200"});
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(simHostBytes(sim), 0) << "nothing reached the board";
}

// Without a driver the supervisor says so once, not every second; a reader
// gets whole records; a reader that goes raises SIGPIPE, which ends nothing;
// a pipe removed is made again.
TEST_F(UpsFile, NoDriverIsLoggedOnceAndAReaderThatGoesEndsNothing)
{
    // The system log on the sandbox's own /dev/log.
    unlink("/dev/log");
    const int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, "/dev/log");
    ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::string logged;
    const auto logText = [&] {
        char buf[1024];
        for (ssize_t n; (n = recv(log, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            logged += std::string(buf, static_cast<size_t>(n)) + "\n";
        return logged;
    };
    const auto count = [&](const std::string& text) {
        size_t n = 0;
        const std::string all = logText();
        for (size_t at = 0; (at = all.find(text, at)) != std::string::npos; at += text.size())
            n++;
        return n;
    };
    const std::string pipe = dir + "/nut.seq";
    const std::string none = "NUT state " + pipe + ": no driver reads it";
    const std::string reads = "NUT state " + pipe + ": the driver reads it";
    bg = startVexo({"--ups-file", pipe, "--charge", "200"}, "vexo.txt");
    ASSERT_TRUE(waitFor([&] { return count(none) == 1; }, 5000)) << logText();
    usleep(3000 * 1000);
    EXPECT_EQ(count(none), 1u) << "once, not every second";

    const int rd = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(rd, 0);
    std::string got;
    ASSERT_TRUE(waitFor(
        [&] {
            char buf[4096];
            const ssize_t n = read(rd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
            return got.find("TIMER 0\n") != std::string::npos;
        },
        4000));
    EXPECT_EQ(got.rfind("device.mfr: vexo\n", 0), 0u) << got;
    EXPECT_EQ(got.substr(got.size() - 8), "TIMER 0\n") << "whole records only";
    EXPECT_EQ(count(reads), 1u) << logText();
    close(rd);
    ASSERT_TRUE(waitFor([&] { return count(none) == 2; }, 4000)) << logText();
    usleep(2000 * 1000);
    EXPECT_TRUE(programRunning(&bg)) << "SIGPIPE ended the supervisor";
    EXPECT_EQ(count(none), 2u);
    // A pipe removed under it is made again.
    ASSERT_EQ(unlink(pipe.c_str()), 0);
    struct stat st {};
    EXPECT_TRUE(waitFor([&] { return stat(pipe.c_str(), &st) == 0 && S_ISFIFO(st.st_mode); }, 4000));
    close(log);
    unlink("/dev/log");
}
