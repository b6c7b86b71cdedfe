// The fleet across sites: two site Prometheus servers, each scraping its own
// exporter that follows its slice of the simulated boards, evaluating the
// alert rules and writing every sample to a central Prometheus (the
// remote-write receiver on); the dashboard's every query asked there.
#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/http_helpers.h"
#include "tests/prometheus_helpers.h"

constexpr int CENTRE_PORT = 9190;

struct Site {
    const char* name;
    int exporterPort, prometheusPort;
    const char* boards; // HOST=LABEL of its slice of the fleet
};
constexpr Site SITES[] = {
    {"north", 4001, 9091, "127.1.0.1=n1 127.1.0.2=n2 127.1.0.3=n3"},
    {"south", 4002, 9092, "127.1.0.4=s1 127.1.0.5=s2 127.1.0.6=s3"},
};

// The value of every "expr" of a dashboard's JSON text, unescaped.
static std::vector<std::string> panelQueries(const std::string& json)
{
    std::vector<std::string> out;
    for (size_t at = 0; (at = json.find("\"expr\"", at)) != std::string::npos;) {
        at = json.find('"', json.find(':', at + 6)) + 1;
        std::string expr;
        for (; at < json.size() && json[at] != '"'; at++) {
            if (json[at] == '\\')
                at++; // the dashboard's queries hold only \" and \\ escapes
            expr += json[at];
        }
        out.push_back(expr);
    }
    return out;
}

class Sites : public ::testing::Test {
protected:
    TempDir tmp;
    std::string dir = tmp.path();
    Background fleet, centre, exporters[2], prometheus[2];
    int control = -1; // the write end of the fleet simulator's standard input

    void TearDown() override
    {
        for (Background& p : prometheus)
            stopProgram(&p);
        stopProgram(&centre);
        for (Background& e : exporters)
            stopProgram(&e);
        stopProgram(&fleet);
        if (control >= 0)
            close(control);
    }
    // vexo-fleet-sim with six boards, every third on battery, reading its
    // commands from a FIFO that this test holds open.
    void startFleet()
    {
        const std::string fifo = dir + "/fleet-control";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        control = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(control, 0);
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" < \"$FLEET_CONTROL\"", "sh"};
        for (const std::string& w : programCommand("vexo-fleet-sim"))
            argv.push_back(w);
        for (const char* w : {"--boards", "6", "--on-battery", "3"})
            argv.push_back(w);
        fleet = startProgram(argv, {"FLEET_CONTROL=" + fifo}, dir + "/fleet.txt");
    }
    // The example site configuration, scraping every second and writing to the centre.
    static std::string siteConfig(const Site& s)
    {
        std::string c = readFile(VEXO_SOURCE_DIR "/dist/prometheus/site.yml");
        const std::string local = "127.0.0.1:";
        const bool all =
            replaceAll(&c, "_interval: 15s", "_interval: 1s") == 2 &&
            replaceAll(&c, "scrape_timeout: 10s", "scrape_timeout: 1s") == 1 &&
            replaceAll(&c, "site: north", std::string("site: ") + s.name) == 1 &&
            replaceAll(&c, "- vexo-alerts.yml", "- " VEXO_SOURCE_DIR "/dist/prometheus/vexo-alerts.yml") == 1 &&
            replaceAll(&c, "alertmanager.north.example:9093", local + "9093") == 1 &&
            replaceAll(&c, "exporter-1.north.example:4001", local + std::to_string(s.exporterPort)) == 1 &&
            replaceAll(&c, "batch_send_deadline: 5s", "batch_send_deadline: 1s") == 1 &&
            replaceAll(&c, "central.example:9090", local + std::to_string(CENTRE_PORT)) == 1;
        return all ? c : "";
    }
    std::string logs()
    {
        std::string all;
        for (const char* f : {"centre", "north", "south", "fleet", "exporter-north", "exporter-south"})
            all += readFile(dir + "/" + f + ".txt");
        return all;
    }
};

// "site/board=value" of every series of a query at the centre, sorted.
static std::string bySiteAndBoard(const std::string& query)
{
    std::vector<std::string> rows;
    for (const PromSeries& s : prometheusSeries(query, CENTRE_PORT)) {
        char value[32];
        snprintf(value, sizeof value, "%g", s.value);
        rows.push_back(labelOf(s, "site") + "/" + labelOf(s, "board") + "=" + value);
    }
    std::sort(rows.begin(), rows.end());
    std::string out;
    for (const std::string& r : rows)
        out += (out.empty() ? "" : " ") + r;
    return out;
}

TEST_F(Sites, TheCentreHoldsBothSitesBoardsAndABoardOnBatteryAtOneSiteShowsThere)
{
    REQUIRE_SERVER(PROMETHEUS_SERVER, "prometheus");
    startFleet();
    centre = startPrometheus(dir, "centre", CENTRE_PORT, "global:\n  scrape_interval: 15s\n",
                             {"--web.enable-remote-write-receiver"});
    for (int i = 0; i < 2; i++) {
        const Site& s = SITES[i];
        std::vector<std::string> argv = {exporterPath(), "--listen", "127.0.0.1:" + std::to_string(s.exporterPort)};
        for (std::string b = s.boards; !b.empty();) {
            const size_t sp = b.find(' ');
            argv.push_back(b.substr(0, sp));
            b = sp == std::string::npos ? "" : b.substr(sp + 1);
        }
        exporters[i] = startProgram(argv, {}, dir + "/exporter-" + s.name + ".txt");
        const std::string config = siteConfig(s);
        ASSERT_NE(config, "") << "dist/prometheus/site.yml changed: the test's edits no longer apply";
        prometheus[i] = startPrometheus(dir, s.name, s.prometheusPort, config);
    }

    // Every board of both sites at the centre with its site label; every
    // third board (n1, s1) on battery.
    std::string up, onBattery;
    ASSERT_TRUE(waitFor(
        [&] {
            return (up = bySiteAndBoard("vexo_up")) ==
                   "north/n1=1 north/n2=1 north/n3=1 south/s1=1 south/s2=1 south/s3=1";
        },
        30000))
        << up << "\n"
        << logs();
    ASSERT_TRUE(waitFor(
        [&] {
            return (onBattery = bySiteAndBoard("vexo_on_battery")) ==
                   "north/n1=1 north/n2=0 north/n3=0 south/s1=1 south/s2=0 south/s3=0";
        },
        10000))
        << onBattery;
    printf("centre, vexo_on_battery: %s\n", httpGet(CENTRE_PORT, "/api/v1/query?query=vexo_on_battery").body.c_str());

    // s2 at the south site loses line power.
    const auto cut = std::chrono::steady_clock::now();
    const std::string command = "battery 127.1.0.5\n";
    ASSERT_EQ(write(control, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    const std::string s2 = "vexo_on_battery{site=\"south\",board=\"s2\"}";
    ASSERT_TRUE(waitFor([&] { return prometheusValue(s2, CENTRE_PORT) == 1; }, 30000)) << logs();
    printf("s2 on battery at the centre after %.1f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - cut).count());
    EXPECT_EQ(bySiteAndBoard("vexo_on_battery == 1"), "north/n1=1 south/s1=1 south/s2=1");

    // The alert was evaluated at the site, and its state written to the centre too.
    ASSERT_TRUE(waitFor(
        [&] {
            return prometheusValue(
                       "ALERTS{alertname=\"VexoOnBattery\",alertstate=\"firing\",site=\"south\",board=\"s2\"}",
                       CENTRE_PORT) == 1;
        },
        30000));
    // Every query of the dashboard answers at the centre, its variables at their defaults.
    const std::vector<std::string> queries = panelQueries(readFile(VEXO_SOURCE_DIR "/dist/grafana/vexo-fleet.json"));
    ASSERT_EQ(queries.size(), 10u);
    for (std::string q : queries) {
        replaceAll(&q, "$site", ".*");
        replaceAll(&q, "$board", ".*");
        replaceAll(&q, "$target", "0.25");
        replaceAll(&q, "$__range", "1h");
        // (the time on battery counts 15 s steps: data for one at least)
        EXPECT_TRUE(waitFor([&] { return !prometheusSeries(q, CENTRE_PORT).empty(); }, 15000)) << q;
    }
    EXPECT_EQ(prometheusValue("count(vexo_on_battery{site=~\".*\",board=~\".*\"} == 1) or vector(0)", CENTRE_PORT), 3);

    EXPECT_TRUE(programRunning(&fleet)) << readFile(dir + "/fleet.txt");
}
