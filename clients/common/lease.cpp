#include "clients/common/lease.h"

#include <algorithm>
#include <cstring>

void monLeaseStart(MonLease* s, long long now)
{
    *s = MonLease{};
    monSubscriptionStart(&s->legacy, now);
    s->nextAskMs = now;
}

void monLeaseHeard(MonLease* s, long long now) { monSubscriptionHeard(&s->legacy, now); }

bool monLeaseAnswer(MonLease* s, const unsigned char* data, size_t len, long long now, MonLeaseEvent* event)
{
    *event = MonLeaseEvent::None;
    VEXOleaseReply r;
    if (len != sizeof r)
        return false;
    std::memcpy(&r, data, sizeof r);
    if (r.command == VEXO_CMD_SUBSCRIBE) {
        // A cookie: confirm it at once. Until the lease is granted the
        // command-1 telemetry, if any, goes on.
        s->cookie = r.cookie;
        s->haveCookie = true;
        s->pending |= MON_SEND_RENEW;
        if (s->state == MonLeaseState::Legacy)
            s->state = MonLeaseState::Asking;
        s->asks = 0;
        s->nextAskMs = now + 2LL * MON_LEASE_ANSWER_MS;
        return true;
    }
    if (r.command != VEXO_CMD_RENEW)
        return false;
    s->cookie = r.cookie;
    s->asks = 0;
    if (r.lease <= 0) {
        if (s->state == MonLeaseState::Leased) // lost on a restart, say: ask at once
            s->waitMs = 0;
        s->state = MonLeaseState::Asking;
        s->refused = true;
        s->nextAskMs = now + s->waitMs;
        s->waitMs = std::min(std::max(2 * s->waitMs, MON_REASK_FIRST_MS), MON_REASK_MAX_MS);
        *event = MonLeaseEvent::Refused;
        return true;
    }
    if (s->usedOn || s->refused)
        *event = MonLeaseEvent::Leased;
    if (s->usedOn)
        s->pending |= MON_SEND_OFF;
    s->usedOn = false;
    s->refused = false;
    s->waitMs = MON_REASK_FIRST_MS;
    s->state = MonLeaseState::Leased;
    s->grantedS = r.lease;
    s->leaseEndMs = now + 1000LL * r.lease;
    s->renewAtMs = now + 1000LL * r.lease / 3;
    s->legacy.lastAskMs = std::max(s->legacy.lastAskMs, now); // silence counts from here
    return true;
}

unsigned monLeaseTick(MonLease* s, long long now, MonLeaseEvent* event)
{
    *event = MonLeaseEvent::None;
    unsigned send = s->pending;
    s->pending = 0;
    if (s->state == MonLeaseState::Leased && now >= s->leaseEndMs) {
        // No RENEW answered for a whole lease: the supervisor is gone or changed.
        s->state = MonLeaseState::Asking;
        s->haveCookie = false;
        s->nextAskMs = now;
    }
    switch (s->state) {
    case MonLeaseState::Asking:
        if (now < s->nextAskMs)
            break;
        if (s->asks >= MON_LEASE_ASKS) {
            s->state = MonLeaseState::Legacy;
            s->haveCookie = false;
            s->usedOn = true;
            monSubscriptionStart(&s->legacy, now);
            *event = MonLeaseEvent::Fallback;
            send |= MON_SEND_ON;
            break;
        }
        s->asks++;
        s->nextAskMs = now + MON_LEASE_ANSWER_MS;
        send |= MON_SEND_SUBSCRIBE;
        break;
    case MonLeaseState::Leased:
        if (monSubscriptionDue(&s->legacy, now, &s->silentMs)) {
            *event = MonLeaseEvent::Silent;
            send |= MON_SEND_RENEW;
            s->renewAtMs = now + 2LL * MON_LEASE_ANSWER_MS;
        } else if (now >= s->renewAtMs) {
            send |= MON_SEND_RENEW;
            s->renewAtMs = now + 2LL * MON_LEASE_ANSWER_MS; // again unless answered
        }
        break;
    case MonLeaseState::Legacy:
        if (monSubscriptionDue(&s->legacy, now, &s->silentMs)) {
            *event = MonLeaseEvent::Silent;
            send |= MON_SEND_ON | MON_SEND_SUBSCRIBE; // the supervisor may be a newer one by now
            s->usedOn = true;
        }
        break;
    }
    return send;
}

unsigned monLeaseEnd(const MonLease* s)
{
    return (s->haveCookie ? MON_SEND_UNSUBSCRIBE : 0u) | (s->usedOn ? MON_SEND_OFF : 0u);
}

VEXOUDPcommand monLeaseCommand(const MonLease* s, unsigned bit, int port)
{
    VEXOUDPcommand cmd;
    std::memset(&cmd, 0, sizeof cmd);
    switch (bit) {
    case MON_SEND_SUBSCRIBE: cmd.command = VEXO_CMD_SUBSCRIBE; break;
    case MON_SEND_RENEW: cmd.command = VEXO_CMD_RENEW; break;
    case MON_SEND_UNSUBSCRIBE: cmd.command = VEXO_CMD_UNSUBSCRIBE; break;
    case MON_SEND_ON: return monCommand(VEXO_CMD_TELEMETRY_ON, port);
    default: return monCommand(VEXO_CMD_TELEMETRY_OFF);
    }
    cmd.lease = commandLease{port, bit == MON_SEND_UNSUBSCRIBE ? 0 : MON_LEASE_S, s->cookie};
    return cmd;
}
