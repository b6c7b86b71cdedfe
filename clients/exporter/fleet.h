// The boards one exporter follows, and their telemetry.
//
// Each board is a host (name or dotted quad) with an optional label, the
// value of the "board" label of its metrics. One UDP socket asks every board
// for a telemetry lease (MonLease; command 1 when the board does not answer
// the lease commands) and receives it; a datagram is matched to its board by
// the sender's address. A board that stays silent is asked again with the
// back-off of MonSubscription; a name that does not resolve is tried again
// on the same schedule. Names are looked up without waiting (lookup.h): a
// slow name server delays only the boards it should name. Every board's
// lease ends (and command 2 goes to one that was asked with command 1) when
// it is dropped from the list and when the exporter ends.
//
// The main thread owns a Fleet; fleetSnapshot may be called from any thread
// (the metrics server's), it takes the lock for one copy of plain data.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <netinet/in.h>

#include "clients/common/lease.h"
#include "clients/exporter/lookup.h"
#include "clients/common/telemetry.h"

// A board is up while its telemetry is at most this old.
constexpr long long FLEET_UP_MS = 5000;
// Most datagrams one fleetReceive reads before the caller gets control back.
constexpr int FLEET_RECEIVE_BATCH = 4096;

// One entry of the boards list.
struct FleetEntry {
    std::string host;  // name or dotted quad of the supervisor
    std::string label; // value of the board label (the host when none is given)
    int line = 0;      // its line in the boards file; 0 when given on the command line
};

// "HOST" or "HOST=LABEL" into *out; false (and *why) for an empty host,
// an empty label, a label that is not UTF-8, or characters that cannot be
// in a host name.
bool fleetParseEntry(const std::string& text, FleetEntry* out, std::string* why);

// The entries of a boards file: one entry a line, blank lines and lines
// starting with '#' skipped. False (and *why, with the line number) when the
// file cannot be read, a line is not an entry, or a label is that of another
// board; *out is then left alone.
bool fleetReadFile(const char* path, std::vector<FleetEntry>* out, std::string* why);

// False (and *why, naming the line of file or the command line) when two
// different hosts have the same label: their series could not be told apart.
// The same host given twice is one board and no clash.
bool fleetLabelsDistinct(const std::vector<FleetEntry>& entries, const char* file, std::string* why);

// What the metrics show of a board: plain data, copied for each scrape.
struct FleetRow {
    std::uint32_t addr = 0;      // IPv4 address, network order; 0 while unresolved
    bool heard = false;          // telemetry has arrived since the board was added
    long long lastHeardMs = 0;   // when the last good telemetry arrived (or the board was added)
    vexoInfo info{};             // the last good telemetry
    std::uint64_t datagrams = 0; // good telemetry datagrams
    std::uint64_t malformed = 0; // datagrams from the board of the wrong size or with numbers not finite
    std::uint64_t reasks = 0;    // command 1 sent again after a silence
    std::uint64_t takeovers = 0; // silences right after steady telemetry
};

// True while the row's telemetry is at most FLEET_UP_MS old at now.
inline bool fleetRowUp(const FleetRow& r, long long now) { return r.heard && now - r.lastHeardMs <= FLEET_UP_MS; }

struct FleetBoard {
    FleetEntry entry;
    FleetRow row;
    MonLease sub{};
    bool asked = false;                  // the subscription has started
    bool up = false;                     // logged as up
    bool toldDown = false;               // its silence was logged
    std::string why;                     // reason logged for the present down state
    sockaddr_in to{};                    // the supervisor's command socket
    std::unique_ptr<FleetLookup> lookup; // the lookup of its name in progress
};

// Logs one line (no line end) about the fleet.
using FleetLogFunc = void (*)(const char* line, void* data);

struct Fleet {
    int fd = -1;       // asks and receives
    int localPort = 0; // the port telemetry comes to
    std::vector<FleetBoard> boards;
    std::unordered_map<std::uint32_t, std::size_t> byAddr; // resolved boards
    std::uint64_t strays = 0;                              // datagrams from an address that is no board
    std::vector<std::unique_ptr<FleetLookup>> parked;      // lookups of dropped boards, not finished yet
    FleetLogFunc log = nullptr;
    void* logData = nullptr;
    mutable std::mutex mu; // guards boards, byAddr and strays
};

// Opens the fleet's socket on local (port 0: the system picks one); false
// with errno when it cannot be bound.
bool fleetOpen(Fleet* f, const sockaddr_in& local);

// Follows exactly these boards from now on: boards that stay keep their
// state and counters, new ones are asked at once, dropped ones get command 2.
// A host given twice counts once (the first label wins).
void fleetSetBoards(Fleet* f, const std::vector<FleetEntry>& entries, long long now);

// Reads the waiting datagrams (at most FLEET_RECEIVE_BATCH); never waits.
void fleetReceive(Fleet* f, long long now);

// Starts lookups and asks the boards that are due, takes the answers of
// finished lookups; logs boards going down and up. Never waits.
void fleetTick(Fleet* f, long long now);

// Command 2 to every board that was asked, and the socket closed.
void fleetClose(Fleet* f);

// Labels and rows of all boards, in list order, and the stray count.
struct FleetSnapshot {
    std::vector<std::string> labels;
    std::vector<FleetRow> rows;
    std::uint64_t strays = 0;
};
void fleetSnapshot(const Fleet* f, FleetSnapshot* out);
