// Decoding and printing of the supervisor's telemetry datagrams, and the
// command datagrams that steer it; shared by vexo-mon and its tests.
#pragma once

#include <cstdint>
#include <string>

#include <netinet/in.h>

#include "avr/vexo_wire.h"

enum class MonFormat { Text, Csv, Json };

// The record of a 104-byte datagram; false for any other size.
bool monDecode(const unsigned char* data, size_t len, vexoInfo* out);

// False when a number that is printed is not finite (NaN or infinite), as
// only a malformed or spoofed datagram carries.
bool monFinite(const vexoInfo& info);

// The CSV header line (no line end).
std::string monCsvHeader();

// One output line (no line end) for a record. A number that is not finite
// is null in JSON and an empty field in CSV.
std::string monFormat(const vexoInfo& info, MonFormat format);

// The 16-byte command datagram for command 1..4 and its arguments.
VEXOUDPcommand monCommand(std::int32_t command, std::int32_t a = 0, std::int32_t b = 0, std::int32_t c = 0);

// Sends a command datagram on fd to the supervisor at to; false (errno set) when it did not all go.
bool monSendCommand(int fd, const sockaddr_in& to, const VEXOUDPcommand& cmd);

// ---- Keeping a subscription ----------------------------------------------
//
// The supervisor sends its telemetry to one peer, the last to send command 1.
// A subscriber asks again when the board has been silent for 3 s, then waits
// twice as long each time it stays silent, up to a minute; only a long run
// of unbroken telemetry brings the wait back to 3 s, so two subscribers that
// take the telemetry from each other never do so faster than their back-off.
// Telemetry that stops right after arriving steadily was most likely taken
// over by another subscriber (or the supervisor restarted).

constexpr int MON_REASK_FIRST_MS = 3000;     // silence before the first ask again
constexpr int MON_REASK_MAX_MS = 60000;      // longest wait between asks
constexpr int MON_STEADY_GAP_MS = 2000;      // datagrams this close are a steady stream
constexpr int MON_STEADY_COUNT = 3;          // datagrams in a row that make it steady
constexpr int MON_BACKOFF_RESET_MS = 120000; // unbroken telemetry that ends the back-off

struct MonSubscription {
    long long lastHeardMs;   // last telemetry, or the first ask
    long long lastAskMs;     // last command 1
    long long steadySinceMs; // start of the present unbroken run
    int waitMs;              // silence before the next ask
    int steady;              // datagrams in a row, each within MON_STEADY_GAP_MS
    bool takenOver;          // the latest silence followed steady telemetry
};

// A subscription whose first command 1 went out at now.
void monSubscriptionStart(MonSubscription* s, long long now);

// A telemetry datagram arrived at now.
void monSubscriptionHeard(MonSubscription* s, long long now);

// True when command 1 is due again at now; then *silentMs is the silence so
// far, s->takenOver tells whether steady telemetry stopped, and the next wait
// is doubled.
bool monSubscriptionDue(MonSubscription* s, long long now, long long* silentMs);
