// The fleet view end to end: a real supervisor on the simulated board,
// vexo-exporter following it, the Prometheus server scraping the exporter
// and its alerts reaching a webhook through Alertmanager; vexo-mon beside
// the exporter, each with a lease of its own.
// All in this process's private network namespace, with a fake shutdown.
#include <csignal>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/http_helpers.h"
#include "tests/netns.h"
#include "tests/prometheus_helpers.h"
#include "tests/webhook_receiver.h"

class Fleet : public SupervisorTest {
protected:
    Background supervisor, exporter, prometheus, mon, alertmanager;

    void TearDown() override
    {
        stopProgram(&mon);
        stopProgram(&alertmanager);
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
    // Prometheus scraping the exporter every second with the repo's rules, then what follows.
    static std::string scrapeConfig(const std::string& more = "")
    {
        return "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files:\n  - " +
               std::string(VEXO_SOURCE_DIR) + "/dist/prometheus/vexo-alerts.yml\n" +
               "scrape_configs:\n  - job_name: vexo\n    static_configs:\n      - targets: ['127.0.0.1:" +
               std::to_string(METRICS_PORT) + "']\n" + more;
    }
};

TEST_F(Fleet, PrometheusScrapesTheExporterOfARealSupervisor)
{
    REQUIRE_SERVER(PROMETHEUS_SERVER, "prometheus");
    startChain();
    prometheus = startPrometheus(dir, "prometheus", PROMETHEUS_PORT, scrapeConfig());

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

TEST_F(Fleet, MonitorAndExporterEachKeepALeaseAndBothReceiveEverySecond)
{
    startChain();
    std::string text;
    ASSERT_TRUE(waitFor([&] { return metric(text = scrape(), "vexo_charge_locked{board=\"sim-board\"}") == 1; }, 10000))
        << text << readFile(dir + "/exporter.txt");
    const std::string datagrams = "vexo_telemetry_datagrams_total{board=\"sim-board\"}";
    const double before = metric(scrape(), datagrams);
    mon = startProgram({std::string(VEXO_BIN_DIR) + "/clients/vexo-mon", "--csv", "--seconds", "14", "127.0.0.1"}, {},
                       dir + "/mon.txt");
    ASSERT_TRUE(waitFor([&] { return !programRunning(&mon); }, 20000));
    EXPECT_EQ(mon.status, 0);
    text = scrape();
    // vexo-mon printed a row for every second, without a gap, and nothing on standard error.
    std::vector<long> seconds;
    std::istringstream in(readFile(dir + "/mon.txt"));
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("t,", 0) == 0)
            continue;
        EXPECT_TRUE(!l.empty() && l[0] >= '1' && l[0] <= '9') << l;
        seconds.push_back(std::atol(l.c_str()));
    }
    ASSERT_GE(seconds.size(), 12u) << readFile(dir + "/mon.txt");
    for (size_t i = 1; i < seconds.size(); i++)
        EXPECT_EQ(seconds[i], seconds[i - 1] + 1) << "row " << i;
    // The exporter meanwhile got every second as well, and never had to ask again.
    EXPECT_GE(metric(text, datagrams) - before, 13) << text;
    EXPECT_EQ(metric(text, "vexo_telemetry_reasks_total{board=\"sim-board\"}"), 0) << text;
    EXPECT_EQ(metric(text, "vexo_telemetry_takeovers_total{board=\"sim-board\"}"), 0) << text;
    EXPECT_EQ(readFile(dir + "/exporter.txt").find("board sim-board:"), std::string::npos)
        << readFile(dir + "/exporter.txt");
}

constexpr int ALERTMANAGER_PORT = 9093;
constexpr int WEBHOOK_PORT = 5001; // as in the example configuration

TEST_F(Fleet, OnBatteryReachesAWebhookThroughAlertmanagerFiringThenResolved)
{
    REQUIRE_SERVER(PROMETHEUS_SERVER, "prometheus");
    REQUIRE_SERVER(ALERTMANAGER_SERVER, "prometheus-alertmanager");
    WebhookReceiver hook(WEBHOOK_PORT);
    ASSERT_TRUE(hook.listening());
    // The example configuration as it is, but for its waits.
    std::string config = readFile(VEXO_SOURCE_DIR "/dist/prometheus/alertmanager.yml");
    ASSERT_EQ(replaceAll(&config, "group_wait: 30s", "group_wait: 1s"), 2);
    ASSERT_EQ(replaceAll(&config, "group_interval: 5m", "group_interval: 1s"), 2);
    std::ofstream(dir + "/alertmanager.yml") << config;
    const std::string am = "127.0.0.1:" + std::to_string(ALERTMANAGER_PORT);
    alertmanager = startProgram({ALERTMANAGER_SERVER, "--config.file=" + dir + "/alertmanager.yml",
                                 "--storage.path=" + dir + "/alertmanager", "--web.listen-address=" + am,
                                 "--cluster.listen-address=", "--log.level=warn"},
                                {}, dir + "/alertmanager.txt");
    startChain();
    prometheus =
        startPrometheus(dir, "prometheus", PROMETHEUS_PORT,
                        scrapeConfig("alerting:\n  alertmanagers:\n    - static_configs:\n"
                                     "        - targets: ['" +
                                     am + "']\n"),
                        // An alert evaluated before the notifier has found Alertmanager is dropped: sent again soon.
                        {"--rules.alert.resend-delay=2s"});
    auto logs = [&] {
        std::string got;
        for (const WebhookReceiver::Request& r : hook.requests())
            got += r.path + " " + r.body + "\n";
        return got + readFile(dir + "/alertmanager.txt") + readFile(dir + "/prometheus.txt");
    };

    // Inhibition, with alerts posted as a Prometheus would: a board without
    // telemetry, or behind an exporter that is down, pages for that alone.
    ASSERT_TRUE(waitFor([&] { return httpGet(ALERTMANAGER_PORT, "/-/ready").status == 200; }, 10000)) << logs();
    const std::string posted = R"([{"labels":{"alertname":"VexoTelemetryMissing","board":"quiet","job":"vexo"}},
        {"labels":{"alertname":"VexoOnBattery","board":"quiet","job":"vexo"}},
        {"labels":{"alertname":"VexoOnBattery","board":"heard","job":"vexo"}},
        {"labels":{"alertname":"VexoExporterDown","job":"vexo","instance":"e9:4001"}},
        {"labels":{"alertname":"VexoChargeNotLocked","board":"far","job":"vexo","instance":"e9:4001"}}])";
    ASSERT_EQ(httpRequest("POST", ALERTMANAGER_PORT, "/api/v2/alerts", posted).status, 200);
    std::string inhibited;
    ASSERT_TRUE(waitFor(
        [&] {
            inhibited = httpGet(ALERTMANAGER_PORT,
                                "/api/v2/alerts?active=false&silenced=false&unprocessed=false&inhibited=true")
                            .body;
            return inhibited.find("\"far\"") != std::string::npos && inhibited.find("\"quiet\"") != std::string::npos;
        },
        10000))
        << inhibited;
    EXPECT_EQ(inhibited.find("heard"), std::string::npos) << inhibited;
    EXPECT_EQ(inhibited.find("VexoTelemetryMissing"), std::string::npos) << inhibited;
    EXPECT_EQ(inhibited.find("VexoExporterDown"), std::string::npos) << inhibited;

    // The watchdog takes its own route; then the supervisor's board.
    ASSERT_TRUE(waitFor([&] { return !hook.find("/watchdog", {"\"alertname\":\"VexoWatchdog\""}).empty(); }, 20000))
        << logs();
    ASSERT_TRUE(waitFor([&] { return prometheusValue("vexo_charge_locked{board=\"sim-board\"}") == 1; }, 30000))
        << logs() << readFile(dir + "/exporter.txt");
    simSetLinePower(sim, false); // the simulator's "battery" command
    const std::vector<std::string> firing = {
        R"("receiver":"vexo-webhook","status":"firing","alerts":[{"status":"firing","labels":{"alertname":"VexoOnBattery","board":"sim-board",)",
        R"("groupLabels":{"board":"sim-board"})"};
    std::string payload;
    ASSERT_TRUE(waitFor([&] { return !(payload = hook.find("/vexo", firing)).empty(); }, 30000)) << logs();
    printf("webhook, on battery: %s\n", payload.c_str());
    EXPECT_NE(payload.find(R"("summary":"Board sim-board runs on its battery")"), std::string::npos) << payload;

    simSetLinePower(sim, true); // "line"
    const std::vector<std::string> resolved = {
        R"("receiver":"vexo-webhook","status":"resolved","alerts":[{"status":"resolved","labels":{"alertname":"VexoOnBattery","board":"sim-board",)"};
    ASSERT_TRUE(waitFor([&] { return !(payload = hook.find("/vexo", resolved)).empty(); }, 30000)) << logs();
    printf("webhook, on line again: %s\n", payload.c_str());

    // Of the posted alerts, the board heard from paged, the quiet one only for its silence.
    EXPECT_NE(hook.find("/vexo", {R"("alertname":"VexoOnBattery","board":"heard")"}), "");
    EXPECT_NE(hook.find("/vexo", {R"("alertname":"VexoTelemetryMissing","board":"quiet")"}), "");
    EXPECT_EQ(hook.find("/vexo", {R"("alertname":"VexoOnBattery","board":"quiet")"}), "");
    EXPECT_EQ(hook.find("/vexo", {R"("board":"far")"}), "");
    EXPECT_EQ(readFile(shutdownLog), "") << "no --shutdown: nothing was shut down";
}
