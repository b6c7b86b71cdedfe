// vexo-fleet-sim: many charging supervisors in one process, for the
// exporter's tests and benchmarks. Board i answers on address FIRST + i
// (loopback addresses: 127.0.0.0/8 is local as a whole), takes commands 1 to
// 4 and the lease commands (up to VEXO_LEASES_MAX leases, with the cookie
// round trip) on its UDP port and, once subscribed, sends its telemetry once
// a second, the fleet spread over the second in ten slices. --old behaves as
// a supervisor older than the leases: it ignores their commands. Lines on standard input
// switch a board's line power: "battery ADDRESS", "line ADDRESS".
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/clock.h"
#include "clients/common/cli.h"
#include "lib/net.h"
#include "lib/siphash.h"
#include "avr/vexo_wire.h"

constexpr int SLICES = 10; // sends per second, each to a tenth of the fleet
constexpr int BATCH = 64;  // datagrams per recvmmsg and sendmmsg

static const char usage[] =
    "Usage: vexo-fleet-sim [--boards N] [--first A.B.C.D] [--port P] [--seconds S] [--on-battery K] [--old]\n"
    "Simulates N supervisors (default 100) on the addresses from FIRST (default\n"
    "127.1.0.1) up, each on UDP port P (default %d); every K-th board runs on its\n"
    "battery (default: none). Ends after S seconds (default: on SIGINT or SIGTERM)\n"
    "and prints what it received and sent. --old: the lease commands are ignored,\n"
    "as by a supervisor older than them. Standard input takes the commands\n"
    "\"battery A.B.C.D\" and \"line A.B.C.D\": that board's line power fails or returns.\n";

struct SimLease {
    sockaddr_in to{};
    time_t until = 0;
};

struct SimBoardPeer {
    bool subscribed = false;
    sockaddr_in to{};             // the subscriber
    std::vector<SimLease> leases; // at most VEXO_LEASES_MAX
    std::int32_t targetMa = 250;
    bool onBattery = false;
};

struct FleetSim {
    int fd = -1;
    std::uint32_t first = 0; // host order
    std::vector<SimBoardPeer> boards;
    long commands = 0, strays = 0, sent = 0, sendErrors = 0, refused = 0;
    bool old = false; // ignores the lease commands
    SipKey secret{};
};

// Sends one datagram from board i's address to to.
static void sendFrom(FleetSim* s, std::uint32_t i, const sockaddr_in& to, const void* data, size_t len)
{
    alignas(cmsghdr) unsigned char ctl[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec iov{const_cast<void*>(data), len};
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in*>(&to);
    m.msg_namelen = sizeof to;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl;
    m.msg_controllen = sizeof ctl;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo pi{};
    pi.ipi_spec_dst.s_addr = htonl(s->first + i);
    std::memcpy(CMSG_DATA(c), &pi, sizeof pi);
    if (sendmsg(s->fd, &m, MSG_DONTWAIT) < 0)
        s->sendErrors++;
}

// The cookie of to in the time slot of now, as the supervisor makes it.
static std::uint32_t cookieOf(const FleetSim* s, const sockaddr_in& to, time_t now)
{
    const std::uint64_t slot = static_cast<std::uint64_t>(now / VEXO_COOKIE_SLOT_S);
    unsigned char msg[14];
    std::memcpy(msg, &to.sin_addr.s_addr, 4);
    std::memcpy(msg + 4, &to.sin_port, 2);
    for (int k = 0; k < 8; k++)
        msg[6 + k] = static_cast<unsigned char>(slot >> (8 * k));
    return static_cast<std::uint32_t>(sipHash24(s->secret, msg, sizeof msg));
}

// SUBSCRIBE, RENEW and UNSUBSCRIBE for board i.
static void takeLeaseCommand(FleetSim* s, std::uint32_t i, const VEXOUDPcommand& cmd, const sockaddr_in& from)
{
    const commandLease args = cmd.lease;
    if (args.port <= 0 || args.port > 65535)
        return;
    SimBoardPeer& b = s->boards[i];
    sockaddr_in to = from;
    to.sin_port = htons(static_cast<uint16_t>(args.port));
    const time_t now = time(nullptr);
    const std::uint32_t cookie = cookieOf(s, to, now);
    const bool proven = args.cookie == cookie || args.cookie == cookieOf(s, to, now - VEXO_COOKIE_SLOT_S);
    auto same = [&](const SimLease& l) {
        return l.to.sin_addr.s_addr == to.sin_addr.s_addr && l.to.sin_port == to.sin_port;
    };
    std::erase_if(b.leases, [&](const SimLease& l) { return l.until <= now; });
    const auto it = std::find_if(b.leases.begin(), b.leases.end(), same);
    VEXOleaseReply r{VEXO_CMD_SUBSCRIBE, VEXO_LEASE_MAX_S, cookie};
    if (cmd.command == VEXO_CMD_UNSUBSCRIBE) {
        if (proven && it != b.leases.end())
            b.leases.erase(it);
        return;
    }
    if (cmd.command == VEXO_CMD_RENEW && proven) {
        const std::int32_t seconds = std::clamp(args.lease, 1, VEXO_LEASE_MAX_S);
        r = VEXOleaseReply{VEXO_CMD_RENEW, seconds, cookie};
        if (it != b.leases.end())
            it->until = now + seconds;
        else if (b.leases.size() < VEXO_LEASES_MAX)
            b.leases.push_back(SimLease{to, now + seconds});
        else {
            r.lease = 0;
            s->refused++;
        }
    }
    sendFrom(s, i, to, &r, sizeof r);
}

static void takeCommand(FleetSim* s, std::uint32_t dst, const sockaddr_in& from, const unsigned char* data, size_t len)
{
    const std::uint32_t i = ntohl(dst) - s->first;
    VEXOUDPcommand cmd{};
    std::memcpy(&cmd, data, std::min(len, sizeof cmd));
    const bool leaseCommand =
        cmd.command == VEXO_CMD_SUBSCRIBE || cmd.command == VEXO_CMD_RENEW || cmd.command == VEXO_CMD_UNSUBSCRIBE;
    if (i >= s->boards.size() || !VEXOcommandWellFormed(cmd, static_cast<int>(len)) || (s->old && leaseCommand)) {
        s->strays++;
        return;
    }
    s->commands++;
    SimBoardPeer& b = s->boards[i];
    switch (cmd.command) {
    case VEXO_CMD_TELEMETRY_ON:
        b.subscribed = true;
        b.to = from;
        b.to.sin_port = htons(static_cast<uint16_t>(cmd.cmd1.port));
        break;
    case VEXO_CMD_TELEMETRY_OFF: b.subscribed = false; break;
    case VEXO_CMD_SET_CURRENT: b.targetMa = cmd.cmd3.targetI; break;
    case VEXO_CMD_SET_CYCLE: b.targetMa = cmd.cmd4.targetI; break;
    case VEXO_CMD_SUBSCRIBE:
    case VEXO_CMD_RENEW:
    case VEXO_CMD_UNSUBSCRIBE:
        if (!s->old)
            takeLeaseCommand(s, i, cmd, from);
        break;
    default: break;
    }
}

static void receive(FleetSim* s)
{
    static unsigned char bufs[BATCH][sizeof(VEXOUDPcommand)];
    alignas(cmsghdr) static unsigned char ctl[BATCH][CMSG_SPACE(sizeof(in_pktinfo))];
    static sockaddr_in froms[BATCH];
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    for (;;) {
        netBatchPrepare(msgs, iov, BATCH, bufs[0], sizeof bufs[0], froms, ctl[0], sizeof ctl[0]);
        const int n = recvmmsg(s->fd, msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (n <= 0)
            return;
        for (int i = 0; i < n; i++) {
            std::uint32_t dst = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c))
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo pi;
                    std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
                    dst = pi.ipi_addr.s_addr;
                }
            takeCommand(s, dst, froms[i], bufs[i], msgs[i].msg_len);
        }
    }
}

// The telemetry of board i: charging near its target and locked.
static vexoInfo telemetryOf(const FleetSim* s, std::size_t i, time_t now)
{
    const bool onBattery = s->boards[i].onBattery;
    const double wobble = std::sin(static_cast<double>(now) + static_cast<double>(i));
    vexoInfo info{};
    info.t = static_cast<std::int32_t>(now);
    info.supplyV = 768;
    info.regV = 640;
    info.battV = static_cast<float>(3.7 + 0.01 * wobble);
    info.battI = onBattery ? -2100 : s->boards[i].targetMa * 1000 + static_cast<std::int32_t>(800 * wobble);
    info.tempF = 72.5f;
    info.pwmt = 500;
    info.pwmlo = 290;
    info.flags1 = static_cast<byte>(vexoFlag1::offset | vexoFlag1::buck | vexoFlag1::led |
                                    (onBattery ? vexoFlag1::onbatt : vexoFlag1::pwm1en | vexoFlag1::pwm2en));
    info.flags2 = onBattery ? 0 : vexoFlag2::locked;
    return info;
}

// Sends the telemetry of the subscribed boards with index % SLICES == slice.
static void sendSlice(FleetSim* s, int slice)
{
    static vexoInfo infos[BATCH];
    alignas(cmsghdr) static unsigned char ctl[BATCH][CMSG_SPACE(sizeof(in_pktinfo))];
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    const time_t now = time(nullptr);
    int n = 0;
    auto flush = [&] {
        int done = 0;
        while (done < n) {
            const int k = sendmmsg(s->fd, msgs + done, static_cast<unsigned>(n - done), 0);
            if (k <= 0) {
                s->sendErrors += n - done;
                break;
            }
            done += k;
            s->sent += k;
        }
        n = 0;
    };
    auto add = [&](std::size_t i, sockaddr_in* to) {
        infos[n] = telemetryOf(s, i, now);
        iov[n] = iovec{&infos[n], sizeof infos[n]};
        msgs[n] = mmsghdr{};
        msgs[n].msg_hdr.msg_iov = &iov[n];
        msgs[n].msg_hdr.msg_iovlen = 1;
        msgs[n].msg_hdr.msg_name = to;
        msgs[n].msg_hdr.msg_namelen = sizeof *to;
        msgs[n].msg_hdr.msg_control = ctl[n];
        msgs[n].msg_hdr.msg_controllen = sizeof ctl[n];
        cmsghdr* c = CMSG_FIRSTHDR(&msgs[n].msg_hdr);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo pi{};
        pi.ipi_spec_dst.s_addr = htonl(s->first + static_cast<std::uint32_t>(i)); // sent from the board's address
        std::memcpy(CMSG_DATA(c), &pi, sizeof pi);
        if (++n == BATCH)
            flush();
    };
    for (std::size_t i = static_cast<std::size_t>(slice); i < s->boards.size(); i += SLICES) {
        SimBoardPeer& b = s->boards[i];
        if (b.subscribed)
            add(i, &b.to);
        std::erase_if(b.leases, [&](const SimLease& l) { return l.until <= now; });
        for (auto& l : b.leases)
            add(i, &l.to);
    }
    flush();
}

// Runs one line of standard input: "battery ADDRESS" or "line ADDRESS".
static void runControl(FleetSim* s, const char* line)
{
    char word[16], address[64];
    in_addr a{};
    std::uint32_t i = 0;
    const bool parsed = sscanf(line, "%15s %63s", word, address) == 2 && inet_pton(AF_INET, address, &a) == 1;
    if (parsed)
        i = ntohl(a.s_addr) - s->first;
    if (!parsed || (strcmp(word, "battery") != 0 && strcmp(word, "line") != 0)) {
        cliWarn("not a command: %s (battery ADDRESS or line ADDRESS)", line);
        return;
    }
    if (i >= s->boards.size()) {
        cliWarn("no board at %s", address);
        return;
    }
    s->boards[i].onBattery = strcmp(word, "battery") == 0;
}

// Takes what standard input holds and runs its complete lines; false at its end.
static bool readControl(FleetSim* s, std::string* pending)
{
    char buf[512];
    const ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0)
        return n < 0 && (errno == EINTR || errno == EAGAIN);
    pending->append(buf, static_cast<size_t>(n));
    for (size_t eol; (eol = pending->find('\n')) != std::string::npos; pending->erase(0, eol + 1)) {
        const std::string line = pending->substr(0, eol);
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            runControl(s, line.c_str());
    }
    if (pending->size() > 4096)
        pending->clear(); // no line end in sight: not a command
    return true;
}

int main(int argc, char** argv)
{
    cliProgramName("vexo-fleet-sim");
    long boards = 100, port = VEXO_UDP_PORT, onBattery = 0;
    double seconds = 0;
    bool old = false;
    in_addr first{};
    inet_pton(AF_INET, "127.1.0.1", &first);
    static const option opts[] = {{"boards", required_argument, nullptr, 'n'},
                                  {"first", required_argument, nullptr, 'f'},
                                  {"port", required_argument, nullptr, 'p'},
                                  {"seconds", required_argument, nullptr, 's'},
                                  {"on-battery", required_argument, nullptr, 'b'},
                                  {"old", no_argument, nullptr, 'o'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    bool ok = true;
    while ((c = getopt_long(argc, argv, "+", opts, nullptr)) != -1) {
        switch (c) {
        case 'n': ok &= cliParseLong(optarg, 1, 1000000, &boards); break;
        case 'f': ok &= inet_pton(AF_INET, optarg, &first) == 1; break;
        case 'p': ok &= cliParseLong(optarg, 1, 65535, &port); break;
        case 's': ok &= cliParseNumber(optarg, 0, 1e6, &seconds); break;
        case 'b': ok &= cliParseLong(optarg, 0, 1000000, &onBattery); break;
        case 'o': old = true; break;
        case 'h': printf(usage, VEXO_UDP_PORT); return CLI_EXIT_OK;
        default: ok = false; break;
        }
    }
    if (!ok || optind != argc) {
        fprintf(stderr, usage, VEXO_UDP_PORT);
        return CLI_EXIT_USAGE;
    }
    FleetSim s;
    s.old = old;
    getrandom(s.secret.data(), s.secret.size(), 0);
    s.first = ntohl(first.s_addr);
    s.boards.resize(static_cast<std::size_t>(boards));
    for (std::size_t i = 0; onBattery > 0 && i < s.boards.size(); i += static_cast<std::size_t>(onBattery))
        s.boards[i].onBattery = true;
    s.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    // The reason is the socket's or the bind's: nothing runs between them and the message.
    if (s.fd < 0 || bind(s.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        cliDie(CLI_EXIT_FAILURE, "cannot bind UDP port %ld: %s", port, strerror(errno));
    const int one = 1, big = 8 << 20;
    setsockopt(s.fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(s.fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    cliCatchStop({SIGINT, SIGTERM, SIGHUP});
    const long long start = clockNowMs();
    long long nextSlice = start;
    int slice = 0;
    bool controlOpen = true;
    std::string pending;
    while (cliStopSignal() == 0 && (seconds <= 0 || clockNowMs() - start < seconds * 1000)) {
        pollfd p[2] = {{s.fd, POLLIN, 0}, {controlOpen ? 0 : -1, POLLIN, 0}};
        poll(p, 2, static_cast<int>(std::max(0LL, nextSlice - clockNowMs())));
        receive(&s);
        if (p[1].revents != 0)
            controlOpen = readControl(&s, &pending);
        if (clockNowMs() >= nextSlice) {
            sendSlice(&s, slice);
            slice = (slice + 1) % SLICES;
            nextSlice += 1000 / SLICES;
        }
    }
    const time_t end = time(nullptr);
    const auto subscribed =
        std::count_if(s.boards.begin(), s.boards.end(), [](const SimBoardPeer& b) { return b.subscribed; });
    long leased = 0;
    for (const auto& b : s.boards)
        leased += std::count_if(b.leases.begin(), b.leases.end(), [&](const SimLease& l) { return l.until > end; });
    cliWarn("%ld boards, %ld subscribed at the end, %ld commands, %ld stray datagrams, %ld sent, %ld not sent", boards,
            static_cast<long>(subscribed), s.commands, s.strays, s.sent, s.sendErrors);
    if (!s.old)
        cliWarn("%ld leases at the end, %ld refused", leased, s.refused);
    close(s.fd);
    return CLI_EXIT_OK;
}
