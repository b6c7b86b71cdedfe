// Leased telemetry subscribers of the charging supervisor, beside the one
// peer of commands 1 and 2: a fixed table of VEXO_LEASES_MAX entries, each
// an address and port with the second its lease ends. A lease starts only
// when the subscriber echoes the cookie the supervisor sent to that address
// and port, so a forged sender address never gets telemetry nor takes an
// entry. Cookies are kept nowhere: each is a keyed hash of the address, the
// port and the time slot under a secret read at start. A full table refuses
// the newcomer and says so in the log, at most once a minute.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

#include <netinet/in.h>

#include "lib/siphash.h"
#include "avr/vexo_wire.h"

// Plain data (part of the supervisor's state record): VEXOleasesInit fills it.
struct VEXOlease {
    sockaddr_in to; // the subscriber's telemetry address and port
    time_t until;   // the lease runs while now < until; 0: free
};

struct VEXOleaseTable {
    std::array<VEXOlease, VEXO_LEASES_MAX> entries;
    SipKey secret;
    long refused; // leases refused since the last line about them
    time_t refusedLogged;
    sockaddr_in refusedTo;
};

// A free table and a new secret (getrandom, else /dev/urandom).
void VEXOleasesInit(VEXOleaseTable* table);

// The cookie of the address and port of to in the time slot of t.
std::uint32_t VEXOcookie(const VEXOleaseTable* table, const sockaddr_in& to, time_t t);

// Carries out a well-formed SUBSCRIBE, RENEW or UNSUBSCRIBE from the sender
// from at now; answers through fd.
void VEXOleaseCommand(VEXOleaseTable* table, int fd, const VEXOUDPcommand& cmd, const sockaddr_in& from, time_t now);

// Ends the leases that ran out, then sends info through fd to every other.
void VEXOleasesSend(VEXOleaseTable* table, int fd, const vexoInfo& info, time_t now);

// Leases running.
int VEXOleaseCount(const VEXOleaseTable* table);
