// The table of leased subscribers, their cookies and the telemetry sent to them.
#include "avr/vexo_lease.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "avr/vexo_field.h"
#include "lib/net.h"

void VEXOleasesInit(VEXOleaseTable* table)
{
    *table = VEXOleaseTable{};
    const size_t n = sizeof table->secret;
    if (getrandom(table->secret.data(), n, GRND_NONBLOCK) == static_cast<ssize_t>(n))
        return;
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    const bool got = fd >= 0 && read(fd, table->secret.data(), n) == static_cast<ssize_t>(n);
    if (fd >= 0)
        close(fd);
    if (!got) // cookies then follow from the time alone: still a round trip, but guessable
        VEXOlog(LOG_WARNING, "no random secret for the lease cookies");
}

std::uint32_t VEXOcookie(const VEXOleaseTable* table, const sockaddr_in& to, time_t t)
{
    const std::uint64_t slot = static_cast<std::uint64_t>(t / VEXO_COOKIE_SLOT_S);
    std::uint8_t msg[14];
    std::memcpy(msg, &to.sin_addr.s_addr, 4);
    std::memcpy(msg + 4, &to.sin_port, 2);
    for (int i = 0; i < 8; i++)
        msg[6 + i] = static_cast<std::uint8_t>(slot >> (8 * i));
    return static_cast<std::uint32_t>(sipHash24(table->secret, msg, sizeof msg));
}

static bool sameTo(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

static void answer(int fd, const sockaddr_in& to, std::int32_t command, std::int32_t lease, std::uint32_t cookie)
{
    const VEXOleaseReply r{command, lease, cookie};
    sendto(fd, &r, sizeof r, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Logs the refused leases, at most one line a minute; to is the latest, or null for the once-a-second check.
static void refusedLine(VEXOleaseTable* table, const sockaddr_in* to, time_t now)
{
    if (to != nullptr) {
        table->refused++;
        table->refusedTo = *to;
    }
    if (table->refused == 0 || now - table->refusedLogged < VEXO_REFUSED_LOG_S)
        return;
    char a[NET_ADRS_TEXT_SIZE];
    VEXOlog(LOG_WARNING, "refused %ld lease%s: all %d leases taken (latest for %s port %d)", table->refused,
            table->refused == 1 ? "" : "s", VEXO_LEASES_MAX, netAdrsText(&table->refusedTo, a, sizeof a),
            ntohs(table->refusedTo.sin_port));
    table->refused = 0;
    table->refusedLogged = now;
}

// Starts or renews the lease of to; the seconds granted, 0 when the table is full.
static std::int32_t renew(VEXOleaseTable* table, const sockaddr_in& to, std::int32_t want, time_t now)
{
    const std::int32_t seconds = std::clamp(want, 1, VEXO_LEASE_MAX_S);
    VEXOlease* free = nullptr;
    for (auto& e : table->entries) {
        if (e.until != 0 && sameTo(e.to, to)) {
            e.until = now + seconds;
            return seconds;
        }
        if (e.until == 0 && free == nullptr)
            free = &e;
    }
    if (free == nullptr) {
        refusedLine(table, &to, now);
        return 0;
    }
    free->to = to;
    free->until = now + seconds;
    char a[NET_ADRS_TEXT_SIZE];
    VEXOlog(LOG_INFO, "telemetry lease for %s port %d: %d s, %d of %d leases taken", netAdrsText(&to, a, sizeof a),
            ntohs(to.sin_port), seconds, VEXOleaseCount(table), VEXO_LEASES_MAX);
    return seconds;
}

void VEXOleaseCommand(VEXOleaseTable* table, int fd, const VEXOUDPcommand& cmd, const sockaddr_in& from, time_t now)
{
    const commandLease args = cmd.lease;
    if (args.port <= 0 || args.port > 65535)
        return;
    sockaddr_in to = from;
    to.sin_port = htons(static_cast<std::uint16_t>(args.port));
    const std::uint32_t cookie = VEXOcookie(table, to, now);
    const bool proven = cmd.command != VEXO_CMD_SUBSCRIBE &&
                        (args.cookie == cookie || args.cookie == VEXOcookie(table, to, now - VEXO_COOKIE_SLOT_S));
    switch (cmd.command) {
    case VEXO_CMD_SUBSCRIBE: answer(fd, to, VEXO_CMD_SUBSCRIBE, VEXO_LEASE_MAX_S, cookie); break;
    case VEXO_CMD_RENEW:
        // An old or wrong cookie (the supervisor restarted, say) gets a new
        // one: the answer goes where the lease would, and is no larger.
        if (!proven)
            answer(fd, to, VEXO_CMD_SUBSCRIBE, VEXO_LEASE_MAX_S, cookie);
        else
            answer(fd, to, VEXO_CMD_RENEW, renew(table, to, args.lease, now), cookie);
        break;
    case VEXO_CMD_UNSUBSCRIBE:
        for (auto& e : table->entries)
            if (proven && e.until != 0 && sameTo(e.to, to)) {
                e.until = 0;
                char a[NET_ADRS_TEXT_SIZE];
                VEXOlog(LOG_INFO, "telemetry lease for %s port %d ended by the subscriber",
                        netAdrsText(&to, a, sizeof a), args.port);
            }
        break;
    default: break;
    }
}

int VEXOleaseCount(const VEXOleaseTable* table)
{
    return static_cast<int>(
        std::count_if(table->entries.begin(), table->entries.end(), [](const VEXOlease& e) { return e.until != 0; }));
}

void VEXOleasesSend(VEXOleaseTable* table, int fd, const vexoInfo& info, time_t now)
{
    refusedLine(table, nullptr, now);
    std::array<mmsghdr, VEXO_LEASES_MAX> msgs{};
    iovec iov{const_cast<vexoInfo*>(&info), sizeof info};
    unsigned n = 0;
    for (auto& e : table->entries) {
        if (e.until == 0)
            continue;
        if (now >= e.until) {
            e.until = 0;
            char a[NET_ADRS_TEXT_SIZE];
            VEXOlog(LOG_INFO, "telemetry lease for %s port %d ran out", netAdrsText(&e.to, a, sizeof a),
                    ntohs(e.to.sin_port));
            continue;
        }
        msgs[n].msg_hdr.msg_name = &e.to;
        msgs[n].msg_hdr.msg_namelen = sizeof e.to;
        msgs[n].msg_hdr.msg_iov = &iov;
        msgs[n].msg_hdr.msg_iovlen = 1;
        n++;
    }
    // One system call for all; a failed send is not retried, as for the command-1 peer.
    for (unsigned done = 0; fd >= 0 && done < n;) {
        const int k = sendmmsg(fd, msgs.data() + done, n - done, MSG_DONTWAIT);
        done += k > 0 ? static_cast<unsigned>(k) : 1; // past the one that failed
    }
}
