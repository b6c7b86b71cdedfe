// One-shot commands through the running supervisor's control socket: the
// real vexo --charge against the simulated board, and one-shot vexo runs
// (some as other users) that find the device held and go through it.
#include <cmath>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/helpers.h"
#include "tests/netns.h"
#include "avr/vexo_control.h"

namespace {

// Largest gap in seconds between consecutive requests the board received.
double longestGap(const std::vector<SimRequest>& reqs)
{
    double gap = 0;
    for (size_t i = 1; i < reqs.size(); i++)
        gap = std::max(gap, reqs[i].t - reqs[i - 1].t);
    return gap;
}

// A raw client of the control socket.
int connectTo(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

constexpr const char* STEER = "vexo: steer it with \"vexo-mon HOST set-current MA\" (or set-cycle MA ON OFF), or "
                              "stop it first (systemctl stop vexo-charge, or kill ";

} // namespace

class Control : public SupervisorTest {
protected:
    Background bg;

    void TearDown() override
    {
        stopProgram(&bg);
        SupervisorTest::TearDown();
    }
    std::string device() { return simServerSlavePath(sim); }
    // The socket of the fixture's board: dir/dev-pts-N.sock.
    std::string socketPath()
    {
        char real[PATH_MAX];
        EXPECT_NE(realpath(device().c_str(), real), nullptr);
        std::string name = real + 1;
        for (char& c : name)
            if (c == '/')
                c = '-';
        return dir + "/" + name + ".sock";
    }
    std::vector<std::string> oneShotEnv() { return {"VEXO_DEVICE=" + device(), "VEXO_CONTROL_DIR=" + dir}; }
    RunResult oneShot(const std::vector<std::string>& args, int timeoutMs = 10000)
    {
        std::vector<std::string> argv{programPath("vexo")};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv, oneShotEnv(), timeoutMs);
    }
    // The one-shot as user uid, group gid, no supplementary groups.
    RunResult oneShotAs(uid_t uid, gid_t gid, const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{programPath("vexo")};
        argv.insert(argv.end(), args.begin(), args.end());
        const ExecPlan plan = execPlan(argv, oneShotEnv());
        return runInChild([&]() -> int {
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
                return 99;
            execPlanned(plan);
        });
    }
    // Starts the supervisor and waits until it holds ma with its socket up.
    void startLocked(int ma = 200)
    {
        bg = startVexo({"--charge", std::to_string(ma)}, "out.txt");
        ASSERT_TRUE(waitFor([&] { return std::fabs(simBoardSnapshot(sim).currentUa / 1000.0 - ma) <= 3; }, 10000));
        struct stat st {};
        ASSERT_TRUE(waitFor([&] { return stat(socketPath().c_str(), &st) == 0; }, 2000)) << socketPath();
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0660u);
    }
    void expectRefused(const RunResult& r, const std::string& first)
    {
        EXPECT_EQ(r.status, VEXO_EXIT_SUPERVISED) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, first + "\n" + STEER + std::to_string(bg.pid) + ")\n");
    }
};

// The report, EEPROM, the outputs it leaves alone and those it refuses, in
// the same texts as a one-shot on a free board.
TEST_F(Control, OneShotsGoThroughTheSupervisor)
{
    startLocked();
    simPinReadings(sim, 0x1234, 0x0567, 0xB00B, 32333, 0x0C87); // 199980 uA: inside the dead band
    usleep(300000); // a cycle or two on these: the low time holds from now on

    const RunResult r = oneShot({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto rep = lines(r.out);
    ASSERT_EQ(rep.size(), 15u) << r.out;
    EXPECT_EQ(rep[0], "Supply Voltage ADC    = 1234");
    EXPECT_EQ(rep[1], "Regulated Voltage ADC = 0567");
    EXPECT_EQ(rep[2], "Battery Voltage       = 3.71V (B00B)");
    EXPECT_EQ(rep[3], "Battery Current       = 199980uA");
    EXPECT_EQ(rep[6], "TEMP   = 77.0F");
    // What the supervisor set, as the board holds it.
    const SimBoard b = simBoardSnapshot(sim);
    char pwm[64];
    snprintf(pwm, sizeof pwm, "PWM LO = %04X", b.pwm_lo);
    EXPECT_EQ(rep[4], pwm);
    EXPECT_EQ(rep[5], "PWM T  = 01F4");
    EXPECT_EQ(rep[7], "PWM 1 EN  = ON");
    EXPECT_EQ(rep[8], "PWM 2 EN  = ON");
    EXPECT_EQ(rep[10], "OPAMP EN  = ON");
    EXPECT_TRUE(rep[12] == "LED       = ON" || rep[12] == "LED       = OFF") << rep[12];
    EXPECT_EQ(rep[14], "Running on LINE VOLTAGE");

    // A record received after the request: new readings show at once.
    simPinReadings(sim, 0x4321, 0x0567, 0xB00B, 32333, 0x0C87);
    EXPECT_EQ(lines(oneShot({}).out).at(0), "Supply Voltage ADC    = 4321");

    // EEPROM: written, read back, the board's memory holds it.
    const RunResult w = oneShot({"--eeval", "165", "--eew", "16"});
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(w.out.substr(0, 34), "Writing A5 to 10\nEE WR A5 -> [10]\n");
    EXPECT_EQ(lines(w.out).size(), 17u) << "then the report, as without a supervisor";
    EXPECT_EQ(simBoardSnapshot(sim).eeprom[16], 0xA5);
    const RunResult rd = oneShot({"--eer", "16", "--eew", "17"});
    EXPECT_EQ(rd.status, 0);
    EXPECT_EQ(rd.out.substr(0, 40), "10:A5\nWriting A5 to 11\nEE WR A5 -> [11]\n");
    EXPECT_EQ(simBoardSnapshot(sim).eeprom[17], 0xA5);

    // A board whose EEPROM never answers fails the one-shot as on a free
    // board, and ends nothing of the supervisor's.
    simSetEepromDead(sim, true);
    const RunResult dead = oneShot({"--eer", "1"});
    EXPECT_EQ(dead.status, 3);
    EXPECT_EQ(dead.out, "Failed to change AVR state\n");
    const RunResult deadW = oneShot({"--eeval", "1", "--eew", "2"});
    EXPECT_EQ(deadW.status, 3);
    EXPECT_EQ(deadW.out, "Writing 01 to 02\nEE WR 01 -> [02]\nFailed to change AVR state\n");
    simSetEepromDead(sim, false);
    EXPECT_TRUE(programRunning(&bg)) << "the supervisor goes on";
    EXPECT_EQ(oneShot({"--eer", "16"}).out.substr(0, 6), "10:A5\n");

    // Offset and buck are the operator's: set, confirmed, and kept.
    const RunResult ch = oneShot({"--offset", "0", "--buck", "1"});
    EXPECT_EQ(ch.status, 0) << ch.err;
    EXPECT_EQ(ch.out, "Offset: off\nBuck: on\n");
    usleep(1000000);
    word out = simBoardSnapshot(sim).outputs;
    EXPECT_TRUE(VEXObit(out, offsetOff)) << out;
    EXPECT_FALSE(VEXObit(out, buckOff)) << out;

    // What the supervisor steers is refused, and nothing reaches the board.
    long seen = simRequestsTotal(sim);
    for (const char* opt : {"pwm1", "pwm2", "opamp", "led", "pwmlo", "pwmt", "sleep"})
        expectRefused(oneShot({"--" + std::string(opt), "0"}),
                      "vexo: --" + std::string(opt) + " refused: the charging supervisor (PID " +
                          std::to_string(bg.pid) + ") runs " + device() + " and sets that itself");
    expectRefused(oneShot({"--offset", "1", "--pwm1", "0"}), "vexo: --pwm1 refused: the charging supervisor (PID " +
                                                                 std::to_string(bg.pid) + ") runs " + device() +
                                                                 " and sets that itself");
    expectRefused(oneShot({"--on", "5", "--charge", "100"}), "vexo: --charge refused: the charging supervisor (PID " +
                                                                 std::to_string(bg.pid) + ") already runs " + device());
    for (const auto& q : simRequestsSince(sim, &seen)) {
        ASSERT_TRUE(q.valid);
        EXPECT_TRUE(VEXObit(q.req.outputs, pwm1en | pwm2en | opamp | offsetOff)) << +q.req.outputs;
        EXPECT_FALSE(VEXObit(q.req.outputs, buckOff)) << "--offset 1 was refused with the rest";
        EXPECT_EQ(+q.req.pwm_t, 500);
        EXPECT_EQ(+q.req.alarm, 0u);
        EXPECT_GT(+q.req.pwm_lo, 0) << "never --pwmlo 0";
    }
    EXPECT_TRUE(programRunning(&bg));

    // The same commands on the free board print the same.
    stopProgram(&bg);
    EXPECT_EQ(oneShot({"--eeval", "165", "--eew", "16"}).out.substr(0, 34), w.out.substr(0, 34));
    EXPECT_EQ(oneShot({"--eer", "16", "--eew", "17"}).out.substr(0, 40), rd.out.substr(0, 40));
    EXPECT_EQ(oneShot({"--offset", "0", "--buck", "1"}).out, ch.out);
}

// 20 one-shots in a row: each answered, the supervisor stays locked and
// keeps cycling; then a board that sends no good record: the one-shot's
// link failure, and the supervisor carries on once the line is good.
TEST_F(Control, ManyOneShotsAndALineWithoutRecords)
{
    startLocked();
    simClearRequests(sim);
    for (int i = 0; i < 20; i++) {
        const RunResult r = oneShot(i % 4 == 3 ? std::vector<std::string>{"--eer", "3"} : std::vector<std::string>{});
        ASSERT_EQ(r.status, 0) << i << r.err;
        EXPECT_EQ(lines(r.out).size(), i % 4 == 3 ? 16u : 15u) << r.out;
        EXPECT_LE(std::fabs(simBoardSnapshot(sim).currentUa / 1000.0 - 200), 3) << i;
    }
    const auto reqs = simRequests(sim);
    EXPECT_LT(longestGap(reqs), 2.0) << "the cycle never stalls";
    word lo = 0xFFFF, hi = 0;
    for (const auto& q : reqs) {
        const word pwmLo = q.req.pwm_lo; // a copy: the record is packed
        lo = std::min(lo, pwmLo);
        hi = std::max(hi, pwmLo);
    }
    EXPECT_LE(hi - lo, 4) << "held, no new search";

    simSetGarbage(sim, true);
    usleep(300000);
    const RunResult dead = oneShot({});
    EXPECT_EQ(dead.status, 3);
    EXPECT_EQ(dead.out, "Failed to communicate with AVR\n");
    simSetGarbage(sim, false);
    ASSERT_TRUE(programRunning(&bg));
    usleep(300000);
    EXPECT_EQ(oneShot({}).status, 0);
}

// Clients that misbehave: one that never sends, one that asks and never
// reads, one that sends too much. Each is dropped; one-shots go on.
TEST_F(Control, ClientsThatStopReadingAreDropped)
{
    startLocked();
    const int idle = connectTo(socketPath());
    const int deaf = connectTo(socketPath());
    const int big = connectTo(socketPath());
    ASSERT_GE(idle, 0);
    ASSERT_GE(deaf, 0);
    ASSERT_GE(big, 0);
    VEXOcontrolRequest req{};
    req.version = VEXO_CONTROL_VERSION;
    req.op = VEXO_CTL_STATUS;
    int sent = 0;
    for (int i = 0; i < 200; i++)
        sent += send(deaf, &req, sizeof req, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof req);
    EXPECT_GT(sent, VEXO_CONTROL_REQUESTS);
    char junk[100] = {};
    EXPECT_EQ(send(big, junk, sizeof junk, MSG_NOSIGNAL), 100);
    simClearRequests(sim);

    const RunResult r = oneShot({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out).size(), 15u);

    // The deaf client got at most its share, then the end of the connection.
    int answers = 0;
    VEXOcontrolAnswer ans{};
    ASSERT_TRUE(waitFor(
        [&] {
            ssize_t n;
            while ((n = recv(deaf, &ans, sizeof ans, MSG_DONTWAIT)) == static_cast<ssize_t>(sizeof ans))
                answers++;
            return n == 0;
        },
        5000));
    EXPECT_EQ(answers, VEXO_CONTROL_REQUESTS);
    EXPECT_EQ(recv(big, &ans, sizeof ans, MSG_DONTWAIT), 0) << "dropped at once";
    // The silent one is dropped after its idle time.
    EXPECT_TRUE(
        waitFor([&] { return recv(idle, &ans, sizeof ans, MSG_DONTWAIT) == 0; }, (VEXO_CONTROL_IDLE_S + 3) * 1000));
    close(idle);
    close(deaf);
    close(big);
    EXPECT_LT(longestGap(simRequests(sim)), 2.0);
    EXPECT_TRUE(programRunning(&bg));
    EXPECT_EQ(oneShot({"--eer", "1"}).status, 0);
}

// Users outside the supervisor's group: the socket's mode keeps them out,
// and with the mode opened up the peer check does; a member gets in.
TEST_F(Control, SocketRefusesUsersOutsideTheGroup)
{
    startLocked();
    chmod(dir.c_str(), 0755);
    chmod(device().c_str(), 0666);
    const std::string busy = "Error opening " + device() + ": Device or resource busy\n";
    const RunResult denied = oneShotAs(65534, 65534, {});
    EXPECT_EQ(denied.status, 1);
    EXPECT_EQ(denied.out, "");
    EXPECT_EQ(denied.err,
              busy + "vexo: the charging supervisor holds " + device() + "; its control socket: Permission denied\n");

    chmod(socketPath().c_str(), 0666);
    const RunResult refused = oneShotAs(65534, 65534, {"--eer", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, busy + "vexo: the charging supervisor holds " + device() +
                               "; its control socket: this user is not in its group\n");
    chmod(socketPath().c_str(), 0660);

    const RunResult member = oneShotAs(65534, 0, {});
    EXPECT_EQ(member.status, 0) << member.err;
    EXPECT_EQ(lines(member.out).size(), 15u);

    // A device the user may not open: a member goes through the supervisor,
    // anyone else sees the failure as before.
    chmod(device().c_str(), 0600);
    const RunResult noDevice = oneShotAs(65534, 0, {"--eer", "1"});
    EXPECT_EQ(noDevice.status, 0) << noDevice.err;
    EXPECT_EQ(noDevice.out.substr(0, 3), "01:");
    const RunResult outsider = oneShotAs(65534, 65534, {});
    EXPECT_EQ(outsider.status, 1);
    EXPECT_EQ(outsider.err, "Error opening " + device() + ": Permission denied\n");
    EXPECT_TRUE(programRunning(&bg));
}

// A device held by something that is not a supervisor, with or without a
// socket left behind: the open fails as it always has.
TEST_F(Control, DeviceHeldByAnotherProgramFailsAsBefore)
{
    startSim();
    const int holder = open(device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::string busy = "Error opening " + device() + ": Device or resource busy\n";
    for (bool stale : {false, true}) {
        if (stale) { // a socket nobody listens on any more
            const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            snprintf(a.sun_path, sizeof a.sun_path, "%s", socketPath().c_str());
            ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
            close(fd);
        }
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{}, {"--pwm1", "1"}, {"--charge", "200"}}) {
            const RunResult r = oneShot(args);
            EXPECT_EQ(r.status, 1) << stale;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, busy);
        }
    }
    close(holder);
    EXPECT_EQ(simRequestsTotal(sim), 0);
}
