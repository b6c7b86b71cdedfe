// Charge state, statistics, telemetry records, the duty cycle, the current
// regulation and the power-failure watch.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/netns.h"
#include "tests/udp_helpers.h"
#include "avr/vexo.h"
#include "avr/vexo_low_battery.h"

struct AvgRow {
    std::vector<float> v;
    float smooth;
    float mean;
};

static void PrintTo(const AvgRow& r, std::ostream* os)
{
    *os << "of [";
    for (size_t i = 0; i < r.v.size(); i++)
        *os << (i ? " " : "") << r.v[i];
    *os << "] smooth " << r.smooth << " mean " << r.mean;
}

class Averages : public ::testing::TestWithParam<AvgRow> {};

TEST_P(Averages, SmoothAndPlain)
{
    const AvgRow& row = GetParam();
    const int n = static_cast<int>(row.v.size());
    EXPECT_FLOAT_EQ(smoothAverage(row.v.data(), n), row.smooth);
    EXPECT_FLOAT_EQ(average(row.v.data(), n), row.mean);
}

INSTANTIATE_TEST_SUITE_P(Rows, Averages,
                         ::testing::Values(AvgRow{{}, 0.0f, 0.0f}, AvgRow{{7.5f}, 7.5f, 7.5f}, AvgRow{{2, 4}, 3, 3},
                                           AvgRow{{1, 2, 3}, 2, 2}, AvgRow{{5, 5, 5, 5}, 5, 5},
                                           AvgRow{{3, 1, 1, 9, 9}, (3.0f + 1 + 9) / 3, 23.0f / 5},
                                           AvgRow{{-4, -1, -7}, -4, -4}, AvgRow{{1, 2}, 1.5f, 1.5f}));

TEST(ChargeState, InitialValues)
{
    REQUIRE_PRIVATE_NET();
    VEXOchargeState s;
    std::memset(&s, 0x5A, sizeof s);
    VEXOchargeState_Init(&s, 250000, 60, 45);
    EXPECT_EQ(s.targetI, 250000);
    EXPECT_EQ(s.masterI, 250000);
    EXPECT_EQ(s.time_on, 60);
    EXPECT_EQ(s.timer, 60);
    EXPECT_EQ(s.time_off, 45);
    EXPECT_EQ(s.lock_max, 500);
    EXPECT_EQ(s.lock_hi, 501);
    EXPECT_EQ(s.lock_lo, 0);
    EXPECT_EQ(s.locked, 0u);
    EXPECT_EQ(s.running, 1u);
    EXPECT_EQ(s.logging, 0u);
    EXPECT_EQ(s.numSamples, 0);
    EXPECT_EQ(s.txSocket, -1);
    EXPECT_EQ(s.last_t, 0);
    EXPECT_GE(s.rxSocket, 0);
    VEXOchargeState other{};
    VEXOchargeState_Init(&other, 1, 1, 1);
    EXPECT_EQ(other.rxSocket, -2) << "port 4000 is taken by the first";
    close(s.rxSocket);
}

// ---- Telemetry ------------------------------------------------------------

class Telemetry : public ::testing::Test {
protected:
    VEXOchargeState state{};
    int sink = -1;
    void SetUp() override
    {
        int port = 0;
        sink = loopbackSocket(0, &port);
        state.time_on = 60;
        state.time_off = 60;
        state.timer = 60;
        state.targetI = state.masterI = 200000;
        state.txSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        state.to = loopbackAddress(port);
    }
    void TearDown() override
    {
        close(sink);
        close(state.txSocket);
    }
    static VEXOreply reply(word outputs, word adc7 = 29000, word pwm_lo = 250)
    {
        VEXOreply r{};
        r.adc0 = 0x0300;
        r.adc2 = 0x0280;
        r.adc6 = 12160 * 4;
        r.adc7 = adc7;
        r.pwm_lo = pwm_lo;
        r.pwm_t = 500;
        r.temp = 3207;
        r.outputs = outputs;
        return r;
    }
};

TEST_F(Telemetry, DatagramBytesExact)
{
    const VEXOreply a = reply(0x0000, 29000 - 25);
    VEXOUDPlogUpdate(&state, &a, 1000);
    EXPECT_TRUE(receiveOne(sink, 50).empty()) << "the first call sends nothing";
    const VEXOreply b = reply(0x0000);
    VEXOUDPlogUpdate(&state, &b, 1001);
    const auto d = receiveOne(sink, 1000);
    ASSERT_EQ(d.size(), 104u);
    EXPECT_EQ(hex({d.begin(), d.begin() + 4}), "E8 03 00 00") << "t is the second of the samples";
    EXPECT_EQ(hex({d.begin() + 4, d.begin() + 12}), "00 00 40 44 00 00 20 44"); // 768.0, 640.0
    EXPECT_EQ(hex({d.begin() + 12, d.begin() + 16}), "00 00 80 40");            // 4.0 V
    EXPECT_EQ(hex({d.begin() + 16, d.begin() + 20}), "24 FA FF FF");            // -1500 µA
    EXPECT_EQ(hex({d.begin() + 20, d.begin() + 24}), "00 00 9A 42");            // 77.0 °F
    EXPECT_EQ(hex({d.begin() + 24, d.begin() + 30}), "F4 01 00 00 7A 43");
    EXPECT_EQ(d[30], 0x74);
    EXPECT_EQ(d[31], 0x00);
    for (size_t i = 32; i < 104; i++)
        ASSERT_EQ(d[i], 0) << i;
}

TEST_F(Telemetry, FlagBytes)
{
    state.numSamples = 1;
    VEXOreply r = reply(0x08FF);
    vexoInfo info = VEXOinfo_Make(&state, &r);
    EXPECT_EQ(+info.flags1, 0x8B);
    EXPECT_EQ(+info.flags2, 0x01);
    state.locked = 1;
    r = reply(0x0000);
    info = VEXOinfo_Make(&state, &r);
    EXPECT_EQ(+info.flags1, 0x74);
    EXPECT_EQ(+info.flags2, 0x02);
}

TEST_F(Telemetry, MeanCurrentIsTruncatedTowardZero)
{
    state.numSamples = 1;
    state.I[0] = -1500.7f;
    const VEXOreply r = reply(0);
    EXPECT_EQ(+VEXOinfo_Make(&state, &r).battI, -1500);
}

TEST_F(Telemetry, OneDatagramPerSecondFirst32SamplesOnly)
{
    const VEXOreply low = reply(0, 29000 + 100);  // 6000 µA
    const VEXOreply high = reply(0, 29000 + 900); // 54000 µA
    for (int i = 0; i < 40; i++)
        VEXOUDPlogUpdate(&state, i < 32 ? &low : &high, 500);
    EXPECT_EQ(state.numSamples, 32);
    VEXOUDPlogUpdate(&state, &low, 501);
    auto d = receiveOne(sink, 1000);
    ASSERT_EQ(d.size(), 104u);
    std::int32_t battI;
    std::memcpy(&battI, d.data() + 16, 4);
    EXPECT_EQ(battI, 6000) << "the 8 later replies leave no trace";
    EXPECT_TRUE(receiveOne(sink, 50).empty()) << "one datagram per second";
    EXPECT_EQ(state.numSamples, 1);
    VEXOUDPlogUpdate(&state, &high, 503);
    d = receiveOne(sink, 1000);
    std::int32_t t;
    std::memcpy(&t, d.data(), 4);
    EXPECT_EQ(t, 501);
}

TEST_F(Telemetry, OffStillDropsSamplesEachSecond)
{
    close(state.txSocket);
    state.txSocket = -1;
    const VEXOreply r = reply(0);
    VEXOUDPlogUpdate(&state, &r, 10);
    VEXOUDPlogUpdate(&state, &r, 10);
    EXPECT_EQ(state.numSamples, 2);
    VEXOUDPlogUpdate(&state, &r, 11);
    EXPECT_EQ(state.numSamples, 1);
    state.txSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

TEST_F(Telemetry, TimerStandsStillOnBattery)
{
    const VEXOreply r = reply(onbatt);
    for (int t = 1; t < 10; t++)
        VEXOUDPlogUpdate(&state, &r, t);
    EXPECT_EQ(state.timer, 60);
}

// ---- Duty cycle -----------------------------------------------------------

// targetI after each of `steps` steps, as a string of '+' (charging) and '0'.
static std::string phases(int on, int off, int steps, VEXOchargeState* s)
{
    *s = VEXOchargeState{};
    s->time_on = on;
    s->time_off = off;
    s->timer = on;
    s->targetI = s->masterI = 100000;
    s->locked = 1;
    std::string out;
    for (int i = 0; i < steps; i++) {
        VEXOdutyCycleStep(s);
        out += s->targetI > 0 ? '+' : '0';
    }
    return out;
}

TEST(DutyCycle, Phases)
{
    VEXOchargeState s;
    EXPECT_EQ(phases(3, 2, 12, &s), "++00+++00+++");
    EXPECT_EQ(phases(60, 60, 240, &s),
              std::string(59, '+') + std::string(60, '0') + std::string(60, '+') + std::string(60, '0') + "+");
    EXPECT_EQ(phases(5, 0, 20, &s), std::string(20, '+'));
    EXPECT_EQ(phases(0, 5, 20, &s), std::string(20, '+'));
    // The end of an off phase clears the lock; an on phase does not.
    phases(3, 2, 4, &s);
    EXPECT_EQ(s.locked, 1u);
    VEXOdutyCycleStep(&s);
    EXPECT_EQ(s.locked, 0u);
    EXPECT_EQ(s.timer, 3);
}

TEST(DutyCycle, TargetDroppedWithoutOffPhaseStaysDropped)
{
    VEXOchargeState s;
    phases(5, 0, 3, &s);
    s.targetI = 0;
    for (int i = 0; i < 20; i++)
        VEXOdutyCycleStep(&s);
    EXPECT_EQ(s.targetI, 0);
}

// ---- Regulation -----------------------------------------------------------

// A board whose current falls linearly with pwm_lo: 600 mA at 0, 0 at 500.
static word ticksAt(word pwm_lo) { return static_cast<word>(29000 + (600000.0 * (500 - pwm_lo) / 500) / 60); }

static VEXOchargeState searchState(int target)
{
    VEXOchargeState s{};
    s.targetI = s.masterI = target;
    s.lock_max = 500;
    s.lock_hi = 501;
    s.lock_lo = 0;
    return s;
}

TEST(Regulation, FirstCycleClipsAndSendsMidpoint)
{
    VEXOchargeState s = searchState(200000);
    VEXOreply rep{};
    rep.adc7 = 0; // far below target: must not count in the first cycle
    VEXOrequest req{};
    req.pwm_lo = 77;
    VEXOregulate(&s, &rep, &req);
    EXPECT_EQ(s.lock_hi, 500);
    EXPECT_EQ(s.lock_lo, 0);
    EXPECT_EQ(+req.pwm_lo, 250);
}

TEST(Regulation, SearchLocksWithinTenCyclesNearTheTarget)
{
    for (int target : {60000, 200000, 333000, 500000}) {
        VEXOchargeState s = searchState(target);
        word pwm = 0;
        int cycles = 0;
        while (!s.locked && cycles < 20) {
            VEXOreply rep{};
            rep.pwm_lo = pwm;
            rep.adc7 = ticksAt(pwm);
            VEXOrequest req{};
            req.pwm_lo = pwm;
            VEXOregulate(&s, &rep, &req);
            pwm = req.pwm_lo;
            cycles++;
        }
        EXPECT_GE(cycles, 9) << target;
        EXPECT_LE(cycles, 10) << target;
        EXPECT_EQ(pwm, s.lock_lo) << "the lock point is the final lock_lo";
        const double current = 600000.0 * (500 - pwm) / 500;
        EXPECT_NEAR(current, target, 1200.0 + 60) << target;
    }
}

struct HoldRow {
    const char* what;
    int errorUa; // measured minus target
    word pwm;
    bool battery;
    word expectPwm;
    int expectTarget;
};

static void PrintTo(const HoldRow& r, std::ostream* os) { *os << r.what; }

class Hold : public ::testing::TestWithParam<HoldRow> {};

TEST_P(Hold, OneCountWithDeadBand)
{
    const HoldRow& row = GetParam();
    VEXOchargeState s = searchState(240000);
    s.locked = 1;
    VEXOreply rep{};
    rep.adc7 = static_cast<word>(29000 + (240000 + row.errorUa) / 60);
    rep.outputs = row.battery ? onbatt : 0;
    VEXOrequest req{};
    req.pwm_lo = row.pwm;
    VEXOregulate(&s, &rep, &req);
    EXPECT_EQ(+req.pwm_lo, row.expectPwm);
    EXPECT_EQ(s.targetI, row.expectTarget);
    EXPECT_EQ(s.locked, 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, Hold,
                         ::testing::Values(HoldRow{"exactly 3000 above: stays", 3000, 100, false, 100, 240000},
                                           HoldRow{"3060 above: one up", 3060, 100, false, 101, 240000},
                                           HoldRow{"3060 below: one down", -3060, 100, false, 99, 240000},
                                           HoldRow{"3000 below: stays", -3000, 100, false, 100, 240000},
                                           HoldRow{"too high at the top: give up", 6000, 500, false, 500, 0},
                                           HoldRow{"too low at zero: give up", -6000, 0, false, 0, 0},
                                           HoldRow{"on battery: never moves", 60000, 100, true, 100, 240000}));

// ---- Power-failure watch ----------------------------------------------------

// Seconds (counted from 1) in which the shutdown runs, for a power pattern
// of 'L' (line) and 'B' (battery) per second.
static std::vector<int> shutdowns(const std::string& power, int shutdelay)
{
    std::vector<int> at;
    int pending = -1;
    for (size_t i = 0; i < power.size(); i++) {
        int run = 0;
        pending = VEXOpowerWatch(pending, power[i] == 'B', shutdelay, &run);
        if (run)
            at.push_back(static_cast<int>(i) + 1);
    }
    return at;
}

TEST(PowerWatch, CountdownRepeatAndCancel)
{
    const std::string off = "LL" + std::string(60, 'B');
    EXPECT_EQ(shutdowns(off, 10), (std::vector<int>{13, 28, 43, 58}));
    EXPECT_EQ(shutdowns("LLBBBBBLBBBBBBBBBBBBBB", 10), (std::vector<int>{19}));
    EXPECT_EQ(shutdowns(off, 0), std::vector<int>{});
    EXPECT_EQ(shutdowns(off, -1), std::vector<int>{});
    EXPECT_EQ(shutdowns("BBBB", 1), (std::vector<int>{2}));
}

// ---- Low-battery watch ------------------------------------------------------

// The verdicts, one letter a second ('.' none, 'N' now, 'A' again), for a
// pattern of 'L' (line), 'B' (battery above the threshold), 'b' (battery
// below it) and '0' (battery, no reading), with a threshold of 3.5 V.
static std::string lowBattery(const std::string& seconds, float threshold = 3.5f)
{
    VEXOlowBattery w;
    w.volts = threshold;
    std::string out;
    for (const char c : seconds) {
        const float volts = c == 'b' ? 3.49f : c == '0' ? 0.0f : 3.6f;
        switch (VEXOlowBatteryStep(&w, c != 'L', volts)) {
        case VEXOlowBatteryVerdict::None: out += '.'; break;
        case VEXOlowBatteryVerdict::Now: out += 'N'; break;
        case VEXOlowBatteryVerdict::Again: out += 'A'; break;
        }
    }
    return out;
}

TEST(LowBatteryWatch, FiveSecondsInARowOnBatteryThenEveryFifteen)
{
    EXPECT_EQ(lowBattery("LBbbbbbB"), "......N.");
    EXPECT_EQ(lowBattery("bbbbbBBBBBBBBBBBBBBBbbbbbbbbbbbbbbb"), "....N..............A..............A");
    // A dip shorter than five seconds, a second without a reading, line power
    // during the five seconds: each starts the count again.
    EXPECT_EQ(lowBattery("bbbbBbbbb0bbbbLbbbbb"), "...................N");
    // Line power after the shutdown: no more commands; a new failure counts afresh.
    EXPECT_EQ(lowBattery("bbbbbbbLbbbbbbbbbbbbbbbbbbbb"), "....N.......N..............A");
    EXPECT_EQ(lowBattery("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", 0), std::string(30, '.')) << "off";
    EXPECT_EQ(lowBattery("bbbbbbbbbbbb", 3.49f), std::string(12, '.')) << "below, not at";
}
