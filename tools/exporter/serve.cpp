#include "serve.h"

#include <exception>
#include <vector>

#include <CivetServer.h>

#include "cli.h"
#include "metrics.h"

// The content type of the text format, version 0.0.4.
static const char METRICS_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

class MetricsHandler : public CivetHandler {
public:
    explicit MetricsHandler(const Fleet* fleet) : fleet_(fleet) {}

    bool handleGet(CivetServer*, mg_connection* conn) override
    {
        FleetSnapshot snap;
        fleetSnapshot(fleet_, &snap);
        if (mg_send_http_ok(conn, METRICS_TYPE, -1) < 0)
            return true;
        const bool whole = fleetWriteMetrics(
            snap, cliNowMs(),
            [](const std::string& text, void* data) {
                auto* c = static_cast<mg_connection*>(data);
                return mg_send_chunk(c, text.data(), static_cast<unsigned>(text.size())) > 0;
            },
            conn);
        if (whole)
            mg_send_chunk(conn, "", 0);
        return true;
    }

private:
    const Fleet* fleet_;
};

struct MetricsServer {
    std::unique_ptr<CivetServer> server;
    std::unique_ptr<MetricsHandler> handler;
};

MetricsServer* metricsServerStart(const Fleet* fleet, const std::string& listen, std::string* why)
{
    auto s = std::make_unique<MetricsServer>();
    s->handler = std::make_unique<MetricsHandler>(fleet);
    const std::vector<std::string> options = {"listening_ports", listen, "num_threads", "2"};
    try {
        s->server = std::make_unique<CivetServer>(options);
    } catch (const std::exception& e) {
        *why = e.what();
        return nullptr;
    }
    s->server->addHandler("/metrics", s->handler.get());
    return s.release();
}

void metricsServerStop(MetricsServer* s)
{
    if (s == nullptr)
        return;
    s->server->close();
    delete s;
}
