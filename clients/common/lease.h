// Keeping a leased telemetry subscription, shared by vexo-mon and the
// exporter: SUBSCRIBE, the cookie the supervisor answers with echoed in
// RENEW, a RENEW again at a third of the lease granted, UNSUBSCRIBE at the
// end. A supervisor that never answers (an older one) gets command 1 after
// MON_LEASE_ASKS tries and then the back-off of MonSubscription, each re-ask
// trying the lease again; once a lease is granted, command 2 gives the
// single peer up. A full table is asked again with the same back-off.
//
// The caller sends what monLeaseTick and monLeaseAnswer ask for, in the
// order of the MON_SEND_ bits, and logs their events.
#pragma once

#include <cstdint>

#include "clients/common/telemetry.h"

constexpr int MON_LEASE_S = 30;           // lease asked for
constexpr int MON_LEASE_ANSWER_MS = 1000; // an answer takes at most this long
constexpr int MON_LEASE_ASKS = 3;         // unanswered SUBSCRIBEs before command 1

enum MonSend : unsigned {
    MON_SEND_SUBSCRIBE = 1u << 0,
    MON_SEND_RENEW = 1u << 1,
    MON_SEND_UNSUBSCRIBE = 1u << 2,
    MON_SEND_ON = 1u << 3,  // command 1
    MON_SEND_OFF = 1u << 4, // command 2
};

enum class MonLeaseState { Asking, Leased, Legacy };

enum class MonLeaseEvent {
    None,
    Silent,   // telemetry stopped for legacy.waitMs: asking again (see silentMs, legacy.takenOver)
    Fallback, // no answer to the lease commands: command 1 from now on
    Refused,  // every lease is taken: asking again after waitMs
    Leased,   // a lease started after command 1 was used (or the table was full)
};

struct MonLease {
    MonSubscription legacy{}; // the back-off of silences, and of command 1
    MonLeaseState state = MonLeaseState::Asking;
    std::uint32_t cookie = 0;
    bool haveCookie = false;
    int asks = 0;                    // SUBSCRIBEs unanswered in a row
    long long nextAskMs = 0;         // next SUBSCRIBE while asking
    long long renewAtMs = 0;         // next RENEW while leased
    long long leaseEndMs = 0;        // the lease granted ends
    int grantedS = 0;                // the last lease granted
    int waitMs = MON_REASK_FIRST_MS; // before asking again after a refusal
    bool usedOn = false;             // command 1 went out since the last command 2
    bool refused = false;            // the last answer was a refusal
    unsigned pending = 0;            // MON_SEND_ bits owed since the last tick
    long long silentMs = 0;          // the silence behind a Silent event
};

// A subscription that starts now (the first tick sends SUBSCRIBE).
void monLeaseStart(MonLease* s, long long now);

// A telemetry datagram arrived at now.
void monLeaseHeard(MonLease* s, long long now);

// Takes a datagram from the supervisor that may be an answer to the lease
// commands; false when it is none. *event tells what the caller may log.
bool monLeaseAnswer(MonLease* s, const unsigned char* data, size_t len, long long now, MonLeaseEvent* event);

// The MON_SEND_ bits due at now; *event tells what the caller may log.
unsigned monLeaseTick(MonLease* s, long long now, MonLeaseEvent* event);

// The bits to send on the way out: UNSUBSCRIBE while a cookie is held, command 2 after command 1.
unsigned monLeaseEnd(const MonLease* s);

// The datagram of one MON_SEND_ bit, for telemetry to local port port.
VEXOUDPcommand monLeaseCommand(const MonLease* s, unsigned bit, int port);
