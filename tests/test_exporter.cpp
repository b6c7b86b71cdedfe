// vexo-exporter: its boards list, its re-ask schedule, its metrics text,
// and the program against vexo-fleet-sim and a real supervisor, in this
// process's private network namespace.
#include <atomic>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include <sys/mount.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include "clients/exporter/fleet.h"
#include "tests/helpers.h"
#include "tests/http_helpers.h"
#include "clients/common/lease.h"
#include "clients/exporter/metrics.h"

#include <prometheus/text_serializer.h>
#include "tests/netns.h"
#include "tests/udp_helpers.h"

// ---- The boards list ------------------------------------------------------

struct EntryRow {
    const char* name;
    const char* text;
    bool ok;
    const char* host; // or the reason when !ok
    const char* label;
};
void PrintTo(const EntryRow& r, std::ostream* os) { *os << r.name; }

class Entries : public ::testing::TestWithParam<EntryRow> {};

TEST_P(Entries, ParseAsWritten)
{
    const EntryRow& r = GetParam();
    FleetEntry e;
    std::string why;
    ASSERT_EQ(fleetParseEntry(r.text, &e, &why), r.ok) << why;
    if (r.ok) {
        EXPECT_EQ(e.host, r.host);
        EXPECT_EQ(e.label, r.label);
    } else {
        EXPECT_EQ(why, r.host);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Entries,
    ::testing::Values(EntryRow{"address", "10.0.0.5", true, "10.0.0.5", "10.0.0.5"},
                      EntryRow{"name and label", "ups-3.example=north-3", true, "ups-3.example", "north-3"},
                      EntryRow{"label with spaces", "10.0.0.6=Shed 2, left", true, "10.0.0.6", "Shed 2, left"},
                      EntryRow{"empty", "", false, "'' is not HOST or HOST=LABEL", ""},
                      EntryRow{"no host", "=north", false, "'=north' is not HOST or HOST=LABEL", ""},
                      EntryRow{"empty label", "10.0.0.5=", false, "'10.0.0.5=' has an empty label", ""},
                      EntryRow{"space in host", "10.0.0.5 north", false, "'10.0.0.5 north' is not HOST or HOST=LABEL",
                               ""}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& c : n)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return n;
    });

TEST(BoardsFile, CommentsBlankLinesAndLineEndsAreSkipped)
{
    TempDir tmp;
    const std::string path = tmp.path() + "/boards";
    std::ofstream(path) << "# the shed\n\n  10.0.0.5=north  \r\n\t# off for now: 10.0.0.7\n10.0.0.6\n";
    std::vector<FleetEntry> got;
    std::string why;
    ASSERT_TRUE(fleetReadFile(path.c_str(), &got, &why)) << why;
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].host + "|" + got[0].label, "10.0.0.5|north");
    EXPECT_EQ(got[1].host + "|" + got[1].label, "10.0.0.6|10.0.0.6");

    std::ofstream(path) << "10.0.0.5\n\n10.0.0.6 north\n";
    got = {FleetEntry{"kept", "kept"}};
    EXPECT_FALSE(fleetReadFile(path.c_str(), &got, &why));
    EXPECT_EQ(why, path + " line 3: '10.0.0.6 north' is not HOST or HOST=LABEL");
    ASSERT_EQ(got.size(), 1u) << "a bad file leaves the list alone";
    EXPECT_FALSE(fleetReadFile((tmp.path() + "/none").c_str(), &got, &why));
    EXPECT_EQ(why, "cannot read " + tmp.path() + "/none: No such file or directory");
}

TEST(BoardsFile, ALabelOfTwoBoardsOrNotUtf8IsRefusedWithItsLine)
{
    TempDir tmp;
    const std::string path = tmp.path() + "/boards";
    std::vector<FleetEntry> got;
    std::string why;
    // Two boards, one label: their series could not be told apart.
    std::ofstream(path) << "127.1.0.1=shed\n# next\n127.1.0.2=shed\n";
    EXPECT_FALSE(fleetReadFile(path.c_str(), &got, &why));
    EXPECT_EQ(why, path + " line 3: the label 'shed' is already that of 127.1.0.1 (line 1)");
    std::ofstream(path) << "127.1.0.1\n127.1.0.2=127.1.0.1\n";
    EXPECT_FALSE(fleetReadFile(path.c_str(), &got, &why)) << "a host is its own label";
    EXPECT_EQ(why, path + " line 2: the label '127.1.0.1' is already that of 127.1.0.1 (line 1)");
    // The same host twice is one board, as before.
    std::ofstream(path) << "127.1.0.1=shed\n127.1.0.1=shed\n127.1.0.3\n127.1.0.3\n";
    ASSERT_TRUE(fleetReadFile(path.c_str(), &got, &why)) << why;
    EXPECT_EQ(got.size(), 4u);
    EXPECT_EQ(got[3].line, 4);
    // Labels that are not UTF-8, and ones that are.
    for (const char* bad : {"bad\xff\xfe", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "cut\xe2\x82", "\x80"}) {
        std::ofstream(path) << "127.1.0.10=fine\n127.1.0.11=" << bad << "\n";
        got.clear();
        EXPECT_FALSE(fleetReadFile(path.c_str(), &got, &why)) << bad;
        EXPECT_EQ(why, path + " line 2: the label of 127.1.0.11 is not valid UTF-8");
        EXPECT_TRUE(got.empty());
    }
    std::ofstream(path) << "127.1.0.10=Gew\xc3\xa4"
                           "chshaus \xe2\x82\xac \xf0\x9f\x94\x8b\n";
    ASSERT_TRUE(fleetReadFile(path.c_str(), &got, &why)) << why;
    EXPECT_EQ(got[0].label, "Gew\xc3\xa4"
                            "chshaus \xe2\x82\xac \xf0\x9f\x94\x8b");
}

// ---- When to ask again ----------------------------------------------------

// The times (ms) at which a subscription started at 0 asks again up to end,
// with telemetry at the times heard.
static std::vector<long long> asksUntil(long long end, const std::vector<long long>& heard, bool* takenOver = nullptr)
{
    MonSubscription s;
    monSubscriptionStart(&s, 0);
    std::vector<long long> asks;
    size_t h = 0;
    for (long long t = 0; t <= end; t += 100) {
        while (h < heard.size() && heard[h] <= t)
            monSubscriptionHeard(&s, heard[h++]);
        long long silent = 0;
        if (monSubscriptionDue(&s, t, &silent)) {
            asks.push_back(t);
            if (takenOver != nullptr && asks.size() == 1)
                *takenOver = s.takenOver;
        }
    }
    return asks;
}

TEST(Reask, SilentBoardBacksOffToAMinute)
{
    bool takenOver = true;
    EXPECT_EQ(asksUntil(300000, {}, &takenOver),
              (std::vector<long long>{3000, 9000, 21000, 45000, 93000, 153000, 213000, 273000}));
    EXPECT_FALSE(takenOver) << "nothing ever came: no takeover";
}

TEST(Reask, TelemetryThatStopsAfterArrivingSteadilyWasTakenOver)
{
    bool takenOver = false;
    EXPECT_EQ(asksUntil(20000, {1000, 2000, 3000}, &takenOver), (std::vector<long long>{6000, 12000}));
    EXPECT_TRUE(takenOver);
    EXPECT_EQ(asksUntil(20000, {1000, 4000}, &takenOver), (std::vector<long long>{7000, 13000}));
    EXPECT_FALSE(takenOver) << "two datagrams 3 s apart are no steady stream";
}

TEST(Reask, OnlyLongUnbrokenTelemetryEndsTheBackOff)
{
    // Silent at first (asks at 3, 9, 21 s), then telemetry every second from
    // 22 s for 60 s, then silence: the next wait is still the backed-off 24 s.
    std::vector<long long> heard;
    for (long long t = 22000; t <= 82000; t += 1000)
        heard.push_back(t);
    EXPECT_EQ(asksUntil(120000, heard), (std::vector<long long>{3000, 9000, 21000, 106000}));
    // 130 s of telemetry brings the wait back to 3 s.
    heard.clear();
    for (long long t = 22000; t <= 152000; t += 1000)
        heard.push_back(t);
    EXPECT_EQ(asksUntil(160000, heard), (std::vector<long long>{3000, 9000, 21000, 155000}));
}

// An answer of the supervisor to the lease commands, as the datagram carries it.
static bool leaseAnswer(MonLease* s, std::int32_t command, std::int32_t lease, std::uint32_t cookie, long long now,
                        MonLeaseEvent* event)
{
    const VEXOleaseReply r{command, lease, cookie};
    unsigned char bytes[sizeof r];
    std::memcpy(bytes, &r, sizeof r);
    return monLeaseAnswer(s, bytes, sizeof bytes, now, event);
}

// The MON_SEND_ bits of each tick every 100 ms in [from, to) that sent any, keyed by time.
static std::vector<std::pair<long long, unsigned>> leaseSends(MonLease* s, long long from, long long to)
{
    std::vector<std::pair<long long, unsigned>> out;
    for (long long t = from; t < to; t += 100) {
        MonLeaseEvent e;
        if (const unsigned bits = monLeaseTick(s, t, &e))
            out.emplace_back(t, bits);
    }
    return out;
}

TEST(Lease, AnOlderSupervisorGetsCommandOneThenANewerOneALeaseThatIsRenewedAndEnded)
{
    using Sends = std::vector<std::pair<long long, unsigned>>;
    MonLease s;
    monLeaseStart(&s, 0);
    // Three unanswered SUBSCRIBEs a second apart, then command 1.
    EXPECT_EQ(leaseSends(&s, 0, 3000),
              (Sends{{0, MON_SEND_SUBSCRIBE}, {1000, MON_SEND_SUBSCRIBE}, {2000, MON_SEND_SUBSCRIBE}}));
    MonLeaseEvent e;
    EXPECT_EQ(monLeaseTick(&s, 3000, &e), MON_SEND_ON);
    EXPECT_EQ(e, MonLeaseEvent::Fallback);
    EXPECT_EQ(monLeaseEnd(&s), MON_SEND_OFF) << "command 2 only after command 1";
    // Silent 3 s: command 1 again, and a try of the lease.
    EXPECT_EQ(leaseSends(&s, 3100, 6000), Sends{});
    EXPECT_EQ(monLeaseTick(&s, 6000, &e), MON_SEND_ON | MON_SEND_SUBSCRIBE);
    EXPECT_EQ(e, MonLeaseEvent::Silent);
    EXPECT_EQ(s.silentMs, 3000);
    // A newer supervisor answers: RENEW with its cookie, then command 2 once the lease is granted.
    EXPECT_FALSE(leaseAnswer(&s, VEXO_CMD_SET_CURRENT, 30, 1, 6100, &e)) << "no answer";
    ASSERT_TRUE(leaseAnswer(&s, VEXO_CMD_SUBSCRIBE, 300, 0xABCD1234u, 6100, &e));
    EXPECT_EQ(monLeaseTick(&s, 6100, &e), MON_SEND_RENEW);
    const VEXOUDPcommand renew = monLeaseCommand(&s, MON_SEND_RENEW, 4321);
    unsigned char bytes[sizeof renew];
    std::memcpy(bytes, &renew, sizeof renew);
    EXPECT_EQ(hex(std::vector<unsigned char>(bytes, bytes + sizeof bytes)),
              "0B 00 00 00 E1 10 00 00 1E 00 00 00 34 12 CD AB");
    ASSERT_TRUE(leaseAnswer(&s, VEXO_CMD_RENEW, 30, 0x00BEEF00u, 6200, &e));
    EXPECT_EQ(e, MonLeaseEvent::Leased);
    EXPECT_EQ(monLeaseTick(&s, 6200, &e), MON_SEND_OFF);
    // Telemetry every second; RENEW at a third of the 30 s granted, with the latest cookie.
    for (long long t = 6300; t < 40000; t += 1000)
        monLeaseHeard(&s, t);
    EXPECT_EQ(leaseSends(&s, 6300, 16300), (Sends{{16200, MON_SEND_RENEW}}));
    EXPECT_EQ(monLeaseCommand(&s, MON_SEND_RENEW, 4321).lease.cookie, 0x00BEEF00u);
    ASSERT_TRUE(leaseAnswer(&s, VEXO_CMD_RENEW, 30, 0x00BEEF00u, 16300, &e));
    EXPECT_EQ(e, MonLeaseEvent::None);
    EXPECT_EQ(leaseSends(&s, 16400, 26400), (Sends{{26300, MON_SEND_RENEW}}));
    EXPECT_EQ(monLeaseEnd(&s), MON_SEND_UNSUBSCRIBE) << "no command 2 after a lease";
}

TEST(Lease, AFullTableIsAskedAgainWithTheBackOffAndNeverWithCommandOne)
{
    using Sends = std::vector<std::pair<long long, unsigned>>;
    MonLease s;
    monLeaseStart(&s, 0);
    MonLeaseEvent e;
    EXPECT_EQ(monLeaseTick(&s, 0, &e), MON_SEND_SUBSCRIBE);
    long long t = 0;
    std::vector<long long> asks;
    for (int round = 0; round < 4; round++) {
        ASSERT_TRUE(leaseAnswer(&s, VEXO_CMD_SUBSCRIBE, 300, 7, t + 100, &e));
        EXPECT_EQ(monLeaseTick(&s, t + 100, &e), MON_SEND_RENEW);
        ASSERT_TRUE(leaseAnswer(&s, VEXO_CMD_RENEW, 0, 7, t + 200, &e));
        EXPECT_EQ(e, MonLeaseEvent::Refused);
        const Sends next = leaseSends(&s, t + 300, t + 70000);
        ASSERT_FALSE(next.empty());
        EXPECT_EQ(next[0].second, MON_SEND_SUBSCRIBE) << "never command 1 to a supervisor that answers";
        t = next[0].first;
        asks.push_back(t);
    }
    EXPECT_EQ(asks, (std::vector<long long>{3200, 9400, 21600, 45800}));
}

// ---- The metrics text -----------------------------------------------------

static std::string allMetrics(const FleetSnapshot& snap, long long now)
{
    std::string text;
    fleetWriteMetrics(
        snap, now,
        [](const std::string& t, void* data) {
            *static_cast<std::string*>(data) += t;
            return true;
        },
        &text);
    return text;
}

TEST(Metrics, BaseUnitsOneLabelAndNoReadingsOfABoardThatIsDown)
{
    FleetSnapshot snap;
    snap.labels = {"north", "south"};
    FleetRow up;
    up.heard = true;
    up.lastHeardMs = 9500;
    up.info.battV = 3.75f;
    up.info.battI = 250800;
    up.info.tempF = 72.5f;
    up.info.pwmlo = 291.5f;
    up.info.pwmt = 500;
    up.info.supplyV = 768;
    up.info.regV = 640;
    up.info.flags1 = vexoFlag1::pwm1en | vexoFlag1::led | vexoFlag1::onbatt;
    up.info.flags2 = vexoFlag2::locked;
    up.datagrams = 42;
    up.reasks = 1;
    FleetRow down;
    down.lastHeardMs = 0;
    down.malformed = 3;
    snap.rows = {up, down};
    snap.strays = 7;
    const std::string text = allMetrics(snap, 10000);

    for (const char* line :
         {"# HELP vexo_up 1 while telemetry from the board is at most 5 s old\n# TYPE vexo_up gauge\n"
          "vexo_up{board=\"north\"} 1\nvexo_up{board=\"south\"} 0\n",
          "vexo_telemetry_age_seconds{board=\"north\"} 0.5\n",
          "vexo_telemetry_age_seconds{board=\"south\"} 10\n",
          "# TYPE vexo_telemetry_datagrams_total counter\n",
          "vexo_telemetry_datagrams_total{board=\"north\"} 42\n",
          "vexo_telemetry_malformed_total{board=\"south\"} 3\n",
          "vexo_telemetry_reasks_total{board=\"north\"} 1\n",
          "vexo_battery_volts{board=\"north\"} 3.75\n",
          "vexo_battery_amperes{board=\"north\"} 0.2508\n",
          "vexo_temperature_celsius{board=\"north\"} 22.5\n",
          "vexo_pwm_low_counts{board=\"north\"} 291.5\n",
          "vexo_pwm_period_counts{board=\"north\"} 500\n",
          "vexo_supply_adc_counts{board=\"north\"} 768\n",
          "vexo_regulated_adc_counts{board=\"north\"} 640\n",
          "vexo_on_battery{board=\"north\"} 1\n",
          "vexo_charge_locked{board=\"north\"} 1\n",
          "vexo_output_pwm1{board=\"north\"} 1\n",
          "vexo_output_pwm2{board=\"north\"} 0\n",
          "vexo_output_led{board=\"north\"} 1\n",
          "vexo_output_buck{board=\"north\"} 0\n",
          "vexo_exporter_boards 2\n",
          "vexo_exporter_stray_datagrams_total 7\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nnot in\n" << text;
    EXPECT_EQ(text.find("vexo_battery_volts{board=\"south\"}"), std::string::npos) << "readings only while up";
    EXPECT_EQ(text.find("vexo_on_battery{board=\"south\"}"), std::string::npos);
    // Every family once, each with HELP and TYPE, a gauge or a counter.
    size_t families = 0;
    for (size_t at = 0; (at = text.find("# TYPE ", at)) != std::string::npos; at++) {
        const std::string line = text.substr(at, text.find('\n', at) - at);
        EXPECT_TRUE(line.ends_with(" gauge") || line.ends_with(" counter")) << line;
        families++;
    }
    EXPECT_EQ(families, fleetFamilyCount());
    EXPECT_EQ(fleetFamilyCount(), 25u);
}

TEST(Metrics, ALargeFleetWrittenInSlicesIsTheTextOfWholeFamilies)
{
    // 2,500 boards: up but for the second slice, which is down as a whole.
    FleetSnapshot snap;
    for (int i = 0; i < 2500; i++) {
        snap.labels.push_back("b" + std::to_string(i));
        FleetRow r;
        r.heard = i < 1000 || i >= 2000;
        r.lastHeardMs = 9000;
        r.datagrams = static_cast<std::uint64_t>(i);
        r.info.battV = 3.5f + static_cast<float>(i % 7) / 10;
        snap.rows.push_back(r);
    }
    const prometheus::TextSerializer serializer;
    std::string whole;
    for (std::size_t i = 0; i < fleetFamilyCount(); i++)
        whole += serializer.Serialize({fleetFamily(snap, i, 10000)});
    size_t writes = 0;
    std::string sliced;
    std::pair<std::string*, size_t*> out{&sliced, &writes};
    fleetWriteMetrics(
        snap, 10000,
        [](const std::string& t, void* data) {
            auto* o = static_cast<std::pair<std::string*, size_t*>*>(data);
            *o->first += t;
            ++*o->second;
            return true;
        },
        &out);
    EXPECT_TRUE(sliced == whole) << "sliced text differs from the whole families";
    EXPECT_EQ(std::count(sliced.begin(), sliced.end(), '\n'), std::count(whole.begin(), whole.end(), '\n'));
    EXPECT_NEAR(metric(sliced, "vexo_battery_volts{board=\"b2498\"}"), 4.1, 1e-6); // 3.5 + (2498 % 7) / 10
    // Six families of every board, three slices each; 17 of readings, two
    // slices with series; the exporter's own two.
    EXPECT_EQ(writes, 6u * 3 + 17u * 2 + 2);
    snap = FleetSnapshot{};
    EXPECT_TRUE(allMetrics(snap, 0).find("# TYPE vexo_up gauge\n# HELP vexo_telemetry_age_seconds") !=
                std::string::npos)
        << "an empty family keeps its HELP and TYPE";
}

TEST(Metrics, LabelValuesAreEscaped)
{
    FleetSnapshot snap;
    snap.labels = {"shed \"2\"\\left"};
    snap.rows.resize(1);
    const std::string text = allMetrics(snap, 0);
    EXPECT_NE(text.find("vexo_up{board=\"shed \\\"2\\\"\\\\left\"} 0\n"), std::string::npos) << text;
}

// ---- The program ----------------------------------------------------------

static std::string fleetSimPath() { return std::string(VEXO_BIN_DIR) + "/sim/vexo-fleet-sim"; }

// vexo-fleet-sim on a port that is taken says so, with the bind's reason, and ends with status 1.
TEST(FleetSimProgram, ATakenPortIsSaidWithItsReason)
{
    int port = 0;
    const int taken = loopbackSocket(0, &port);
    const RunResult r = runProgram({fleetSimPath(), "--port", std::to_string(port), "--seconds", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vexo-fleet-sim: cannot bind UDP port " + std::to_string(port) + ": Address already in use\n");
    close(taken);
}

static std::string scrape()
{
    const HttpReply r = httpGet(METRICS_PORT, "/metrics");
    return r.status == 200 ? r.body : "";
}

TEST(ExporterProgram, UsageErrorsEndWithStatus2BeforeAnythingIsSent)
{
    RunResult r = runProgram({exporterPath()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("Usage: vexo-exporter [OPTIONS] [HOST[=LABEL]...]\n", 0), 0u) << r.err;
    r = runProgram({exporterPath(), "--listen", "nowhere", "10.0.0.5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-exporter: --listen needs ADDR:PORT with an IPv4 address, not 'nowhere'\n");
    r = runProgram({exporterPath(), "--port", "-1", "10.0.0.5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-exporter: --port needs a port number 0 to 65535, not '-1'\n");
    r = runProgram({exporterPath(), "--boards", "/nonexistent/boards"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-exporter: cannot read /nonexistent/boards: No such file or directory\n");
    r = runProgram({exporterPath(), "10.0.0.5=north", "bad host"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-exporter: 'bad host' is not HOST or HOST=LABEL\n");
    r = runProgram({exporterPath(), "127.1.0.1=shed", "127.1.0.2=shed"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-exporter: '127.1.0.2=shed': the label 'shed' is already that of 127.1.0.1 (the command "
                     "line)\n");
    r = runProgram({exporterPath(), "127.1.0.1=bad\xff"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vexo-exporter: the label of 127.1.0.1 is not valid UTF-8\n");
    {
        TempDir tmp;
        const std::string boards = tmp.path() + "/boards";
        std::ofstream(boards) << "127.1.0.5=north\n127.1.0.6=shed\n";
        r = runProgram({exporterPath(), "--boards", boards, "127.1.0.1=shed"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "vexo-exporter: " + boards +
                             " line 2: the label 'shed' is already that of 127.1.0.1 (the command line)\n");
    }
    r = runProgram({exporterPath(), "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("  --listen ADDR:PORT  serve /metrics there (default: all addresses, port 4001)\n"),
              std::string::npos);
}

class Exporter : public ::testing::Test {
protected:
    TempDir tmp;
    std::string dir = tmp.path();
    Background fleet;
    Background exporter;
    Background mon;

    void SetUp() override { REQUIRE_PRIVATE_NET(); }
    void TearDown() override
    {
        stopProgram(&mon);
        stopProgram(&exporter);
        stopProgram(&fleet);
    }
    void startFleet(int boards, int onBatteryEvery = 0)
    {
        fleet = startProgram(
            {fleetSimPath(), "--boards", std::to_string(boards), "--on-battery", std::to_string(onBatteryEvery)}, {},
            dir + "/fleet.txt");
    }
    // Starts the exporter and waits until it serves.
    void startExporter(std::vector<std::string> args)
    {
        args.insert(args.begin(), {exporterPath(), "--listen", "127.0.0.1:" + std::to_string(METRICS_PORT)});
        exporter = startProgram(args, {}, dir + "/exporter.txt");
        ASSERT_TRUE(waitFor([] { return httpGet(METRICS_PORT, "/metrics").status == 200; }, 5000))
            << readFile(dir + "/exporter.txt");
    }
    // Ends a background program with SIGTERM and returns its status.
    static int terminate(Background* bg)
    {
        kill(bg->pid, SIGTERM);
        waitFor([bg] { return !programRunning(bg); }, 5000);
        return stopProgram(bg);
    }
};

TEST_F(Exporter, BoardsUpUnknownAndSilentOnesDownWithAReasonInTheLog)
{
    startFleet(3, 3); // board 0 on battery
    startExporter({"127.1.0.1=b0", "127.1.0.2=b1", "127.1.0.3", "nosuch.invalid=ghost", "127.9.9.9=silent"});
    std::string text;
    ASSERT_TRUE(waitFor(
        [&] {
            text = scrape();
            return metric(text, "vexo_up{board=\"b0\"}") == 1 && metric(text, "vexo_up{board=\"127.1.0.3\"}") == 1 &&
                   metric(text, "vexo_telemetry_reasks_total{board=\"silent\"}") >= 1;
        },
        8000))
        << text << readFile(dir + "/exporter.txt");
    EXPECT_EQ(metric(text, "vexo_up{board=\"b1\"}"), 1);
    EXPECT_EQ(metric(text, "vexo_up{board=\"ghost\"}"), 0);
    EXPECT_EQ(metric(text, "vexo_up{board=\"silent\"}"), 0);
    EXPECT_EQ(metric(text, "vexo_on_battery{board=\"b0\"}"), 1);
    EXPECT_EQ(metric(text, "vexo_on_battery{board=\"b1\"}"), 0);
    EXPECT_NEAR(metric(text, "vexo_battery_amperes{board=\"b1\"}"), 0.250, 0.001);
    EXPECT_EQ(metric(text, "vexo_exporter_boards"), 5);
    const std::string log = readFile(dir + "/exporter.txt");
    EXPECT_NE(log.find("vexo-exporter: board ghost: cannot resolve nosuch.invalid; trying again\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("vexo-exporter: board silent: no telemetry from 127.9.9.9 for 3 s; asking again with a back-off "
                       "up to 60 s\n"),
              std::string::npos)
        << log;
    EXPECT_TRUE(programRunning(&exporter));
}

TEST_F(Exporter, SighupReadsTheFileAgainAndTheEndStopsEveryBoard)
{
    startFleet(4);
    const std::string boards = dir + "/boards";
    std::ofstream(boards) << "127.1.0.1=a\n127.1.0.2=b\n";
    startExporter({"--boards", boards, "127.1.0.4=given"});
    std::string text;
    ASSERT_TRUE(waitFor([&] { return metric(text = scrape(), "vexo_up{board=\"b\"}") == 1; }, 5000)) << text;
    const double countBefore = metric(text, "vexo_telemetry_datagrams_total{board=\"a\"}");

    std::ofstream(boards) << "# b is gone, c is new\n127.1.0.1=a\n127.1.0.3=c\n";
    kill(exporter.pid, SIGHUP);
    ASSERT_TRUE(waitFor([&] { return metric(text = scrape(), "vexo_up{board=\"c\"}") == 1; }, 5000)) << text;
    EXPECT_TRUE(std::isnan(metric(text, "vexo_up{board=\"b\"}")));
    EXPECT_EQ(metric(text, "vexo_up{board=\"given\"}"), 1) << "the command line's boards stay";
    EXPECT_GE(metric(text, "vexo_telemetry_datagrams_total{board=\"a\"}"), countBefore) << "a keeps its counters";
    EXPECT_EQ(metric(text, "vexo_exporter_boards"), 3);

    std::ofstream(boards) << "127.1.0.1=a\nnot a board\n";
    kill(exporter.pid, SIGHUP);
    ASSERT_TRUE(waitFor([&] { return readFile(dir + "/exporter.txt").find("keeping") != std::string::npos; }, 3000));
    EXPECT_NE(readFile(dir + "/exporter.txt")
                  .find("vexo-exporter: SIGHUP: keeping the boards followed: " + boards +
                        " line 2: 'not a board' is not HOST or HOST=LABEL\n"),
              std::string::npos);
    EXPECT_EQ(metric(scrape(), "vexo_exporter_boards"), 3);

    EXPECT_EQ(terminate(&exporter), 0);
    EXPECT_EQ(terminate(&fleet), 0);
    const std::string fleetLog = readFile(dir + "/fleet.txt");
    EXPECT_EQ(fleetLog.find("vexo-fleet-sim: 4 boards, 0 subscribed at the end, "), 0u)
        << "b was stopped when dropped, the rest at the end: " << fleetLog;
    EXPECT_NE(fleetLog.find("\nvexo-fleet-sim: 0 leases at the end, 0 refused\n"), std::string::npos)
        << "b's lease ended when dropped, the others' at the end: " << fleetLog;
}

TEST_F(Exporter, AgainstAnOlderSupervisorBothFallBackToCommandOneAndTakeItFromEachOtherOnlyAtTheirBackOff)
{
    fleet = startProgram({fleetSimPath(), "--boards", "1", "--old"}, {}, dir + "/fleet.txt");
    startExporter({"127.1.0.1=a"});
    std::string text;
    ASSERT_TRUE(waitFor([&] { return metric(text = scrape(), "vexo_up{board=\"a\"}") == 1; }, 10000)) << text;
    EXPECT_NE(
        readFile(dir + "/exporter.txt")
            .find("vexo-exporter: board a: 127.1.0.1 does not answer the lease commands; asking with command 1\n"),
        std::string::npos)
        << readFile(dir + "/exporter.txt");
    waitFor([] { return false; }, 3000); // steady telemetry to the exporter
    mon = startProgram({std::string(VEXO_BIN_DIR) + "/clients/vexo-mon", "--csv", "127.1.0.1"}, {}, dir + "/mon.txt");
    const std::string said = "vexo-mon: telemetry from 127.1.0.1 stopped right after arriving steadily; another "
                             "subscriber may have taken it over (asking again with a back-off up to 60 s)\n";
    ASSERT_TRUE(waitFor(
        [&] {
            text = scrape();
            return metric(text, "vexo_telemetry_takeovers_total{board=\"a\"}") >= 1 &&
                   readFile(dir + "/mon.txt").find(said) != std::string::npos;
        },
        25000))
        << text << readFile(dir + "/mon.txt");
    const std::string monText = readFile(dir + "/mon.txt");
    EXPECT_NE(monText.find("vexo-mon: 127.1.0.1 does not answer the lease commands; asking with command 1\n"),
              std::string::npos)
        << monText;
    EXPECT_NE(readFile(dir + "/exporter.txt")
                  .find("vexo-exporter: board a: telemetry stopped right after arriving steadily; another "
                        "subscriber may have taken it over\n"),
              std::string::npos);
    // Within these seconds each asked back at 3 s, then 6 s, then 12 s at the most.
    EXPECT_LE(metric(text, "vexo_telemetry_reasks_total{board=\"a\"}"), 3) << text;
    size_t asks = 0;
    for (size_t at = 0; (at = monText.find("asking 127.1.0.1 again", at)) != std::string::npos; at++)
        asks++;
    EXPECT_LE(asks, 3u) << monText;
    // Both used command 1, so both send command 2 on the way out.
    EXPECT_EQ(terminate(&mon), 0);
    EXPECT_EQ(terminate(&exporter), 0);
    EXPECT_EQ(terminate(&fleet), 0);
    const std::string fleetLog = readFile(dir + "/fleet.txt");
    EXPECT_EQ(fleetLog.find("vexo-fleet-sim: 1 boards, 0 subscribed at the end, "), 0u) << fleetLog;
    EXPECT_EQ(fleetLog.find("leases at the end"), std::string::npos) << fleetLog;
}

TEST_F(Exporter, StrayAndMalformedDatagramsAreCountedNotShown)
{
    startFleet(1);
    startExporter({"127.1.0.1=a"});
    std::string text;
    ASSERT_TRUE(waitFor([&] { return metric(text = scrape(), "vexo_up{board=\"a\"}") == 1; }, 5000)) << text;
    // The exporter's telemetry port, from its log.
    const std::string log = readFile(dir + "/exporter.txt");
    const int port = std::atoi(log.c_str() + log.find("telemetry to UDP port ") + 22);
    ASSERT_GT(port, 0) << log;
    const int stray = loopbackSocket(0);
    sendTo(stray, port, "junk", 4);
    close(stray);
    // The same address as board a, the wrong size and a NaN voltage.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.1.0.1", &a.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    sendTo(fd, port, "short", 5);
    vexoInfo bad{};
    bad.battV = std::nanf("");
    sendTo(fd, port, &bad, sizeof bad);
    close(fd);
    ASSERT_TRUE(waitFor(
        [&] {
            text = scrape();
            return metric(text, "vexo_telemetry_malformed_total{board=\"a\"}") == 2 &&
                   metric(text, "vexo_exporter_stray_datagrams_total") == 1;
        },
        3000))
        << text;
    EXPECT_NEAR(metric(text, "vexo_battery_volts{board=\"a\"}"), 3.7, 0.02) << "the NaN was not taken";
}

// ---- HTTP ------------------------------------------------------------------

static std::string gunzip(const std::string& in)
{
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK)
        return "";
    std::string out;
    char buf[65536];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : "not a whole gzip stream";
}

static std::string request(const std::string& method, const std::string& target, const std::string& more = "")
{
    return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + more + "\r\n";
}

// The text with every number after the last space of a line dropped: the
// series of a scrape, whatever their values.
static std::string seriesOf(const std::string& text)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t eol = text.find('\n', at);
        eol = eol == std::string::npos ? text.size() : eol;
        const std::string line = text.substr(at, eol - at);
        out += (line[0] == '#' ? line : line.substr(0, line.rfind(' '))) + "\n";
        at = eol + 1;
    }
    return out;
}

TEST_F(Exporter, OnlyGetAndHeadOfMetricsAndRootAndGzipWhenAsked)
{
    startFleet(2);
    startExporter({"127.1.0.1=a", "127.1.0.2=b"});
    std::string text;
    ASSERT_TRUE(waitFor(
        [&] {
            text = scrape();
            return metric(text, "vexo_up{board=\"a\"}") == 1 && metric(text, "vexo_up{board=\"b\"}") == 1;
        },
        5000))
        << text;

    HttpReply r = httpExchange(METRICS_PORT, request("GET", "/metrics?debug=1"));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos)
        << r.headers;
    EXPECT_EQ(r.headers.find("Content-Encoding"), std::string::npos) << r.headers;
    const std::string plain = r.body;
    EXPECT_EQ(plain.rfind("# HELP vexo_up ", 0), 0u) << plain;
    EXPECT_TRUE(plain.ends_with("\nvexo_exporter_stray_datagrams_total 0\n")) << plain;

    // What Prometheus sends: the same series, compressed.
    r = httpExchange(METRICS_PORT, request("GET", "/metrics", "Accept-Encoding: gzip\r\n"));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("\r\nContent-Encoding: gzip\r\n"), std::string::npos) << r.headers;
    const std::string unzipped = gunzip(r.body);
    EXPECT_EQ(seriesOf(unzipped), seriesOf(plain));
    EXPECT_EQ(metric(unzipped, "vexo_up{board=\"a\"}"), 1);
    for (const char* accept : {"deflate, gzip;q=0", "identity", "br"}) {
        r = httpExchange(METRICS_PORT, request("GET", "/metrics", std::string("Accept-Encoding: ") + accept + "\r\n"));
        EXPECT_EQ(r.headers.find("Content-Encoding"), std::string::npos) << accept;
        EXPECT_EQ(seriesOf(r.body), seriesOf(plain)) << accept;
    }
    r = httpExchange(METRICS_PORT, request("GET", "/metrics", "Accept-Encoding: deflate;q=0.5, GZIP;q=0.8\r\n"));
    EXPECT_EQ(seriesOf(gunzip(r.body)), seriesOf(plain));

    // HEAD: the header of a GET and no body.
    r = httpExchange(METRICS_PORT, request("HEAD", "/metrics"));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
    EXPECT_EQ(r.body, "");

    for (const char* method : {"POST", "PUT", "DELETE", "PATCH"}) {
        r = httpExchange(METRICS_PORT, request(method, "/metrics", "Content-Length: 4\r\n") + "abcd");
        EXPECT_EQ(r.status, 405) << method;
        EXPECT_NE(r.headers.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos) << method << r.headers;
        EXPECT_EQ(r.body, "only GET and HEAD\n");
    }
    for (const char* path : {"/metricsX", "/METRICS", "/%6detrics", "/metrics/", "/metrics.txt", "/favicon.ico",
                             "//metrics", "/a/../metrics"}) {
        r = httpExchange(METRICS_PORT, request("GET", path));
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.body, "not found: the metrics are at /metrics\n") << path;
    }
    r = httpExchange(METRICS_PORT, request("GET", "/"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "vexo-exporter: the metrics are at /metrics\n");
}

// A TCP connection to the metrics port, or -1.
static int connectMetrics()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(METRICS_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(Exporter, AScrapeSucceedsWhileFiftySlowClientsHoldConnections)
{
    startFleet(2);
    startExporter({"127.1.0.1=a", "127.1.0.2=b"});
    ASSERT_TRUE(waitFor(
        [] {
            const std::string text = scrape();
            return metric(text, "vexo_up{board=\"a\"}") == 1 && metric(text, "vexo_up{board=\"b\"}") == 1;
        },
        5000));
    // Half send nothing, half a header line a second; one that the server
    // closed connects again at once, so that fifty are always held.
    constexpr int slow = 50;
    std::vector<int> fds(slow, -1);
    int closedByServer = 0, scrapes = 0;
    std::string failed;
    for (int second = 0; second < 8; second++) {
        for (int i = 0; i < slow; i++) {
            char c;
            if (fds[i] >= 0 && recv(fds[i], &c, 1, MSG_DONTWAIT) == 0) {
                close(fds[i]);
                fds[i] = -1;
                closedByServer++;
            }
            if (fds[i] < 0) {
                fds[i] = connectMetrics();
                if (fds[i] >= 0 && i % 2 == 1)
                    send(fds[i], "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
            } else if (i % 2 == 1) {
                send(fds[i], "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
            }
        }
        const HttpReply r = httpGet(METRICS_PORT, "/metrics", 3000);
        if (r.status == 200 && metric(r.body, "vexo_up{board=\"a\"}") == 1)
            scrapes++;
        else
            failed += " " + std::to_string(second);
        waitFor([] { return false; }, 1000);
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    EXPECT_EQ(scrapes, 8) << "failed at seconds" << failed;
    EXPECT_GE(closedByServer, slow) << "slow requests are given up after a short time";
    EXPECT_TRUE(programRunning(&exporter)) << readFile(dir + "/exporter.txt");
}

// /etc/resolv.conf of this mount namespace, naming a server on 127.0.0.1:53
// that reads every query and never answers, and /etc/hosts naming the 20th
// board of vexo-fleet-sim board-19.example; all undone at the end.
class SilentNameServer {
public:
    explicit SilentNameServer(const std::string& dir)
    {
        const std::string conf = dir + "/resolv.conf";
        std::ofstream(conf) << "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n";
        const std::string hosts = dir + "/hosts";
        std::ofstream(hosts) << "127.0.0.1 localhost\n127.1.0.20 board-19.example\n";
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
        mounted_ = ok_;
        ok_ = ok_ && mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
        hostsMounted_ = ok_;
        reader_ = std::thread([this] {
            char buf[512];
            pollfd p{fd_, POLLIN, 0};
            while (!stop_)
                if (poll(&p, 1, 100) > 0 && recv(fd_, buf, sizeof buf, 0) > 0)
                    queries_++;
        });
    }
    ~SilentNameServer()
    {
        stop_ = true;
        reader_.join();
        if (mounted_)
            umount2("/etc/resolv.conf", MNT_DETACH);
        if (hostsMounted_)
            umount2("/etc/hosts", MNT_DETACH);
        close(fd_);
    }
    bool ok() const { return ok_; }
    int queries() const { return queries_; }

private:
    int fd_ = -1;
    bool ok_ = false, mounted_ = false, hostsMounted_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::thread reader_;
};

TEST_F(Exporter, ANameServerThatNeverAnswersDelaysOnlyTheBoardsItShouldName)
{
    if (!privateMounts())
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    SilentNameServer dns(dir);
    ASSERT_TRUE(dns.ok()) << strerror(errno);
    startFleet(20);
    const std::string boards = dir + "/boards";
    std::ofstream file(boards);
    file << "slow-1.example=slow1\nslow-2.example=slow2\nboard-19.example=b19\n";
    for (int i = 0; i < 19; i++)
        file << "127.1.0." << i + 1 << "=b" << i << "\n";
    file.close();
    startExporter({"--boards", boards});
    // Ten seconds: the back-off asks again at 3 and 9 s; every scrape answers
    // within 3 s, and from the second one on every working board is up, the
    // one named in /etc/hosts too.
    std::string failed;
    std::string text;
    for (int second = 0; second < 10; second++) {
        const HttpReply r = httpGet(METRICS_PORT, "/metrics", 3000);
        text = r.body;
        int up = 0;
        for (int i = 0; i < 20; i++)
            up += metric(text, "vexo_up{board=\"b" + std::to_string(i) + "\"}") == 1;
        if (r.status != 200 || (second >= 2 && up != 20))
            failed += " " + std::to_string(second) + " (status " + std::to_string(r.status) + ", " +
                      std::to_string(up) + " up)";
        if (second == 4) { // slow2 dropped while its lookup is waiting
            std::ofstream(boards, std::ios::trunc) << "slow-1.example=slow1\nboard-19.example=b19\n";
            std::ofstream more(boards, std::ios::app);
            for (int i = 0; i < 19; i++)
                more << "127.1.0." << i + 1 << "=b" << i << "\n";
            more.close();
            kill(exporter.pid, SIGHUP);
        }
        waitFor([] { return false; }, 1000);
    }
    EXPECT_EQ(failed, "") << text;
    EXPECT_EQ(metric(text, "vexo_up{board=\"slow1\"}"), 0) << text;
    EXPECT_TRUE(std::isnan(metric(text, "vexo_up{board=\"slow2\"}"))) << text;
    EXPECT_EQ(metric(text, "vexo_exporter_boards"), 21);
    EXPECT_GE(dns.queries(), 2) << "the names were asked of the silent server";
    const std::string log = readFile(dir + "/exporter.txt");
    EXPECT_NE(log.find("vexo-exporter: SIGHUP: following 21 boards\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("cannot resolve"), std::string::npos) << "no answer yet is no failure: " << log;
    EXPECT_EQ(terminate(&exporter), 0) << "ends with a lookup still waiting";
}
