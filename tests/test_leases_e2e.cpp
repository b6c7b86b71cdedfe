// Leased telemetry subscribers of the real supervisor on the simulated board,
// in this process's private network namespace: eight beside the command-1
// peer and a ninth refused, leases that run out or end, the cookie round
// trip against forged senders, and the access list.
#include <set>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/log_capture.h"
#include "tests/netns.h"
#include "lib/siphash.h"
#include "tests/udp_helpers.h"
#include "avr/vexo_wire.h"

namespace {

constexpr int WARNING = 4, INFO = 6;

// A UDP socket bound to address:port (port 0: any); its port in *bound.
int socketOn(const char* address, int* bound)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *bound = ntohs(a.sin_port);
    return fd;
}

// Sends a lease command from fd to the supervisor.
void sendLease(int fd, std::int32_t command, int port, std::int32_t lease = 0, std::uint32_t cookie = 0)
{
    VEXOUDPcommand cmd{};
    cmd.command = command;
    cmd.lease = commandLease{port, lease, cookie};
    sendTo(fd, VEXO_UDP_PORT, &cmd, sizeof cmd);
}

// The answer to a lease command, past any telemetry; command -1 when none came.
VEXOleaseReply answerOn(int fd, int timeoutMs = 2000)
{
    VEXOleaseReply r{-1, -1, 0};
    for (auto got = receiveOne(fd, timeoutMs); !got.empty(); got = receiveOne(fd, timeoutMs))
        if (got.size() != sizeof(vexoInfo)) {
            if (got.size() == sizeof r)
                std::memcpy(&r, got.data(), sizeof r);
            break;
        }
    return r;
}

// Every datagram queued on fd now.
std::vector<std::vector<unsigned char>> drain(int fd)
{
    std::vector<std::vector<unsigned char>> out;
    for (auto d = receiveOne(fd, 0); !d.empty(); d = receiveOne(fd, 0))
        out.push_back(d);
    return out;
}

// Subscribes the socket fd (telemetry to port) for lease seconds; the answer to RENEW.
VEXOleaseReply subscribe(int fd, int port, int lease)
{
    sendLease(fd, VEXO_CMD_SUBSCRIBE, port, lease);
    const VEXOleaseReply offer = answerOn(fd);
    EXPECT_EQ(offer.command, VEXO_CMD_SUBSCRIBE);
    EXPECT_EQ(offer.lease, VEXO_LEASE_MAX_S);
    sendLease(fd, VEXO_CMD_RENEW, port, lease, offer.cookie);
    return answerOn(fd);
}

} // namespace

// The cookies' keyed hash: the published vectors of key 00..0F and messages 00, 01, ...
TEST(SipHash, ReferenceVectors)
{
    SipKey key;
    std::uint8_t msg[64];
    for (int i = 0; i < 64; i++)
        msg[i] = static_cast<std::uint8_t>(i);
    std::memcpy(key.data(), msg, key.size());
    EXPECT_EQ(sipHash24(key, msg, 0), 0x726fdb47dd0e0e31ULL);
    EXPECT_EQ(sipHash24(key, msg, 8), 0x93f5f5799a932462ULL);
    EXPECT_EQ(sipHash24(key, msg, 15), 0xa129ca6149be45e5ULL);
    EXPECT_EQ(sipHash24(key, msg, 63), 0x958a324ceb064572ULL);
}

class Leases : public SupervisorTest {
protected:
    Background sup;
    std::vector<int> fds;

    void TearDown() override
    {
        for (int fd : fds)
            close(fd);
        stopProgram(&sup);
        SupervisorTest::TearDown();
    }
    void startSupervisor(const std::vector<std::string>& more, LogCapture& log)
    {
        startSim();
        std::vector<std::string> args = more;
        args.insert(args.end(), {"--charge", "200"});
        sup = startVexo(args, "sup.txt");
        ASSERT_FALSE(log.find("started on ").text.empty()) << readFile(dir + "/sup.txt");
    }
    int socketAt(const char* address, int* port)
    {
        fds.push_back(socketOn(address, port));
        return fds.back();
    }
};

TEST_F(Leases, EightBesideTheCommandOnePeerEachGetEveryDatagramAndANinthIsRefused)
{
    LogCapture log;
    ASSERT_TRUE(log.bound());
    startSupervisor({}, log);
    std::vector<int> subs(9), ports(9);
    for (int k = 0; k < 9; k++) {
        subs[k] = socketAt("127.0.0.1", &ports[k]);
        const VEXOleaseReply granted = subscribe(subs[k], ports[k], 30);
        EXPECT_EQ(granted.command, VEXO_CMD_RENEW) << k;
        EXPECT_EQ(granted.lease, k < 8 ? 30 : 0) << "subscriber " << k;
    }
    const std::string p = "127.0.0.1 port ";
    EXPECT_EQ(log.find("telemetry lease for " + p + std::to_string(ports[7]) + ": 30 s, 8 of 8 leases taken").level,
              INFO);
    const LogLine refused = log.find("refused 1 lease: all 8 leases taken (latest for " + p + std::to_string(ports[8]));
    EXPECT_EQ(refused.level, WARNING);
    EXPECT_EQ(refused.text, "refused 1 lease: all 8 leases taken (latest for " + p + std::to_string(ports[8]) + ")");

    // The command-1 peer keeps its own stream; the same datagrams reach the eight.
    int peerPort = 0;
    const int peer = socketAt("127.0.0.1", &peerPort);
    VEXOUDPcommand on{};
    on.command = VEXO_CMD_TELEMETRY_ON;
    on.cmd1.port = peerPort;
    sendTo(peer, VEXO_UDP_PORT, &on, sizeof on);
    for (int k = 0; k < 8; k++)
        drain(subs[k]); // telemetry from before the peer's
    waitFor([] { return false; }, 2600);
    const auto peerGot = drain(peer);
    ASSERT_GE(peerGot.size(), 2u);
    for (int k = 0; k < 8; k++) {
        const auto got = drain(subs[k]);
        const std::set<std::vector<unsigned char>> seen(got.begin(), got.end());
        for (const auto& d : peerGot) {
            ASSERT_EQ(d.size(), sizeof(vexoInfo));
            EXPECT_EQ(seen.count(d), 1u) << "subscriber " << k << " lacks a datagram the peer got";
        }
    }
    EXPECT_TRUE(drain(subs[8]).empty()) << "the refused ninth gets nothing";

    // Asking again while full: refused again, and the log stays at one line a minute.
    EXPECT_EQ(subscribe(subs[8], ports[8], 30).lease, 0);
    // An unsubscribe with a wrong cookie ends nothing; with the cookie, the lease ends at once.
    const VEXOleaseReply first = subscribe(subs[0], ports[0], 30); // a renewal: the cookie to echo
    EXPECT_EQ(first.lease, 30);
    sendLease(subs[1], VEXO_CMD_UNSUBSCRIBE, ports[1], 0, first.cookie); // the cookie of another port
    sendLease(subs[0], VEXO_CMD_UNSUBSCRIBE, ports[0], 0, first.cookie);
    EXPECT_EQ(log.find("telemetry lease for " + p + std::to_string(ports[0]) + " ended by the subscriber").level, INFO);
    drain(subs[0]);
    drain(subs[1]);
    EXPECT_EQ(subscribe(subs[8], ports[8], 30).lease, 30) << "a free entry for the ninth";
    waitFor([] { return false; }, 2200);
    EXPECT_TRUE(drain(subs[0]).empty()) << "unsubscribed";
    EXPECT_GE(drain(subs[1]).size(), 2u) << "still subscribed";
    EXPECT_GE(drain(subs[8]).size(), 1u) << "the ninth is in";
    EXPECT_EQ(log.count("refused "), 1u);
    EXPECT_EQ(log.count("telemetry lease for 127.0.0.1 port " + std::to_string(ports[1]) + " ended"), 0u);
}

TEST_F(Leases, AShortLeaseRunsOutAndForgedOrRefusedSendersGetNoTelemetry)
{
    LogCapture log;
    ASSERT_TRUE(log.bound());
    startSupervisor({"--allow", "127.0.0.0/28"}, log);

    // A lease of 2 s, not renewed: telemetry, then none, by itself.
    int port = 0;
    const int fd = socketAt("127.0.0.1", &port);
    EXPECT_EQ(subscribe(fd, port, 2).lease, 2);
    EXPECT_EQ(receiveOne(fd, 1500).size(), sizeof(vexoInfo));
    EXPECT_EQ(log.find("telemetry lease for 127.0.0.1 port " + std::to_string(port) + " ran out", 4000).level, INFO);
    drain(fd);
    EXPECT_TRUE(receiveOne(fd, 2500).empty()) << "the lease ran out";

    // Lengths are cut to 1 ... 300 s; a wrong cookie gets a new one instead of a lease.
    EXPECT_EQ(subscribe(fd, port, 0).lease, 1);
    const VEXOleaseReply longest = subscribe(fd, port, 100000);
    EXPECT_EQ(longest.lease, VEXO_LEASE_MAX_S);
    sendLease(fd, VEXO_CMD_RENEW, port, 30, longest.cookie ^ 0x5a5a5a5au);
    const VEXOleaseReply again = answerOn(fd);
    EXPECT_EQ(again.command, VEXO_CMD_SUBSCRIBE) << "an offer, not a lease";
    EXPECT_EQ(again.lease, VEXO_LEASE_MAX_S);
    sendLease(fd, VEXO_CMD_RENEW, port, 30, again.cookie);
    EXPECT_EQ(answerOn(fd).lease, 30) << "the offered cookie is good";
    sendLease(fd, VEXO_CMD_UNSUBSCRIBE, port, 0, again.cookie);

    // A forger that sends in the name of 127.0.0.9, which never reads: its
    // cookies go there, its guesses get no lease, that address no telemetry.
    int victimPort = 0, forgerPort = 0;
    const int victim = socketAt("127.0.0.9", &victimPort);
    const int forger = socketAt("127.0.0.9", &forgerPort);
    sendLease(forger, VEXO_CMD_SUBSCRIBE, victimPort, 30);
    for (std::uint32_t guess = 0; guess < 20; guess++)
        sendLease(forger, VEXO_CMD_RENEW, victimPort, 30, guess);
    waitFor([] { return false; }, 2500);
    const auto atVictim = drain(victim);
    EXPECT_EQ(atVictim.size(), 21u);
    for (const auto& d : atVictim) {
        ASSERT_EQ(d.size(), sizeof(VEXOleaseReply)) << "never telemetry";
        VEXOleaseReply r;
        std::memcpy(&r, d.data(), sizeof r);
        EXPECT_EQ(r.command, VEXO_CMD_SUBSCRIBE) << "never a lease";
    }
    EXPECT_TRUE(drain(forger).empty());
    EXPECT_EQ(log.count("telemetry lease for 127.0.0.9"), 0u);

    // Outside the access list: no answer at all.
    int outsidePort = 0;
    const int outside = socketAt("127.0.0.20", &outsidePort);
    sendLease(outside, VEXO_CMD_SUBSCRIBE, outsidePort, 30);
    EXPECT_TRUE(receiveOne(outside, 1500).empty());
    EXPECT_EQ(log.find("refused 1 datagram from outside the access list (latest from 127.0.0.20)").level, WARNING);
}
