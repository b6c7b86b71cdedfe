#include "clients/exporter/lookup.h"

#include <algorithm>

#include <arpa/inet.h>

bool fleetLookupStart(const std::string& host, int port, sockaddr_in* to, std::unique_ptr<FleetLookup>* started)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) == 1) {
        *to = a;
        return true;
    }
    auto l = std::make_unique<FleetLookup>();
    l->host = host;
    l->hints.ai_family = AF_INET;
    l->hints.ai_socktype = SOCK_DGRAM;
    l->request.ar_name = l->host.c_str();
    l->request.ar_request = &l->hints;
    gaicb* list[] = {&l->request};
    if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0)
        l.reset();
    *started = std::move(l);
    return false;
}

FleetLookupState fleetLookupPoll(FleetLookup* l, int port, sockaddr_in* to)
{
    const int rc = gai_error(&l->request);
    if (rc == EAI_INPROGRESS)
        return FleetLookupState::pending;
    addrinfo* res = l->request.ar_result;
    l->request.ar_result = nullptr;
    const bool found = rc == 0 && res != nullptr && res->ai_family == AF_INET;
    if (found) {
        *to = *reinterpret_cast<const sockaddr_in*>(res->ai_addr);
        to->sin_port = htons(static_cast<uint16_t>(port));
    }
    if (res != nullptr)
        freeaddrinfo(res);
    return found ? FleetLookupState::done : FleetLookupState::failed;
}

static bool finished(FleetLookup* l)
{
    if (gai_error(&l->request) == EAI_INPROGRESS)
        return false;
    if (l->request.ar_result != nullptr)
        freeaddrinfo(l->request.ar_result);
    l->request.ar_result = nullptr;
    return true;
}

void fleetLookupDrop(std::unique_ptr<FleetLookup> l, std::vector<std::unique_ptr<FleetLookup>>* parked)
{
    if (l == nullptr)
        return;
    if (gai_cancel(&l->request) == EAI_CANCELED || finished(l.get()))
        return;
    parked->push_back(std::move(l));
}

void fleetLookupSweep(std::vector<std::unique_ptr<FleetLookup>>* parked)
{
    parked->erase(std::remove_if(parked->begin(), parked->end(), [](auto& l) { return finished(l.get()); }),
                  parked->end());
}
