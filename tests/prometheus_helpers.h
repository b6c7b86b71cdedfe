// The monitoring servers in the tests: Debian's Prometheus and Alertmanager
// found (or the test skipped, failed under CI), Prometheus started on
// loopback with its data in the test's directory, what the tests read of
// its query API, and the edits they make to the example configurations.
#pragma once

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/helpers.h"
#include "tests/http_helpers.h"

constexpr const char* PROMETHEUS_SERVER = "/usr/bin/prometheus";
constexpr const char* ALERTMANAGER_SERVER = "/usr/bin/prometheus-alertmanager";
constexpr int PROMETHEUS_PORT = 9090;

// Ends the test when the server program is missing: a failure under CI,
// which installs it, a skip elsewhere. PACKAGE is a string literal.
#define REQUIRE_SERVER(path, package)                                                                                  \
    do {                                                                                                               \
        if (access(path, X_OK) != 0) {                                                                                 \
            if (getenv("CI") != nullptr)                                                                               \
                FAIL() << (path) << " is missing: tools/deps.sh installs the package " package;                        \
            GTEST_SKIP() << "needs " << (path) << " (Debian package " package "; tools/deps.sh installs it)";          \
        }                                                                                                              \
    } while (0)

inline std::string urlEncode(const std::string& s)
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

// Replaces every from in *s by to; returns how many (the tests edit the
// example configurations with it and check that each edit applied).
inline int replaceAll(std::string* s, const std::string& from, const std::string& to)
{
    int n = 0;
    for (size_t at = 0; (at = s->find(from, at)) != std::string::npos; at += to.size(), n++)
        s->replace(at, from.size(), to);
    return n;
}

// Prometheus with the configuration text on 127.0.0.1:port, its files
// dir/NAME.yml, dir/NAME-data and its log dir/NAME.txt.
inline Background startPrometheus(const std::string& dir, const std::string& name, int port, const std::string& config,
                                  const std::vector<std::string>& extra = {})
{
    std::ofstream(dir + "/" + name + ".yml") << config;
    std::vector<std::string> argv = {PROMETHEUS_SERVER, "--config.file=" + dir + "/" + name + ".yml",
                                     "--storage.tsdb.path=" + dir + "/" + name + "-data",
                                     "--web.listen-address=127.0.0.1:" + std::to_string(port), "--log.level=warn"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return startProgram(argv, {}, dir + "/" + name + ".txt");
}

// One series of an instant query's result: its labels as Prometheus wrote
// them ("__name__":"up","job":"vexo") and its value.
struct PromSeries {
    std::string labels;
    double value = 0;
};

// The result of an instant query; empty when it failed or found nothing.
inline std::vector<PromSeries> prometheusSeries(const std::string& query, int port = PROMETHEUS_PORT)
{
    // ..."result":[{"metric":{"board":"a"},"value":[1765200000.123,"0.2504"]},...]
    std::vector<PromSeries> out;
    const HttpReply r = httpGet(port, "/api/v1/query?query=" + urlEncode(query));
    if (r.status != 200)
        return out;
    for (size_t at = 0; (at = r.body.find("{\"metric\":{", at)) != std::string::npos;) {
        at += 11;
        const size_t end = r.body.find('}', at);
        const size_t value = r.body.find("\"value\":[", end);
        const size_t quote = value == std::string::npos ? value : r.body.find(",\"", value);
        if (end == std::string::npos || quote == std::string::npos)
            break;
        out.push_back({r.body.substr(at, end - at), std::atof(r.body.c_str() + quote + 2)});
    }
    return out;
}

// The value of an instant query that returns one series, or NaN.
inline double prometheusValue(const std::string& query, int port = PROMETHEUS_PORT)
{
    const std::vector<PromSeries> series = prometheusSeries(query, port);
    return series.size() == 1 ? series[0].value : std::nan("");
}

// The value of label name in a series' labels ("" when it has none).
inline std::string labelOf(const PromSeries& s, const std::string& name)
{
    const std::string key = "\"" + name + "\":\"";
    const size_t at = s.labels.find(key);
    return at == std::string::npos
               ? ""
               : s.labels.substr(at + key.size(), s.labels.find('"', at + key.size()) - at - key.size());
}
