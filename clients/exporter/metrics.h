// The fleet's metrics in the Prometheus text format, written one metric
// family at a time, and a large family a slice of boards at a time, so that
// a scrape of a large fleet never holds more than one slice's series. Every per-board series has the one label "board";
// values are in base units (volts, amperes, celsius, seconds) or the board's
// raw counts, counters end in _total. Readings of a board are shown only
// while it is up; up, the telemetry age and the counters always.
#pragma once

#include <string>
#include <vector>

#include <prometheus/metric_family.h>

#include "clients/exporter/fleet.h"

// Families a scrape writes.
std::size_t fleetFamilyCount();

// Family i (below fleetFamilyCount()) of a snapshot taken at now
// (milliseconds of clockNowMs).
prometheus::MetricFamily fleetFamily(const FleetSnapshot& snap, std::size_t i, long long now);

// Boards whose series are built and written at a time.
constexpr std::size_t METRICS_SLICE = 1000;

// Receives the text of one family, or of one slice of its boards.
using MetricsWriteFunc = bool (*)(const std::string& text, void* data);

// Writes every family of the snapshot in the text format, one call of write
// for each slice of METRICS_SLICE boards, until write returns false; false
// then. The text is that of the whole families serialized at once.
bool fleetWriteMetrics(const FleetSnapshot& snap, long long now, MetricsWriteFunc write, void* data);
