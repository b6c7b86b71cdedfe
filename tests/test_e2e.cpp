// The real vexo binary against the simulated board, as a user runs it.
#include <gtest/gtest.h>

#include "tests/helpers.h"

static const std::string DEFAULT_REPORT = "Supply Voltage ADC    = 0300\n"
                                          "Regulated Voltage ADC = 0280\n"
                                          "Battery Voltage       = 3.70V (AFC0)\n"
                                          "Battery Current       = -2100uA\n"
                                          "PWM LO = 00FA\n"
                                          "PWM T  = 01F4\n"
                                          "TEMP   = 72.5F\n"
                                          "PWM 1 EN  = OFF\n"
                                          "PWM 2 EN  = OFF\n"
                                          "OFFSET EN = ON\n"
                                          "OPAMP EN  = OFF\n"
                                          "BUCK EN   = ON\n"
                                          "LED       = ON\n"
                                          "JP3       = OFF\n"
                                          "Running on LINE VOLTAGE\n";

class EndToEnd : public SimTest {};

TEST_F(EndToEnd, BareRunPrintsTheReport)
{
    const RunResult r = vexo({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, DEFAULT_REPORT);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(simRequests(sim).empty());
}

TEST_F(EndToEnd, HelpVersionAndIgnoredWordsThenTheReport)
{
    RunResult r = vexo({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vexo, version 1.1.0\n" + DEFAULT_REPORT);
    r = vexo({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 15), "Usage options:\n");
    EXPECT_EQ(r.out.substr(r.out.size() - DEFAULT_REPORT.size()), DEFAULT_REPORT);
    r = vexo({"hello", "--bogus", "-x", "--pwm1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, DEFAULT_REPORT);
    EXPECT_TRUE(simRequests(sim).empty());
}

struct PinnedRow {
    word adc0, adc2, adc6, adc7, temp;
    const char* lines; // lines 1 to 4 and 7 of the report
};

static void PrintTo(const PinnedRow& r, std::ostream* os)
{
    char raw[64];
    snprintf(raw, sizeof raw, "adc0 %04X adc2 %04X adc6 %04X adc7 %04X temp %04X", r.adc0, r.adc2, r.adc6, r.adc7,
             r.temp);
    *os << raw;
}

class Readings : public SimTest, public ::testing::WithParamInterface<PinnedRow> {};

TEST_P(Readings, ReportShowsConvertedValues)
{
    const PinnedRow& row = GetParam();
    startSim();
    simPinReadings(sim, row.adc0, row.adc2, row.adc6, row.adc7, row.temp);
    const RunResult r = vexo({});
    ASSERT_EQ(r.status, 0);
    std::string picked;
    int n = 1;
    size_t pos = 0;
    while (pos < r.out.size()) {
        const size_t nl = r.out.find('\n', pos);
        if (n <= 4 || n == 7)
            picked += r.out.substr(pos, nl - pos + 1);
        pos = nl + 1;
        n++;
    }
    EXPECT_EQ(picked, row.lines);
}

INSTANTIATE_TEST_SUITE_P(Rows, Readings,
                         ::testing::Values(PinnedRow{0x0000, 0xFFFF, 12160, 29000, 7,
                                                     "Supply Voltage ADC    = 0000\n"
                                                     "Regulated Voltage ADC = FFFF\n"
                                                     "Battery Voltage       = 1.00V (2F80)\n"
                                                     "Battery Current       = 0uA\n"
                                                     "TEMP   = 32.0F\n"},
                                           PinnedRow{0x1234, 0x00AB, 0xFFFF, 65535, 0x0C87,
                                                     "Supply Voltage ADC    = 1234\n"
                                                     "Regulated Voltage ADC = 00AB\n"
                                                     "Battery Voltage       = 5.39V (FFFF)\n"
                                                     "Battery Current       = 2192100uA\n"
                                                     "TEMP   = 77.0F\n"},
                                           PinnedRow{1, 2, 0, 0, 0x8007,
                                                     "Supply Voltage ADC    = 0001\n"
                                                     "Regulated Voltage ADC = 0002\n"
                                                     "Battery Voltage       = 0.00V (0000)\n"
                                                     "Battery Current       = -1740000uA\n"
                                                     "TEMP   = -428.8F\n"}));

struct OptionRow {
    std::vector<std::string> args;
    std::string out;
    std::string packet; // the one request the board receives
};

static void PrintTo(const OptionRow& r, std::ostream* os)
{
    for (const auto& a : r.args)
        *os << a << ' ';
}

class OptionRequests : public SimTest, public ::testing::WithParamInterface<OptionRow> {};

TEST_P(OptionRequests, MessageAndRequestBytes)
{
    const OptionRow& row = GetParam();
    const RunResult r = vexo(row.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, row.out);
    const auto reqs = simRequests(sim);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(hex(reqs[0].packet), row.packet);
}

// The board starts with outputs 0x0040 (JP3 off), pwm_lo 250 (FA 00), pwm_t 500 (F4 01).
INSTANTIATE_TEST_SUITE_P(
    Rows, OptionRequests,
    ::testing::Values(OptionRow{{"--pwm1", "1"}, "PWM1: on\n", "00 00 00 00 41 00 FA 00 F4 01 00 00 CF"},
                      OptionRow{{"--pwm2", "1"}, "PWM2: on\n", "00 00 00 00 42 00 FA 00 F4 01 00 00 CE"},
                      OptionRow{{"--offset", "0"}, "Offset: off\n", "00 00 00 00 44 00 FA 00 F4 01 00 00 CC"},
                      OptionRow{{"--opamp", "1"}, "OPAMP: on\n", "00 00 00 00 48 00 FA 00 F4 01 00 00 C8"},
                      OptionRow{{"--buck", "0"}, "Buck: off\n", "00 00 00 00 50 00 FA 00 F4 01 00 00 C0"},
                      OptionRow{{"--led", "0"}, "LED: off\n", "00 00 00 00 60 00 FA 00 F4 01 00 00 B0"},
                      OptionRow{{"--pwmlo", "300"}, "PWM LO= 300\n", "00 00 00 00 40 00 2C 01 F4 01 00 00 9D"},
                      OptionRow{{"--pwmlo", "600"}, "PWM LO= 600\n", "00 00 00 00 40 00 58 02 58 02 00 00 0B"},
                      OptionRow{{"--pwmt", "1000"}, "PWM T= 1000\n", "00 00 00 00 40 00 FA 00 E8 03 00 00 DA"},
                      OptionRow{{"--sleep", "0"},
                                "Sleeping for 0 seconds (approximately)\n",
                                "00 00 00 00 40 00 FA 00 F4 01 00 00 D0"},
                      OptionRow{{"--pwm1", "1", "--pwm2", "1", "--opamp", "1"},
                                "PWM1: on\nPWM2: on\nOPAMP: on\n",
                                "00 00 00 00 4B 00 FA 00 F4 01 00 00 C5"}));

TEST_F(EndToEnd, SwitchedOutputReadsBack)
{
    ASSERT_EQ(vexo({"--pwm1", "1", "--pwmlo", "400"}).status, 0);
    const RunResult r = vexo({});
    EXPECT_NE(r.out.find("PWM LO = 0190\n"), std::string::npos);
    EXPECT_NE(r.out.find("PWM 1 EN  = ON\n"), std::string::npos);
    // A request built while a PWM runs flips the LED: the report shows it lit or dark.
    EXPECT_NE(r.out.find("LED       = "), std::string::npos);
}
