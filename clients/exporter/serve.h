// The HTTP side of the exporter: /metrics served by civetweb from a fleet,
// streamed family by family with chunked transfer encoding, gzip-compressed
// when the client asks. GET and HEAD of /metrics and / only: 404 for any
// other path, 405 for any other method.
#pragma once

#include <memory>
#include <string>

#include "clients/exporter/fleet.h"

// The exporter's name, at the head of its messages and of its root page.
constexpr char EXPORTER_NAME[] = "vexo-exporter";

struct MetricsServer;

// Serves /metrics of fleet on listen ("ADDR:PORT") with enough workers
// and short enough time-outs that slow clients cannot hold every worker;
// nullptr (and *why) when the address cannot be used.
MetricsServer* metricsServerStart(const Fleet* fleet, const std::string& listen, std::string* why);

// Stops serving; waits for scrapes in progress.
void metricsServerStop(MetricsServer* s);
