// The HTTP side of the exporter: /metrics served by civetweb from a fleet,
// streamed family by family with chunked transfer encoding.
#pragma once

#include <memory>
#include <string>

#include "fleet.h"

struct MetricsServer;

// Serves /metrics of fleet on listen ("ADDR:PORT") with two worker threads;
// nullptr (and *why) when the address cannot be used.
MetricsServer* metricsServerStart(const Fleet* fleet, const std::string& listen, std::string* why);

// Stops serving; waits for scrapes in progress.
void metricsServerStop(MetricsServer* s);
