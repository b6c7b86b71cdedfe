#include "lib/net.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

time_t timeOfLastTx;
int lastTxRc;

int netUDPopen(int port, int asServer)
{
    if (asServer)
        return netUDPbind(port, htonl(INADDR_ANY));
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? -1 : fd;
}

int netUDPbind(int port, std::uint32_t adrs)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    local.sin_addr.s_addr = adrs;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -2;
    }
    return fd;
}

ByteArrayRef netUDPrxFlags(int fd, ByteArrayRef buf, sockaddr_in* from, int flags)
{
    std::memset(from, 0, sizeof *from);
    from->sin_family = AF_INET;
    socklen_t alen = sizeof *from;
    const ssize_t n =
        recvfrom(fd, buf.arr, static_cast<size_t>(buf.len), flags, reinterpret_cast<sockaddr*>(from), &alen);
    if (n < 0)
        return BAR(nullptr, 0);
    return BAR(buf.arr, static_cast<std::int32_t>(n));
}

ByteArrayRef netUDPrx(int fd, ByteArrayRef buf, sockaddr_in* from) { return netUDPrxFlags(fd, buf, from, 0); }

int netUDPtx(int fd, ByteArrayRef buf, const sockaddr_in* to)
{
    timeOfLastTx = time(nullptr);
    lastTxRc = static_cast<int>(
        sendto(fd, buf.arr, static_cast<size_t>(buf.len), 0, reinterpret_cast<const sockaddr*>(to), sizeof *to));
    return lastTxRc;
}

const char* netAdrsText(const sockaddr_in* a, char* buf, size_t size)
{
    unsigned char b[4];
    std::memcpy(b, &a->sin_addr, sizeof b);
    snprintf(buf, size, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return buf;
}

void netUDPPrint(const sockaddr_in* from)
{
    char text[NET_ADRS_TEXT_SIZE];
    printf("%s port %d\n", netAdrsText(from, text, sizeof text), ntohs(from->sin_port));
}

void netAdrsFromHost(sockaddr_in* to, const hostent* host, int port)
{
    std::memset(to, 0, sizeof *to);
    to->sin_family = AF_INET;
    if (host->h_addrtype == AF_INET && host->h_length == sizeof to->sin_addr && host->h_addr_list[0] != nullptr)
        std::memcpy(&to->sin_addr, host->h_addr_list[0], sizeof to->sin_addr);
    to->sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
}

int netResolve(sockaddr_in* adrs, const char* name, int port)
{
    const hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET)
        return 0;
    netAdrsFromHost(adrs, host, port);
    return 1;
}

void netAdrsFromName(sockaddr_in* adrs, const char* name, int port)
{
    if (netResolve(adrs, name, port))
        return;
    std::memset(adrs, 0, sizeof *adrs);
    adrs->sin_family = AF_INET; // port 0: the kernel refuses every send
}

void netBatchPrepare(mmsghdr* msgs, iovec* iov, int n, unsigned char* bufs, size_t bufLen, sockaddr_in* from,
                     unsigned char* ctl, size_t ctlLen)
{
    for (int i = 0; i < n; i++) {
        const auto k = static_cast<size_t>(i);
        iov[i] = iovec{bufs + k * bufLen, bufLen};
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof from[i];
        if (ctl != nullptr) {
            msgs[i].msg_hdr.msg_control = ctl + k * ctlLen;
            msgs[i].msg_hdr.msg_controllen = ctlLen;
        }
    }
}
