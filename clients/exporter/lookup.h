// Host lookups that never wait: a dotted quad is taken as it is, a name is
// looked up by getaddrinfo_a in the C library's own threads, and the caller
// asks now and then whether the answer has come. A name whose server never
// answers thus delays only the board that has it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <netdb.h>
#include <netinet/in.h>

// One lookup in progress. It must stay where it is until it has finished:
// the C library writes its answer into it.
struct FleetLookup {
    std::string host;
    addrinfo hints{};
    gaicb request{};
};

enum class FleetLookupState { pending, done, failed };

// The address of host (port filled in) at once when it is a dotted quad:
// true. Otherwise false, with *started a new lookup of it (nullptr when the
// lookup could not even be started: a failure).
bool fleetLookupStart(const std::string& host, int port, sockaddr_in* to, std::unique_ptr<FleetLookup>* started);

// Where the lookup stands; *to (port filled in) once it is done.
FleetLookupState fleetLookupPoll(FleetLookup* l, int port, sockaddr_in* to);

// Gives up a lookup: cancelled when the C library still can, else kept in
// *parked until it finishes (fleetLookupSweep frees it then).
void fleetLookupDrop(std::unique_ptr<FleetLookup> l, std::vector<std::unique_ptr<FleetLookup>>* parked);

// Frees the parked lookups that have finished.
void fleetLookupSweep(std::vector<std::unique_ptr<FleetLookup>>* parked);
