// The control socket, supervisor side: the socket's path, and serving
// one-shot commands between the cycles of the charging loop.
#include "avr/vexo_control.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "avr/avr.h"
#include "avr/vexo_field.h"

// Most supplementary groups of a peer that are looked at.
constexpr int VEXO_CONTROL_PEER_GROUPS = 64;
// Most unread requests taken off a connection that is closed.
constexpr int VEXO_CONTROL_DRAIN_MAX = 1024;

int VEXOcontrolPath(const char* device, char* path, size_t size)
{
    const char* dir = getenv("VEXO_CONTROL_DIR");
    if (dir == nullptr || dir[0] == '\0')
        dir = VEXO_CONTROL_DIR;
    // The same board by any of its names (a link under /dev/serial, say).
    char real[PATH_MAX];
    const char* name = realpath(device, real) != nullptr ? real : device;
    while (*name == '/')
        name++;
    const int n = snprintf(path, size, "%s/%s.sock", dir, name);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return 0;
    for (char* c = path + strlen(dir) + 1; *c != '\0'; c++)
        if (*c == '/')
            *c = '-';
    return 1;
}

static sockaddr_un socketAddress(const char* path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    return a;
}

// The bound socket's path, removed when the supervisor exits.
static std::array<char, VEXO_CONTROL_PATH_MAX> boundPath{};
static void removeSocket()
{
    if (boundPath[0] != '\0')
        unlink(boundPath.data());
}

// Makes the socket's directory when missing (no service manager made it).
static void makeDirectory(const char* path)
{
    char dir[VEXO_CONTROL_PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path);
    char* slash = strrchr(dir, '/');
    if (slash == nullptr || slash == dir)
        return;
    *slash = '\0';
    mkdir(dir, 0750);
}

void VEXOcontrolOpen(VEXOcontrol* ctl, const char* device)
{
    if (!VEXOcontrolPath(device, ctl->path.data(), ctl->path.size())) {
        VEXOlog(LOG_ERR, "no control socket for %s: the path is too long", device);
        return;
    }
    const char* path = ctl->path.data();
    makeDirectory(path);
    // A socket left by a supervisor before this one: the device lock says it is dead.
    struct stat st {};
    if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_un a = socketAddress(path);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || chmod(path, 0660) != 0 ||
        listen(fd, VEXO_CONTROL_CLIENTS) != 0) {
        VEXOlog(LOG_ERR, "no control socket %s: %s", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return;
    }
    ctl->listenFd = fd;
    boundPath = ctl->path;
    atexit(removeSocket);
}

// Root, the supervisor's own user, or a member of its group.
static bool peerAllowed(int fd, ucred* cred)
{
    socklen_t len = sizeof *cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &len) != 0)
        return false;
    if (cred->uid == 0 || cred->uid == geteuid() || cred->gid == getegid())
        return true;
    std::array<gid_t, VEXO_CONTROL_PEER_GROUPS> groups{};
    len = sizeof groups;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) != 0)
        return false;
    for (size_t i = 0; i < len / sizeof(gid_t); i++)
        if (groups[i] == getegid())
            return true;
    return false;
}

// Closes a client's connection. Requests it sent that were never read are
// taken off first: closed with them queued, the socket would reset the
// connection and the client would lose the answers it has not read yet.
static void hangUp(int fd)
{
    std::array<byte, sizeof(VEXOcontrolRequest)> scratch{};
    for (int i = 0; i < VEXO_CONTROL_DRAIN_MAX && recv(fd, scratch.data(), scratch.size(), MSG_DONTWAIT) > 0; i++) {}
    close(fd);
}

static void drop(VEXOcontrol* ctl, VEXOcontrolClient* c)
{
    hangUp(c->fd);
    *c = VEXOcontrolClient{};
    ctl->connected--;
}

// Sends the answer; a client that cannot take it now has stopped reading.
static void answer(VEXOcontrol* ctl, VEXOcontrolClient* c, byte data, const VEXOreply& rep)
{
    VEXOcontrolAnswer ans{};
    ans.version = VEXO_CONTROL_VERSION;
    ans.op = c->req.op;
    ans.data = data;
    ans.rep = rep;
    c->pending = false;
    c->served++;
    if (send(c->fd, &ans, sizeof ans, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof ans))
        drop(ctl, c);
}

static void accept1(VEXOcontrol* ctl, time_t now)
{
    const int fd = accept4(ctl->listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    ucred cred{};
    if (!peerAllowed(fd, &cred)) {
        VEXOcontrolAnswer no{};
        no.version = VEXO_CONTROL_VERSION;
        no.op = VEXO_CTL_REFUSED;
        send(fd, &no, sizeof no, MSG_DONTWAIT | MSG_NOSIGNAL);
        hangUp(fd);
        if (now - ctl->refusedLogged >= VEXO_REFUSED_LOG_S) {
            VEXOlog(LOG_WARNING, "control socket: refused user %u (PID %d), not in group %u",
                    static_cast<unsigned>(cred.uid), static_cast<int>(cred.pid), static_cast<unsigned>(getegid()));
            ctl->refusedLogged = now;
        }
        return;
    }
    auto* slot =
        std::find_if(ctl->clients.begin(), ctl->clients.end(), [](const VEXOcontrolClient& c) { return c.fd < 0; });
    if (slot == ctl->clients.end()) {
        hangUp(fd); // full: the client hears the end of the connection
        return;
    }
    slot->fd = fd;
    slot->since = now;
    ctl->connected++;
}

static bool requestGood(const VEXOcontrolRequest& r)
{
    if (r.version != VEXO_CONTROL_VERSION)
        return false;
    switch (r.op) {
    case VEXO_CTL_STATUS:
    case VEXO_CTL_EE_READ:
    case VEXO_CTL_EE_WRITE: return true;
    case VEXO_CTL_OUTPUTS: return (r.mask & ~VEXO_CONTROL_OUTPUTS) == 0;
    default: return false;
    }
}

// Takes the client's next request, if one is there.
static void readRequest(VEXOcontrol* ctl, VEXOcontrolClient* c, time_t now)
{
    std::array<byte, sizeof(VEXOcontrolRequest) + 1> buf{};
    const ssize_t n = recv(c->fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    VEXOcontrolRequest r{};
    std::memcpy(&r, buf.data(), sizeof r);
    if (n != static_cast<ssize_t>(sizeof r) || !requestGood(r) || c->served >= VEXO_CONTROL_REQUESTS) {
        drop(ctl, c); // gone, malformed, oversized, or asking too much
        return;
    }
    c->req = r;
    c->pending = true;
    c->since = now;
}

static const char* opName(byte op)
{
    return op == VEXO_CTL_EE_READ ? "EEPROM read" : op == VEXO_CTL_EE_WRITE ? "EEPROM write" : "change of outputs";
}

// A change, carried out now with exchanges of its own.
static void carryOut(VEXOcontrol* ctl, VEXOcontrolClient* c, FILE* f, ByteArrayRef repAll)
{
    const VEXOcontrolRequest r = c->req;
    VEXOreply rep{};
    byte data = 0;
    bool taken = true;
    if (r.op == VEXO_CTL_EE_READ) {
        taken = VEXOreadEEPROMtry(f, r.adrs, &rep);
        data = rep.ee_data;
    } else if (r.op == VEXO_CTL_EE_WRITE) {
        taken = VEXOwriteEEPROMtry(f, r.adrs, r.value, &rep);
    } else {
        std::array<byte, VEXO_REQUEST_LEN> reqBuf{};
        const ByteArrayRef bReq = BAR(reqBuf.data(), VEXO_REQUEST_LEN);
        VEXOrequestInitFromReply(AVRreplyGetFresh(f, repAll), bReq);
        VEXOrequest req = VEXOrequest_Get(bReq);
        req.outputs = static_cast<word>((req.outputs & ~r.mask) | (r.outputs & r.mask));
        VEXOrequest_Put(bReq, req);
        const ByteArrayRef got = AVRsendRequestTry(f, bReq, repAll, VEXOcallback);
        taken = got.arr != nullptr;
        if (taken)
            rep = VEXOreply_Get(got);
    }
    if (!taken) {
        // The board would not take a one-shot's change: that one-shot
        // fails as it would on a free board; the supervisor goes on.
        VEXOlog(LOG_WARNING, "a one-shot's %s was not taken by the board", opName(r.op));
        c->req.op = VEXO_CTL_FAILED;
    }
    answer(ctl, c, data, rep);
}

void VEXOcontrolServe(VEXOcontrol* ctl, FILE* f, ByteArrayRef repAll)
{
    if (ctl->listenFd < 0)
        return;
    std::array<pollfd, VEXO_CONTROL_CLIENTS + 1> fds{};
    fds[0] = pollfd{ctl->listenFd, POLLIN, 0};
    for (size_t i = 0; i < ctl->clients.size(); i++) {
        const VEXOcontrolClient& c = ctl->clients[i];
        // A client waiting for its answer is not read: one request at a time.
        fds[i + 1] = pollfd{c.fd >= 0 && !c.pending ? c.fd : -1, POLLIN, 0};
    }
    // With nobody connected only the listening socket is asked.
    const nfds_t count = ctl->connected > 0 ? fds.size() : 1;
    if (poll(fds.data(), count, 0) < 0)
        return;
    const time_t now = time(nullptr);
    for (size_t i = 0; i < ctl->clients.size(); i++) {
        VEXOcontrolClient* c = &ctl->clients[i];
        if (c->fd < 0)
            continue;
        if (fds[i + 1].revents != 0)
            readRequest(ctl, c, now);
        else if (!c->pending && now - c->since > VEXO_CONTROL_IDLE_S)
            drop(ctl, c);
        if (c->fd >= 0 && c->pending && c->req.op != VEXO_CTL_STATUS)
            carryOut(ctl, c, f, repAll);
    }
    if ((fds[0].revents & POLLIN) != 0)
        accept1(ctl, now);
}

void VEXOcontrolStatus(VEXOcontrol* ctl, const VEXOreply& rep)
{
    if (ctl->connected == 0)
        return;
    for (auto& c : ctl->clients)
        if (c.fd >= 0 && c.pending && c.req.op == VEXO_CTL_STATUS)
            answer(ctl, &c, 0, rep);
}
