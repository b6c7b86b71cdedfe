// The fleet view end to end: a real supervisor on the simulated board,
// vexo-exporter following it, and the Prometheus server scraping the
// exporter; vexo-mon and the exporter taking the telemetry from each other.
// All in this process's private network namespace, with a fake shutdown.
#include <csignal>
#include <fstream>

#include <gtest/gtest.h>

#include "helpers.h"
#include "http_helpers.h"
#include "netns.h"

constexpr int PROMETHEUS_PORT = 9090;

static std::string urlEncode(const std::string& s)
{
    std::string out;
    char buf[4];
    for (const unsigned char c : s) {
        if (std::isalnum(c) || c == '_' || c == '.' || c == '-') {
            out += static_cast<char>(c);
        } else {
            snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

// The value of an instant query that returns one series, or NaN.
static double prometheusValue(const std::string& query)
{
    // One series: ..."value":[1765200000.123,"0.2504"]...
    const HttpReply r = httpGet(PROMETHEUS_PORT, "/api/v1/query?query=" + urlEncode(query));
    const size_t at = r.body.find("\"value\":[");
    const size_t quote = at == std::string::npos ? at : r.body.find(",\"", at);
    if (r.status != 200 || quote == std::string::npos)
        return std::nan("");
    return std::atof(r.body.c_str() + quote + 2);
}

class Fleet : public SupervisorTest {
protected:
    Background supervisor, exporter, prometheus, mon;

    void TearDown() override
    {
        stopProgram(&mon);
        stopProgram(&prometheus);
        stopProgram(&exporter);
        stopProgram(&supervisor);
        SupervisorTest::TearDown();
    }
    void startChain()
    {
        supervisor = startVexo({"--charge", "250"}, "sup.txt");
        exporter = startProgram(
            {exporterPath(), "--listen", "127.0.0.1:" + std::to_string(METRICS_PORT), "127.0.0.1=sim-board"}, {},
            dir + "/exporter.txt");
    }
    std::string scrape() { return httpGet(METRICS_PORT, "/metrics").body; }
};

TEST_F(Fleet, PrometheusScrapesTheExporterOfARealSupervisor)
{
    const char* server = "/usr/bin/prometheus";
    if (access(server, X_OK) != 0) {
        if (getenv("CI") != nullptr)
            FAIL() << server << " is missing: tools/deps.sh installs the package prometheus";
        GTEST_SKIP() << "needs the Prometheus server (Debian package prometheus; tools/deps.sh installs it)";
    }
    startChain();
    std::ofstream(dir + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
        << "rule_files:\n  - " << VEXO_SOURCE_DIR << "/dist/prometheus/vexo-alerts.yml\n"
        << "scrape_configs:\n  - job_name: vexo\n    static_configs:\n      - targets: ['127.0.0.1:" << METRICS_PORT
        << "']\n";
    prometheus =
        startProgram({server, "--config.file=" + dir + "/prometheus.yml", "--storage.tsdb.path=" + dir + "/data",
                      "--web.listen-address=127.0.0.1:" + std::to_string(PROMETHEUS_PORT), "--log.level=warn"},
                     {}, dir + "/prometheus.txt");

    const std::string locked = "vexo_charge_locked{board=\"sim-board\",job=\"vexo\"}";
    ASSERT_TRUE(waitFor([&] { return prometheusValue(locked) == 1; }, 30000))
        << readFile(dir + "/prometheus.txt") << readFile(dir + "/exporter.txt");
    // The current as Prometheus stored it, near the target.
    ASSERT_TRUE(
        waitFor([&] { return std::abs(prometheusValue("vexo_battery_amperes{board=\"sim-board\"}") - 0.250) <= 0.003; },
                10000));
    EXPECT_EQ(prometheusValue("vexo_on_battery{board=\"sim-board\"}"), 0);
    EXPECT_EQ(prometheusValue("up{job=\"vexo\"}"), 1);

    simSetLinePower(sim, false); // the simulator's "battery" command
    ASSERT_TRUE(waitFor([&] { return prometheusValue("vexo_on_battery{board=\"sim-board\"}") == 1; }, 10000));
    // The rule file is loaded and its alert on the way.
    ASSERT_TRUE(waitFor(
        [&] { return prometheusValue("count(ALERTS{alertname=\"VexoOnBattery\",board=\"sim-board\"})") == 1; }, 10000));
    EXPECT_EQ(readFile(shutdownLog), "") << "no --shutdown: nothing was shut down";
}

TEST_F(Fleet, MonitorAndExporterTakeTheTelemetryFromEachOtherOnlyAtTheirBackOff)
{
    startChain();
    std::string text;
    ASSERT_TRUE(waitFor([&] { return metric(text = scrape(), "vexo_charge_locked{board=\"sim-board\"}") == 1; }, 10000))
        << text << readFile(dir + "/exporter.txt");
    waitFor([] { return false; }, 3000); // steady telemetry to the exporter
    mon = startProgram({std::string(VEXO_BIN_DIR) + "/tools/vexo-mon", "--csv", "127.0.0.1"}, {}, dir + "/mon.txt");
    const std::string said = "vexo-mon: telemetry from 127.0.0.1 stopped right after arriving steadily; another "
                             "subscriber may have taken it over (asking again with a back-off up to 60 s)\n";
    ASSERT_TRUE(waitFor(
        [&] {
            text = scrape();
            return metric(text, "vexo_telemetry_takeovers_total{board=\"sim-board\"}") >= 1 &&
                   readFile(dir + "/mon.txt").find(said) != std::string::npos;
        },
        25000))
        << text << readFile(dir + "/mon.txt");
    EXPECT_NE(readFile(dir + "/exporter.txt")
                  .find("vexo-exporter: board sim-board: telemetry stopped right after arriving steadily; another "
                        "subscriber may have taken it over\n"),
              std::string::npos);
    // Within these seconds each asked back at 3 s, then 6 s, then 12 s at the most.
    EXPECT_LE(metric(text, "vexo_telemetry_reasks_total{board=\"sim-board\"}"), 3) << text;
    const std::string monText = readFile(dir + "/mon.txt");
    size_t asks = 0;
    for (size_t at = 0; (at = monText.find("asking 127.0.0.1 again", at)) != std::string::npos; at++)
        asks++;
    EXPECT_LE(asks, 3u) << monText;
}
