// Board records: conversions, the status report, request building and the reply checker.
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "avr/vexo.h"

static std::string reportOf(const VEXOreply& r)
{
    VEXOreply copy = r;
    ::testing::internal::CaptureStdout();
    VEXOreplyPacket_Print(BAR(&copy, sizeof copy), nullptr);
    return ::testing::internal::GetCapturedStdout();
}

// Line n (1-based) of a report.
static std::string line(const std::string& text, int n)
{
    size_t pos = 0;
    for (int i = 1; i < n; i++)
        pos = text.find('\n', pos) + 1;
    return text.substr(pos, text.find('\n', pos) - pos);
}

TEST(Report, ExactFifteenLines)
{
    VEXOreply r{};
    r.adc0 = 0x0123;
    r.adc2 = 0xBEEF;
    r.adc6 = 0x2F80;
    r.adc7 = 29000 + 100;
    r.pwm_lo = 250;
    r.pwm_t = 500;
    r.temp = 3207;
    r.outputs = pwm1en | offsetOff | ledOff | onbatt;
    EXPECT_EQ(reportOf(r), "Supply Voltage ADC    = 0123\n"
                           "Regulated Voltage ADC = BEEF\n"
                           "Battery Voltage       = 1.00V (2F80)\n"
                           "Battery Current       = 6000uA\n"
                           "PWM LO = 00FA\n"
                           "PWM T  = 01F4\n"
                           "TEMP   = 77.0F\n"
                           "PWM 1 EN  = ON\n"
                           "PWM 2 EN  = OFF\n"
                           "OFFSET EN = OFF\n"
                           "OPAMP EN  = OFF\n"
                           "BUCK EN   = ON\n"
                           "LED       = OFF\n"
                           "JP3       = ON\n"
                           "Running on BATTERY\n");
    r.outputs = pwm2en | opamp | buckOff | jp3Off;
    const std::string text = reportOf(r);
    EXPECT_EQ(line(text, 8), "PWM 1 EN  = OFF");
    EXPECT_EQ(line(text, 9), "PWM 2 EN  = ON");
    EXPECT_EQ(line(text, 10), "OFFSET EN = ON");
    EXPECT_EQ(line(text, 11), "OPAMP EN  = ON");
    EXPECT_EQ(line(text, 12), "BUCK EN   = OFF");
    EXPECT_EQ(line(text, 13), "LED       = ON");
    EXPECT_EQ(line(text, 14), "JP3       = OFF");
    EXPECT_EQ(line(text, 15), "Running on LINE VOLTAGE");
}

struct ConvRow {
    word raw;
    int lineNo;
    const char* text;
};

static void PrintTo(const ConvRow& r, std::ostream* os)
{
    char raw[8];
    snprintf(raw, sizeof raw, "%04X", r.raw);
    *os << raw << " gives " << r.text;
}

class Conversion : public ::testing::TestWithParam<ConvRow> {};

TEST_P(Conversion, ReportLine)
{
    const ConvRow& row = GetParam();
    VEXOreply r{};
    r.temp = 7;
    r.adc7 = 29000;
    if (row.lineNo == 7)
        r.temp = row.raw;
    else if (row.lineNo == 3)
        r.adc6 = row.raw;
    else
        r.adc7 = row.raw;
    EXPECT_EQ(line(reportOf(r), row.lineNo), row.text);
}

INSTANTIATE_TEST_SUITE_P(Rows, Conversion,
                         ::testing::Values(ConvRow{7, 7, "TEMP   = 32.0F"}, ConvRow{3207, 7, "TEMP   = 77.0F"},
                                           ConvRow{0, 7, "TEMP   = 31.9F"}, ConvRow{0x8007, 7, "TEMP   = -428.8F"},
                                           ConvRow{0x8006, 7, "TEMP   = 492.8F"},
                                           ConvRow{0x2F80, 3, "Battery Voltage       = 1.00V (2F80)"},
                                           ConvRow{0xFFFF, 3, "Battery Voltage       = 5.39V (FFFF)"},
                                           ConvRow{0, 3, "Battery Voltage       = 0.00V (0000)"},
                                           ConvRow{29000, 4, "Battery Current       = 0uA"},
                                           ConvRow{0, 4, "Battery Current       = -1740000uA"},
                                           ConvRow{65535, 4, "Battery Current       = 2192100uA"}));

TEST(Conversions, ExactValues)
{
    EXPECT_FLOAT_EQ(tempF(0), 32.0f);
    EXPECT_FLOAT_EQ(tempF(-128), 30.2f);
    EXPECT_EQ(battI(29001), 60);
    EXPECT_FLOAT_EQ(battV(12160), 1.0f);
}

struct InitRow {
    const char* what;
    word replyOutputs;
    word expectOutputs;
};

static void PrintTo(const InitRow& r, std::ostream* os) { *os << r.what; }

class RequestInit : public ::testing::TestWithParam<InitRow> {};

TEST_P(RequestInit, LedRuleAndCopiedBits)
{
    const InitRow& row = GetParam();
    VEXOreply rep{};
    rep.outputs = row.replyOutputs;
    rep.pwm_lo = 0x1234;
    rep.pwm_t = 0x5678;
    VEXOrequest req;
    std::memset(&req, 0xA5, sizeof req);
    EXPECT_EQ(VEXOrequestInitFromReply(BAR(&rep, sizeof rep), BAR(&req, sizeof req)), 13);
    EXPECT_EQ(+req.outputs, row.expectOutputs) << row.what;
    EXPECT_EQ(+req.pwm_lo, 0x1234);
    EXPECT_EQ(+req.pwm_t, 0x5678);
    EXPECT_EQ(+req.alarm, 0u);
    EXPECT_EQ(+req.ee_addr, 0xA5) << "not touched";
    EXPECT_EQ(+req.ee_data, 0xA5);
    EXPECT_EQ(+req.checksum, 0xA5);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RequestInit,
    ::testing::Values(InitRow{"on battery: LED dark whatever the PWMs", onbatt | pwm1en, onbatt | pwm1en | ledOff},
                      InitRow{"PWM2 running, LED lit: flips to dark", pwm2en, pwm2en | ledOff},
                      InitRow{"PWM1 running, LED dark: flips to lit", pwm1en | ledOff, pwm1en},
                      InitRow{"idle on line voltage: LED lit even if dark", ledOff | opamp, opamp},
                      InitRow{"softJP3 cleared, other bits kept", softJP3 | jp3Off | eeRead | eeWrite | eeAck | 0xF000,
                              jp3Off | eeRead | eeWrite | eeAck | 0xF000}));

TEST(ReplyCheck, ComparesOutputsAndPwmOnly)
{
    VEXOrequest req{};
    req.outputs = pwm1en | opamp;
    req.pwm_lo = 100;
    req.pwm_t = 500;
    req.alarm = 30;
    VEXOreply rep{};
    rep.outputs = pwm1en | opamp | jp3Off | onbatt | 0xFF00;
    rep.pwm_lo = 100;
    rep.pwm_t = 500;
    auto check = [&] { return VEXOcallback(BAR(&req, sizeof req), BAR(&rep, sizeof rep)); };
    EXPECT_EQ(check(), 0);
    rep.pwm_t = 501;
    EXPECT_EQ(check(), 1);
    rep.pwm_t = 500;
    rep.pwm_lo = 99;
    EXPECT_EQ(check(), 1);
    rep.pwm_lo = 100;
    for (word bit : {pwm1en, pwm2en, offsetOff, opamp, buckOff, ledOff}) {
        rep.outputs ^= bit;
        EXPECT_EQ(check(), 1) << bit;
        rep.outputs ^= bit;
    }
}

TEST(EepromCheck, AddressThenAck)
{
    VEXOrequest req{};
    req.ee_addr = 0x10;
    VEXOreply rep{};
    rep.ee_addr = 0x11;
    rep.outputs = eeAck;
    auto check = [&] { return VEXOEEPROMcallback(BAR(&req, sizeof req), BAR(&rep, sizeof rep)); };
    auto done = [&] { return VEXOEEPROMdoneCallback(BAR(&req, sizeof req), BAR(&rep, sizeof rep)); };
    EXPECT_EQ(check(), 1);
    rep.ee_addr = 0x10;
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(done(), 1);
    rep.outputs = 0;
    EXPECT_EQ(check(), 2);
    EXPECT_EQ(done(), 0);
}
