#include "clients/exporter/metrics.h"

#include <algorithm>

#include <prometheus/text_serializer.h>

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

namespace {

double flag(byte flags, byte mask) { return (flags & mask) != 0 ? 1.0 : 0.0; }

// One per-board series: its name, help, type, whether it needs the board up,
// and its value.
struct BoardMetric {
    const char* name;
    const char* help;
    MetricType type;
    bool readings; // a reading of the board, shown while it is up
    double (*value)(const FleetRow& r, long long now);
};

const BoardMetric boardMetrics[] = {
    {"vexo_up", "1 while telemetry from the board is at most 5 s old", MetricType::Gauge, false,
     [](const FleetRow& r, long long now) { return fleetRowUp(r, now) ? 1.0 : 0.0; }},
    {"vexo_telemetry_age_seconds", "Seconds since the last telemetry (since the board was added when none came)",
     MetricType::Gauge, false,
     [](const FleetRow& r, long long now) { return static_cast<double>(now - r.lastHeardMs) / 1000.0; }},
    {"vexo_telemetry_datagrams_total", "Telemetry datagrams received", MetricType::Counter, false,
     [](const FleetRow& r, long long) { return static_cast<double>(r.datagrams); }},
    {"vexo_telemetry_malformed_total", "Datagrams from the board of the wrong size or with numbers not finite",
     MetricType::Counter, false, [](const FleetRow& r, long long) { return static_cast<double>(r.malformed); }},
    {"vexo_telemetry_reasks_total", "Requests for telemetry sent again after a silence", MetricType::Counter, false,
     [](const FleetRow& r, long long) { return static_cast<double>(r.reasks); }},
    {"vexo_telemetry_takeovers_total",
     "Silences right after steady telemetry: another subscriber most likely took the telemetry over",
     MetricType::Counter, false, [](const FleetRow& r, long long) { return static_cast<double>(r.takeovers); }},
    {"vexo_battery_volts", "Battery voltage, smoothed over the last second", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return static_cast<double>(r.info.battV); }},
    {"vexo_battery_amperes", "Battery current, smoothed over the last second (negative: discharging)",
     MetricType::Gauge, true, [](const FleetRow& r, long long) { return r.info.battI / 1e6; }},
    {"vexo_temperature_celsius", "Board temperature", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return (static_cast<double>(r.info.tempF) - 32.0) / 1.8; }},
    {"vexo_pwm_low_counts", "Mean PWM low time over the last second, timer counts", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return static_cast<double>(r.info.pwmlo); }},
    {"vexo_pwm_period_counts", "PWM period, timer counts", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return static_cast<double>(r.info.pwmt); }},
    {"vexo_supply_adc_counts", "Supply voltage, raw ADC counts", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return static_cast<double>(r.info.supplyV); }},
    {"vexo_regulated_adc_counts", "Regulated voltage, raw ADC counts", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return static_cast<double>(r.info.regV); }},
    {"vexo_on_battery", "1 while the board runs on its battery (line power failed)", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags1, vexoFlag1::onbatt); }},
    {"vexo_charge_locked", "1 while the supervisor holds the current at its target", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags2, vexoFlag2::locked); }},
    {"vexo_output_pwm1", "1 while PWM1 is enabled (the supervisor is charging)", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags1, vexoFlag1::pwm1en); }},
    {"vexo_output_pwm2", "1 while PWM2 is enabled", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags1, vexoFlag1::pwm2en); }},
    {"vexo_output_offset", "1 while the offset is enabled", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags1, vexoFlag1::offset); }},
    {"vexo_output_opamp", "1 while the op amp is enabled", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags1, vexoFlag1::opamp); }},
    {"vexo_output_buck", "1 while the buck converter is enabled", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags1, vexoFlag1::buck); }},
    {"vexo_output_led", "1 while the LED is lit", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags1, vexoFlag1::led); }},
    {"vexo_output_jp3", "1 while JP3 is on", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags1, vexoFlag1::jp3); }},
    {"vexo_output_soft_jp3", "1 while the soft JP3 is on", MetricType::Gauge, true,
     [](const FleetRow& r, long long) { return flag(r.info.flags2, vexoFlag2::softJP3); }},
};

MetricFamily family(const char* name, const char* help, MetricType type)
{
    MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

void setValue(ClientMetric* m, MetricType type, double v)
{
    if (type == MetricType::Counter)
        m->counter.value = v;
    else
        m->gauge.value = v;
}

} // namespace

std::size_t fleetFamilyCount() { return std::size(boardMetrics) + 2; }

// The series of family i for the boards [from, to) of the snapshot (the
// family's one series when it is the exporter's own).
static MetricFamily familySlice(const FleetSnapshot& snap, std::size_t i, long long now, std::size_t from,
                                std::size_t to)
{
    if (i < std::size(boardMetrics)) {
        const BoardMetric& bm = boardMetrics[i];
        MetricFamily f = family(bm.name, bm.help, bm.type);
        f.metric.reserve(to - from);
        for (size_t b = from; b < to; b++) {
            if (bm.readings && !fleetRowUp(snap.rows[b], now))
                continue;
            ClientMetric m;
            m.label.push_back(ClientMetric::Label{"board", snap.labels[b]});
            setValue(&m, bm.type, bm.value(snap.rows[b], now));
            f.metric.push_back(std::move(m));
        }
        return f;
    }
    const bool boards = i == std::size(boardMetrics);
    MetricFamily f = boards ? family("vexo_exporter_boards", "Boards this exporter follows", MetricType::Gauge)
                            : family("vexo_exporter_stray_datagrams_total",
                                     "Datagrams received from addresses that are no board", MetricType::Counter);
    f.metric.emplace_back();
    setValue(&f.metric.back(), f.type, static_cast<double>(boards ? snap.rows.size() : snap.strays));
    return f;
}

MetricFamily fleetFamily(const FleetSnapshot& snap, std::size_t i, long long now)
{
    return familySlice(snap, i, now, 0, snap.rows.size());
}

bool fleetWriteMetrics(const FleetSnapshot& snap, long long now, MetricsWriteFunc write, void* data)
{
    // A family of a large fleet is built and written a slice of boards at a
    // time: the series of a whole family would take some hundred bytes a
    // board. Every slice's text after the first loses its HELP and TYPE lines
    // (the first two: the serializer escapes line ends in the help text).
    const prometheus::TextSerializer text;
    const std::size_t boards = snap.rows.size();
    for (std::size_t i = 0; i < fleetFamilyCount(); i++) {
        const bool perBoard = i < std::size(boardMetrics);
        std::size_t from = 0;
        do {
            const std::size_t to = perBoard ? std::min(boards, from + METRICS_SLICE) : boards;
            std::string t = text.Serialize({familySlice(snap, i, now, from, to)});
            if (from > 0)
                t.erase(0, t.find('\n', t.find('\n') + 1) + 1);
            if (!t.empty() && !write(t, data))
                return false;
            from = to;
        } while (from < boards);
    }
    return true;
}
