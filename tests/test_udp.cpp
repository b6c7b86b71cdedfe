// UDP socket helpers and the command channel, over real loopback UDP.
#include <cstdint>
#include <ctime>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "lib/net.h"
#include "tests/netns.h"
#include "tests/udp_helpers.h"
#include "avr/vexo.h"

TEST(NetOpen, UnboundSocketForAnyPortAndBoundLowBitsOnly)
{
    REQUIRE_PRIVATE_NET();
    for (int p : {0, -1, 70000, 4000}) {
        const int fd = netUDPopen(p, 0);
        ASSERT_GE(fd, 0) << p;
        close(fd);
    }
    const int fd = netUDPopen(4001 + 65536, 1);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    EXPECT_EQ(ntohs(a.sin_port), 4001);
    close(fd);
}

TEST(NetOpen, TakenPortGivesMinusTwoAndLeavesNoDescriptor)
{
    REQUIRE_PRIVATE_NET();
    const int holder = netUDPopen(4000, 1);
    ASSERT_GE(holder, 0);
    const int before = openDescriptors();
    EXPECT_EQ(netUDPopen(4000, 1), -2);
    EXPECT_EQ(openDescriptors(), before);
    close(holder);
}

TEST(NetRx, EmptyTruncatedAndFailedReceives)
{
    REQUIRE_PRIVATE_NET();
    int port = 0;
    const int rx = loopbackSocket(0, &port);
    const int tx = loopbackSocket(0);
    std::vector<unsigned char> buf(256);
    sockaddr_in from{};

    sendTo(tx, port, "", 0);
    ByteArrayRef r = netUDPrx(rx, BAR(buf.data(), 256), &from);
    EXPECT_EQ(r.len, 0);
    EXPECT_EQ(r.arr, buf.data());
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), INADDR_LOOPBACK);

    std::vector<unsigned char> big(300, 0x5A);
    sendTo(tx, port, big.data(), big.size());
    r = netUDPrx(rx, BAR(buf.data(), 256), &from);
    EXPECT_EQ(r.len, 256);

    r = netUDPrxFlags(rx, BAR(buf.data(), 256), &from, MSG_DONTWAIT);
    EXPECT_EQ(r.arr, nullptr);
    EXPECT_EQ(r.len, 0);
    close(rx);
    close(tx);
}

TEST(NetTx, RemembersTimeAndResult)
{
    unsigned char b = 1;
    const sockaddr_in to = loopbackAddress(9);
    const time_t before = time(nullptr);
    EXPECT_EQ(netUDPtx(-1, BAR(&b, 1), &to), -1);
    EXPECT_EQ(lastTxRc, -1);
    EXPECT_GE(timeOfLastTx, before);
    EXPECT_LE(timeOfLastTx, time(nullptr));
}

TEST(NetAddress, PrintAndNames)
{
    sockaddr_in a{};
    ::testing::internal::CaptureStdout();
    netUDPPrint(&a);
    netAdrsFromName(&a, "192.168.1.20", 4000 + 65536);
    netUDPPrint(&a);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "0.0.0.0 port 0\n192.168.1.20 port 4000\n");
    EXPECT_EQ(a.sin_family, AF_INET);
}

TEST(NetAddress, UnresolvableNameLeavesAnAddressThatCannotBeSentTo)
{
    REQUIRE_PRIVATE_NET(); // no resolver can answer in here, so the lookup fails fast
    sockaddr_in a = loopbackAddress(5000);
    netAdrsFromName(&a, "no-such-host.invalid", 5000);
    const int fd = netUDPopen(0, 0);
    unsigned char b = 1;
    EXPECT_EQ(netUDPtx(fd, BAR(&b, 1), &a), -1);
    close(fd);
}

// ---- Command channel -------------------------------------------------------

class Commands : public ::testing::Test {
protected:
    VEXOchargeState state{};
    int peer = -1;
    int peerPort = 0;
    void SetUp() override
    {
        if (!privateNetwork())
            GTEST_SKIP() << "needs a private network namespace (run as root)";
        VEXOchargeState_Init(&state, 250000, 60, 60);
        ASSERT_GE(state.rxSocket, 0);
        peer = loopbackSocket(0, &peerPort);
    }
    void TearDown() override
    {
        if (peer >= 0)
            close(peer);
        if (state.txSocket >= 0)
            close(state.txSocket);
        if (state.rxSocket >= 0)
            close(state.rxSocket);
    }
    void send(std::vector<std::int32_t> words, size_t bytes = SIZE_MAX)
    {
        sendTo(peer, VEXO_UDP_PORT, words.data(), std::min(bytes, words.size() * 4));
        // Let loopback deliver before the zero-time-out poll looks.
        pollfd p{state.rxSocket, POLLIN, 0};
        poll(&p, 1, 1000);
    }
};

TEST_F(Commands, NothingPendingChangesNothing)
{
    const VEXOchargeState before = state;
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(std::memcmp(&before, &state, sizeof state), 0);
}

TEST_F(Commands, StartTelemetryGoesToSenderAtNamedPort)
{
    int telePort = 0;
    const int tele = loopbackSocket(0, &telePort);
    ASSERT_NE(telePort, peerPort);
    send({1, telePort});
    VEXOUDPcommandCheck(&state);
    EXPECT_STREQ(state.IPADRS.data(), "127.0.0.1");
    EXPECT_EQ(state.toPort, telePort);
    EXPECT_GE(state.txSocket, 0);
    EXPECT_EQ(ntohs(state.to.sin_port), telePort);

    VEXOreply rep{};
    rep.adc7 = 29000;
    VEXOUDPlogUpdate(&state, &rep, 100);
    VEXOUDPlogUpdate(&state, &rep, 101);
    EXPECT_EQ(receiveOne(tele, 1000).size(), 104u);
    EXPECT_TRUE(receiveOne(peer, 50).empty()) << "nothing goes back to the command's source port";
    close(tele);
}

TEST_F(Commands, StartTwiceKeepsOneSocketStopWhileOffChangesNothing)
{
    send({2});
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(state.txSocket, -1);
    const int before = openDescriptors();
    send({1, 5000});
    VEXOUDPcommandCheck(&state);
    send({1, 5001});
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(openDescriptors(), before + 1);
    EXPECT_EQ(state.toPort, 5001);
    send({2});
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(state.txSocket, -1);
    EXPECT_EQ(openDescriptors(), before);
}

struct TargetRow {
    const char* what;
    std::vector<std::int32_t> words;
    bool restarted;
    std::int32_t targetI, time_on, time_off, timer;
};

static void PrintTo(const TargetRow& r, std::ostream* os) { *os << r.what; }

class TargetCommands : public Commands, public ::testing::WithParamInterface<TargetRow> {};

TEST_P(TargetCommands, SetTargetAndCycle)
{
    const TargetRow& row = GetParam();
    state.locked = 1;
    state.lock_hi = 300;
    state.lock_lo = 299;
    send(row.words);
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(state.locked, row.restarted ? 0u : 1u);
    EXPECT_EQ(state.lock_hi, row.restarted ? 501 : 300);
    EXPECT_EQ(state.lock_lo, row.restarted ? 0 : 299);
    EXPECT_EQ(state.targetI, row.targetI);
    EXPECT_EQ(state.masterI, row.targetI);
    EXPECT_EQ(state.time_on, row.time_on);
    EXPECT_EQ(state.time_off, row.time_off);
    EXPECT_EQ(state.timer, row.timer);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TargetCommands,
    ::testing::Values(TargetRow{"3: 2 mA move keeps the lock", {3, 252}, false, 252000, 1, 0, 1},
                      TargetRow{"3: exactly 3 mA keeps the lock", {3, 253}, false, 253000, 1, 0, 1},
                      TargetRow{"3: 4 mA move restarts", {3, 254}, true, 254000, 1, 0, 1},
                      TargetRow{"3: 3 mA below keeps", {3, 247}, false, 247000, 1, 0, 1},
                      TargetRow{"3: 3.001 mA below restarts", {3, 246}, true, 246000, 1, 0, 1},
                      TargetRow{"4: negative off time is 0", {4, 300, 120, -5}, true, 300000, 120, 0, 120},
                      TargetRow{"4: negative on time is 0", {4, 250, -1, 30}, false, 250000, 0, 30, 0}));

TEST_F(Commands, UnknownAndShortDatagramsAreIgnored)
{
    const VEXOchargeState before = state;
    send({7, 1, 2, 3});
    VEXOUDPcommandCheck(&state);
    send({3, 300}, 3); // not even a command number
    VEXOUDPcommandCheck(&state);
    send({3, 300}, 7); // command 3 without its whole target
    VEXOUDPcommandCheck(&state);
    send({1, 5000}, 4); // command 1 without a port
    VEXOUDPcommandCheck(&state);
    send({4, 300, 10, 10}, 15);
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(std::memcmp(&before, &state, sizeof state), 0);
}

TEST_F(Commands, LongDatagramIsCutAndStillObeyed)
{
    send({3, 100, 9, 9, 9, 9});
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(state.targetI, 100000);
}

TEST_F(Commands, QueuedCommandsOnePerCallInOrder)
{
    send({3, 100});
    send({3, 200});
    send({4, 300, 5, 6});
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(state.targetI, 100000);
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(state.targetI, 200000);
    VEXOUDPcommandCheck(&state);
    EXPECT_EQ(state.targetI, 300000);
    EXPECT_EQ(state.time_on, 5);
    EXPECT_EQ(state.time_off, 6);
}

TEST(CommandsClosed, NegativeSocketNeverReads)
{
    VEXOchargeState s{};
    s.rxSocket = -2;
    s.txSocket = -1;
    s.targetI = 5;
    VEXOUDPcommandCheck(&s);
    EXPECT_EQ(s.targetI, 5);
}

// The sandbox of the supervisor tests: whatever runs "shutdown" by any of its
// names reaches the recording fake, never the machine's.
TEST(Sandbox, ShutdownIsTheRecordingFake)
{
    if (!privateMounts())
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    for (const char* name : {"/sbin/shutdown", "/usr/sbin/shutdown"}) {
        const std::string text = readFile(name);
        if (text.empty())
            continue; // not on this machine
        ASSERT_EQ(text.rfind("#!/bin/sh\necho ", 0), 0u) << name << " is not the fake: not run";
        const size_t before = readFile(sandboxShutdownLog()).size();
        EXPECT_EQ(runProgram({name, "-h", "now"}).status, 0);
        const std::string log = readFile(sandboxShutdownLog());
        EXPECT_EQ(log.substr(log.find(' ', before) + 1), "-h now\n") << name;
    }
}
