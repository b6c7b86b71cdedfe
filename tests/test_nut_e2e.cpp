// Network UPS Tools clients see the board: the real vexo --charge with
// --ups-file on the simulated board, NUT's own dummy-ups driver and upsd
// with the example configuration of dist/nut (upsd on loopback of the
// sandbox's network, config and state in the test's directory, both run as
// root and ended by PID), and upsc asking. No upsmon runs: nothing of NUT's
// may shut anything down.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "helpers.h"
#include "netns.h"
#include "udp_helpers.h"

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
        std::ofstream(dir + "/upsd.conf") << "LISTEN 127.0.0.1 3493\n" << example("upsd.conf", [](const std::string& l) {
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
        std::string text = r.out;
        // upsc says this on every run without certificates; it is not the answer.
        std::string err = std::regex_replace(r.err, std::regex("Init SSL without certificate database\n?"), "");
        text += err;
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
    EXPECT_EQ(waitAnswer("ups.status", [](const std::string& s) { return s == "OL CHRG"; }, 5000), "OL CHRG");

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
    status = waitAnswer("ups.status", [](const std::string& s) { return s.rfind("OB", 0) == 0; }, 8000);
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
    status = waitAnswer("ups.status", [](const std::string& s) { return s == "Error: Data stale"; }, 20000);
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
