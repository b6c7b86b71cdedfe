// The control socket, one-shot side: a vexo whose device a supervisor holds
// runs its command line through the supervisor's socket.
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "avr/avr.h"
#include "avr/vexo_control.h"

// The connection to the supervisor, while there is one.
struct ControlLink {
    int fd = -1;
    const char* device = nullptr;
    int openErr = EBUSY; // why the device itself could not be opened
};
static ControlLink control;

int VEXOcontrolActive() { return control.fd >= 0 ? 1 : 0; }

// The one-shot's own text and status of a link that failed.
[[noreturn]] static void linkFailed()
{
    printf("Failed to communicate with AVR\n");
    exit(AVR_EXIT_LINK);
}

// The usual open failure, with the reason the supervisor gave.
[[noreturn]] static void notAllowed(const char* why)
{
    fprintf(stderr, "Error opening %s: %s\n", control.device, strerror(control.openErr));
    fprintf(stderr, "vexo: the charging supervisor holds %s; its control socket: %s\n", control.device, why);
    exit(1);
}

// Sends the request and waits up to ms for its answer.
static VEXOcontrolAnswer ask(const VEXOcontrolRequest& req, int ms)
{
    if (send(control.fd, &req, sizeof req, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof req))
        linkFailed();
    pollfd p{control.fd, POLLIN, 0};
    int ready;
    while ((ready = poll(&p, 1, ms)) < 0 && errno == EINTR) {}
    VEXOcontrolAnswer ans{};
    if (ready <= 0 || recv(control.fd, &ans, sizeof ans, 0) != static_cast<ssize_t>(sizeof ans) ||
        ans.version != VEXO_CONTROL_VERSION)
        linkFailed();
    if (ans.op == VEXO_CTL_REFUSED)
        notAllowed("this user is not in its group");
    if (ans.op == VEXO_CTL_FAILED) { // as on a free board that never shows the change
        printf("Failed to change AVR state\n");
        exit(AVR_EXIT_LINK);
    }
    if (ans.op != req.op)
        linkFailed();
    return ans;
}

static VEXOcontrolRequest request(byte op)
{
    VEXOcontrolRequest r{};
    r.version = VEXO_CONTROL_VERSION;
    r.op = op;
    return r;
}

byte VEXOcontrolReadEEPROM(byte adrs, VEXOreply* pkt)
{
    VEXOcontrolRequest r = request(VEXO_CTL_EE_READ);
    r.adrs = adrs;
    const VEXOcontrolAnswer ans = ask(r, VEXO_CONTROL_CHANGE_MS);
    *pkt = ans.rep;
    return ans.data;
}

void VEXOcontrolWriteEEPROM(byte adrs, byte value)
{
    VEXOcontrolRequest r = request(VEXO_CTL_EE_WRITE);
    r.adrs = adrs;
    r.value = value;
    VEXOprintEEPROMwrite(adrs, value);
    ask(r, VEXO_CONTROL_CHANGE_MS);
}

// Refuses what the supervisor would undo, naming it and the ways round it.
[[noreturn]] static void refuse(const char* option, pid_t pid)
{
    if (strcmp(option, "charge") == 0)
        fprintf(stderr, "vexo: --charge refused: the charging supervisor (PID %d) already runs %s\n",
                static_cast<int>(pid), control.device);
    else
        fprintf(stderr, "vexo: --%s refused: the charging supervisor (PID %d) runs %s and sets that itself\n", option,
                static_cast<int>(pid), control.device);
    fprintf(stderr,
            "vexo: steer it with \"vexo-mon HOST set-current MA\" (or set-cycle MA ON OFF), or stop it first "
            "(systemctl stop vexo-charge, or kill %d)\n",
            static_cast<int>(pid));
    exit(VEXO_EXIT_SUPERVISED);
}

// The run driver's pass, with the supervisor in place of the port: a fresh
// status, the options, the changed outputs, the report.
[[noreturn]] static void runThrough(int argc, char** argv)
{
    std::array<byte, AVR_BUFFER_SIZE> reqBuf{};
    ByteArrayRef bReq = BAR(reqBuf.data(), AVR_BUFFER_SIZE);
    VEXOreply rep = ask(request(VEXO_CTL_STATUS), VEXO_CONTROL_WAIT_MS).rep;
    bReq.len = VEXOrequestInitFromReply(BAR(&rep, sizeof rep), bReq);
    int loops = 0;
    const int todo = VEXOprocessOptions(nullptr, bReq, nullptr, &loops, argc, argv);
    if ((todo & 1) != 0) {
        VEXOcontrolRequest r = request(VEXO_CTL_OUTPUTS);
        r.mask = VEXO_CONTROL_OUTPUTS;
        r.outputs = static_cast<word>(VEXOrequest_Get(bReq).outputs & VEXO_CONTROL_OUTPUTS);
        ask(r, VEXO_CONTROL_CHANGE_MS);
    }
    if (loops != 0) {
        rep = ask(request(VEXO_CTL_STATUS), VEXO_CONTROL_WAIT_MS).rep;
        VEXOreplyPacket_Print(BAR(&rep, sizeof rep), nullptr);
    }
    exit(0);
}

void VEXOcontrolHandOver(const char* device, int err, void* args)
{
    char path[VEXO_CONTROL_PATH_MAX];
    if (!VEXOcontrolPath(device, path, sizeof path))
        return;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    control.device = device;
    control.openErr = err;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        const int e = errno;
        close(fd);
        // A supervisor, but not for this user: said when it holds the device.
        if (e == EACCES && err == EBUSY)
            notAllowed(strerror(e));
        return; // no supervisor: the device is held by something else
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len);
    control.fd = fd;
    const auto* cmd = static_cast<const VEXOcontrolArgs*>(args);
    if (const char* owned = VEXOsupervisorOwnedOption(cmd->argc, cmd->argv))
        refuse(owned, cred.pid);
    runThrough(cmd->argc, cmd->argv);
}
