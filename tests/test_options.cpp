// The option processor, on a request in memory (no board needed).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vexo.h"

struct OptRow {
    std::vector<std::string> args;
    std::string out;
    int result;
    int loops;
    word outputs;
    word pwm_lo;
    word pwm_t;
    dword alarm;
};

static void PrintTo(const OptRow& r, std::ostream* os)
{
    for (const auto& a : r.args)
        *os << a << ' ';
}

class Options : public ::testing::TestWithParam<OptRow> {};

TEST_P(Options, EditsRequestAndPrints)
{
    const OptRow& row = GetParam();
    VEXOrequest req{};
    req.outputs = offsetOff; // offset disabled, all else off
    req.pwm_lo = 100;
    req.pwm_t = 150;
    std::vector<std::string> args{"vexo"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int loops = 99;
    ::testing::internal::CaptureStdout();
    const int result =
        VEXOprocessOptions(nullptr, BAR(&req, sizeof req), nullptr, &loops, static_cast<int>(args.size()), argv.data());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.out);
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(loops, row.loops);
    EXPECT_EQ(+req.outputs, row.outputs);
    EXPECT_EQ(+req.pwm_lo, row.pwm_lo);
    EXPECT_EQ(+req.pwm_t, row.pwm_t);
    EXPECT_EQ(+req.alarm, row.alarm);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Options,
    ::testing::Values(
        OptRow{{}, "", 0, 1, offsetOff, 100, 150, 0},
        OptRow{{"--pwm1", "1"}, "PWM1: on\n", 1, 0, offsetOff | pwm1en, 100, 150, 0},
        OptRow{{"--pwm1", "2"}, "PWM1: off\n", 1, 0, offsetOff, 100, 150, 0},
        OptRow{{"--pwm1", "on"}, "PWM1: off\n", 1, 0, offsetOff, 100, 150, 0},
        OptRow{{"--pwm2=3"}, "PWM2: on\n", 1, 0, offsetOff | pwm2en, 100, 150, 0},
        OptRow{{"--offset", "2"}, "Offset: on\n", 1, 0, 0, 100, 150, 0},
        OptRow{{"--offset", "0"}, "Offset: off\n", 1, 0, offsetOff, 100, 150, 0},
        OptRow{{"--opamp", "1"}, "OPAMP: on\n", 1, 0, offsetOff | opamp, 100, 150, 0},
        OptRow{{"--buck", "0"}, "Buck: off\n", 1, 0, offsetOff | buckOff, 100, 150, 0},
        OptRow{{"--led", "0"}, "LED: off\n", 1, 0, offsetOff | ledOff, 100, 150, 0},
        OptRow{{"--led", "-1"}, "LED: on\n", 1, 0, offsetOff, 100, 150, 0},
        OptRow{{"--pwmt", "100", "--pwmlo", "200"}, "PWM T= 100\nPWM LO= 200\n", 1, 0, offsetOff, 200, 200, 0},
        OptRow{{"--pwmlo", "200", "--pwmt", "100"}, "PWM LO= 200\nPWM T= 100\n", 1, 0, offsetOff, 200, 100, 0},
        OptRow{{"--pwmlo", "70000"}, "PWM LO= 4464\n", 1, 0, offsetOff, 4464, 4464, 0},
        OptRow{{"--pwmlo", "-1"}, "PWM LO= 65535\n", 1, 0, offsetOff, 65535, 65535, 0},
        OptRow{{"--sleep", "30"}, "Sleeping for 30 seconds (approximately)\n", 1, 0, offsetOff, 100, 150, 30},
        OptRow{{"--sleep", "-1"}, "Sleeping for -1 seconds (approximately)\n", 1, 0, offsetOff, 100, 150, 0xFFFFFFFF},
        OptRow{{"--version"}, "vexo, version 1.1.0\n", 0, 1, offsetOff, 100, 150, 0},
        OptRow{{"--vers"}, "vexo, version 1.1.0\n", 0, 1, offsetOff, 100, 150, 0},
        OptRow{{"--o", "1"}, "", 0, 1, offsetOff, 100, 150, 0},
        OptRow{{"--of", "1", "--pw", "1"}, "", 0, 1, offsetOff, 100, 150, 0},
        OptRow{{"--offs", "1", "--pwmt", "7"}, "Offset: on\nPWM T= 7\n", 1, 0, 0, 100, 7, 0},
        OptRow{
            {"--shutdown", "30"}, "Automatic shutdown 30 seconds after power failure\n", 0, 1, offsetOff, 100, 150, 0},
        OptRow{{"--on", "5", "--off", "7", "--eeval", "3"}, "", 0, 1, offsetOff, 100, 150, 0},
        OptRow{{"--log", "10.0.0.5"}, "Logging to: 10.0.0.5\n", 0, 1, offsetOff, 100, 150, 0},
        OptRow{{"-x", "word", "--bogus", "--pwm1"}, "", 0, 1, offsetOff, 100, 150, 0},
        OptRow{{"plain", "--opamp", "1", "words"}, "OPAMP: on\n", 1, 0, offsetOff | opamp, 100, 150, 0},
        OptRow{
            {"--eew", "4"}, "No value to write: give --eeval or --eer before --eew\n", 0, 1, offsetOff, 100, 150, 0}));

TEST(Options, HelpTextExact)
{
    VEXOrequest req{};
    char prog[] = "vexo", help[] = "--help";
    char* argv[] = {prog, help, nullptr};
    int loops = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(VEXOprocessOptions(nullptr, BAR(&req, sizeof req), nullptr, &loops, 2, argv), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(loops, 1);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 35);
    EXPECT_EQ(out.substr(0, 15), "Usage options:\n");
    EXPECT_NE(out.find("  --pwm2 [0|1]    disable or enable PWN2\n"), std::string::npos);
    // The field settings come after the original 24 lines, which stay as they were.
    const std::string field = "  --event-cmd <path> run path EVENT [DETAIL] on power-lost, power-back,\n"
                              "                  shutdown-pending, shutdown-cancelled, shutdown, link-failed, started\n"
                              "                  NOTE: This option must come BEFORE the charge option\n"
                              "  --listen <ip>   take UDP commands on this local address only (default: all)\n"
                              "                  NOTE: This option must come BEFORE the charge option\n"
                              "  --allow <nets>  take UDP commands only from these addresses or prefixes,\n"
                              "                  comma-separated, e.g. 192.168.1.0/24,10.0.0.5\n"
                              "                  NOTE: This option must come BEFORE the charge option\n"
                              "  --ups-file <path> write the readings once a second into this named pipe\n"
                              "                  for NUT's dummy-ups driver (made when missing)\n"
                              "                  NOTE: This option must come BEFORE the charge option\n";
    EXPECT_EQ(out.substr(out.size() - field.size() - 143),
              "  --shutdown <s>  Automatically shut down s seconds after power failure\n"
              "                  NOTE: This option must come BEFORE the charge option\n" +
                  field);
    EXPECT_EQ(out.find("eer"), std::string::npos);
}

TEST(Options, LogKeeps127Characters)
{
    VEXOrequest req{};
    std::string longText(200, 'a');
    char prog[] = "vexo", log[] = "--log";
    char* argv[] = {prog, log, longText.data(), nullptr};
    int loops = 0;
    ::testing::internal::CaptureStdout();
    VEXOprocessOptions(nullptr, BAR(&req, sizeof req), nullptr, &loops, 3, argv);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Logging to: " + std::string(127, 'a') + "\n");
    EXPECT_EQ(std::strlen(IPADRS), 127u);
}
