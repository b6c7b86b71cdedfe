// The option processor, on a request in memory (no board needed).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "avr/vexo.h"

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
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 32);
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

// The checks before the board is touched: a field setting after --charge is
// refused, a supervisor setting of old after the --charge that starts the
// supervisor is noted for the supervisor to say, loose values are refused.
struct CheckRow {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string ignored; // VEXOignoredAfterCharge() afterwards
};

static void PrintTo(const CheckRow& r, std::ostream* os)
{
    for (const auto& a : r.args)
        *os << a << ' ';
}

class OptionChecks : public ::testing::TestWithParam<CheckRow> {};

TEST_P(OptionChecks, RefuseOrNote)
{
    const CheckRow& row = GetParam();
    std::vector<std::string> args{"vexo"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::vector<std::string> before = args;
    ::testing::internal::CaptureStderr();
    const int status = VEXOcheckOptions(static_cast<int>(args.size()), argv.data());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), row.err);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(VEXOignoredAfterCharge(), row.ignored);
    for (size_t i = 0; i < args.size(); i++)
        EXPECT_EQ(argv[i], args[i].data()) << "the order of argv is left alone";
}

static const char VOLTS_TEXT[] = "vexo: --shutdown-volts needs volts from 0 (off) to 5.38, a plain decimal number "
                                 "such as 3.3, not '";
static const char ALLOW_TEXT[] = "vexo: --allow needs IPv4 addresses or prefixes (a.b.c.d or a.b.c.d/n), "
                                 "comma-separated, at most 16, not '";

INSTANTIATE_TEST_SUITE_P(
    Rows, OptionChecks,
    ::testing::Values(
        CheckRow{{"--on", "5", "--shutdown", "30", "--allow", "127.0.0.1", "--charge", "250"}, 0, "", ""},
        CheckRow{
            {"--charge", "250", "--allow", "127.0.0.9"}, 2, "vexo: --allow 127.0.0.9: must come before --charge\n", ""},
        CheckRow{
            {"--charge=250", "--listen=127.0.0.1"}, 2, "vexo: --listen 127.0.0.1: must come before --charge\n", ""},
        CheckRow{{"--charge", "20", "--event-cmd", "/bin/sh"},
                 2,
                 "vexo: --event-cmd /bin/sh: must come before --charge\n",
                 ""},
        CheckRow{{"--charge", "250", "--allow", "bad"}, 2, "vexo: --allow bad: must come before --charge\n", ""},
        CheckRow{{"--charge", "250", "--shutdown", "300", "--log", "10.0.0.1", "--on=5", "--off", "7", "--pwm1", "1"},
                 0,
                 "",
                 "--shutdown 300 --log 10.0.0.1 --on 5 --off 7"},
        // A refused current starts nothing: what follows it is carried out.
        CheckRow{{"--charge", "20", "--shutdown", "300", "--charge", "250", "--off", "7"}, 0, "", "--off 7"},
        CheckRow{{"--charge", "1000", "--shutdown", "300"}, 0, "", ""},
        CheckRow{{"--allow", "1.2.3.4/+8"}, 2, ALLOW_TEXT + std::string("1.2.3.4/+8'\n"), ""},
        CheckRow{{"--allow", "1.2.3.4/ 8"}, 2, ALLOW_TEXT + std::string("1.2.3.4/ 8'\n"), ""},
        CheckRow{{"--allow", "1.2.3.4/-0"}, 2, ALLOW_TEXT + std::string("1.2.3.4/-0'\n"), ""},
        CheckRow{{"--allow", "1.2.3.4/08"}, 2, ALLOW_TEXT + std::string("1.2.3.4/08'\n"), ""},
        CheckRow{{"--allow", "10.0.0.0/8,1.2.3.4/0x8"}, 2, ALLOW_TEXT + std::string("10.0.0.0/8,1.2.3.4/0x8'\n"), ""},
        CheckRow{{"--allow", "1.2.3.4/0,10.0.0.0/8,127.0.0.1/32"}, 0, "", ""},
        CheckRow{{"--listen", "224.0.0.1"},
                 2,
                 "vexo: --listen 224.0.0.1: a multicast address, not an address of this host\n",
                 ""},
        CheckRow{{"--listen", "239.255.255.250"},
                 2,
                 "vexo: --listen 239.255.255.250: a multicast address, not an address of this host\n",
                 ""},
        CheckRow{{"--listen", "255.255.255.255"},
                 2,
                 "vexo: --listen 255.255.255.255: a broadcast address, not an address of this host\n",
                 ""},
        CheckRow{{"--listen", "127.255.255.255"},
                 2,
                 "vexo: --listen 127.255.255.255: a broadcast address, not an address of this host\n",
                 ""},
        CheckRow{{"--listen", "127.0.0.1"}, 0, "", ""},
        CheckRow{{"--shutdown-volts", "3.3", "--shutdown-volts=0", "--shutdown-volts", "5.38"}, 0, "", ""},
        CheckRow{{"--shutdown-volts", "3.123456789"}, 0, "", ""},
        CheckRow{{"--charge", "250", "--shutdown-volts", "3.3"},
                 2,
                 "vexo: --shutdown-volts 3.3: must come before --charge\n",
                 ""},
        CheckRow{{"--shutdown-volts", "5.39"}, 2, VOLTS_TEXT + std::string("5.39'\n"), ""},
        CheckRow{{"--shutdown-volts", "-1"}, 2, VOLTS_TEXT + std::string("-1'\n"), ""},
        CheckRow{{"--shutdown-volts", "+3"}, 2, VOLTS_TEXT + std::string("+3'\n"), ""},
        CheckRow{{"--shutdown-volts", " 3"}, 2, VOLTS_TEXT + std::string(" 3'\n"), ""},
        CheckRow{{"--shutdown-volts", "3V"}, 2, VOLTS_TEXT + std::string("3V'\n"), ""},
        CheckRow{{"--shutdown-volts", "3,3"}, 2, VOLTS_TEXT + std::string("3,3'\n"), ""},
        CheckRow{{"--shutdown-volts", "3."}, 2, VOLTS_TEXT + std::string("3.'\n"), ""},
        CheckRow{{"--shutdown-volts", ".5"}, 2, VOLTS_TEXT + std::string(".5'\n"), ""},
        CheckRow{{"--shutdown-volts", "3e0"}, 2, VOLTS_TEXT + std::string("3e0'\n"), ""},
        CheckRow{{"--shutdown-volts", "nan"}, 2, VOLTS_TEXT + std::string("nan'\n"), ""},
        CheckRow{{"--shutdown-volts", ""}, 2, VOLTS_TEXT + std::string("'\n"), ""},
        CheckRow{{"--shutdown-volts", "99999999999999"}, 2, VOLTS_TEXT + std::string("99999999999999'\n"), ""},
        // --shutdown-volts made these shortenings of --shutdown ambiguous: refused, not skipped.
        CheckRow{{"--shut", "30", "--charge", "250"},
                 2,
                 "vexo: --shut is ambiguous: write --shutdown or --shutdown-volts in full\n",
                 ""},
        CheckRow{{"--sh=30"}, 2, "vexo: --sh is ambiguous: write --shutdown or --shutdown-volts in full\n", ""},
        CheckRow{{"--shutdown-v", "3.3", "--shutdown", "30", "--s", "1", "--bogus"}, 0, "", ""}));
