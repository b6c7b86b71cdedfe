// The fleet's metrics in the Prometheus text format: a collectable that the
// metrics server asks at each scrape. Every per-board series has the one
// label "board"; values are in base units (volts, amperes, celsius, seconds)
// or the board's raw counts, counters end in _total. Readings of a board are
// shown only while it is up; up, the telemetry age and the counters always.
#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include "fleet.h"

class FleetCollectable : public prometheus::Collectable {
public:
    explicit FleetCollectable(const Fleet* fleet) : fleet_(fleet) {}
    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    const Fleet* fleet_;
};

// The families of a snapshot taken at now (milliseconds of cliNowMs).
std::vector<prometheus::MetricFamily> fleetFamilies(const FleetSnapshot& snap, long long now);
