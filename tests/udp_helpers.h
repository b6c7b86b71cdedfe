// Loopback UDP helpers for the tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A loopback UDP socket bound to port (0: any); its port is in *bound.
inline int loopbackSocket(int port, int* bound = nullptr)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (bound)
        *bound = ntohs(a.sin_port);
    return fd;
}

inline sockaddr_in loopbackAddress(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline void sendTo(int fd, int port, const void* data, size_t n)
{
    const sockaddr_in a = loopbackAddress(port);
    sendto(fd, data, n, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

// One datagram, or an empty vector after timeoutMs.
inline std::vector<unsigned char> receiveOne(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return {};
    std::vector<unsigned char> buf(2048);
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
}

// Number of open descriptors of this process.
inline int openDescriptors()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n - 1; // the directory stream's own
}
