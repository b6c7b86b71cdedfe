// A minimal HTTP/1.1 client on loopback for the tests: the status and the body,
// with chunked transfer decoding; and what the tests read of vexo-exporter.
#pragma once

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

struct HttpReply {
    int status = 0;      // 0 when nothing usable came
    std::string headers; // the status line and header lines, each ending in CRLF
    std::string body;
};

inline std::string dechunk(const std::string& raw)
{
    std::string out;
    size_t at = 0;
    while (at < raw.size()) {
        const size_t eol = raw.find("\r\n", at);
        if (eol == std::string::npos)
            break;
        const size_t n = std::strtoul(raw.substr(at, eol - at).c_str(), nullptr, 16);
        if (n == 0)
            break;
        out += raw.substr(eol + 2, n);
        at = eol + 2 + n + 2;
    }
    return out;
}

// Sends request as it is to 127.0.0.1:port and reads the reply until the
// server closes, waiting at most timeoutMs for the whole reply (nothing usable
// after that): the status, the header lines (as sent) and the body (chunked
// transfer decoded).
inline HttpReply httpExchange(int port, const std::string& request, int timeoutMs = 5000)
{
    HttpReply r;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return r;
    }
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return r;
    }
    std::string raw;
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (;;) {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        const long long left = timeoutMs - ((t.tv_sec - t0.tv_sec) * 1000LL + (t.tv_nsec - t0.tv_nsec) / 1000000);
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            close(fd);
            return r; // too late
        }
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        raw.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t head = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || head == std::string::npos)
        return r;
    r.status = std::atoi(raw.c_str() + 9);
    r.headers = raw.substr(0, head + 2);
    r.body = raw.substr(head + 4);
    if (r.headers.find("Transfer-Encoding: chunked") != std::string::npos ||
        r.headers.find("transfer-encoding: chunked") != std::string::npos)
        r.body = dechunk(r.body);
    return r;
}

// METHOD target from 127.0.0.1:port with a body (a JSON one when not empty),
// waiting at most timeoutMs for the whole reply.
inline HttpReply httpRequest(const char* method, int port, const std::string& target, const std::string& body,
                             int timeoutMs = 5000)
{
    std::string req = std::string(method) + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!body.empty())
        req += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n" + body;
    return httpExchange(port, req, timeoutMs);
}

// GET target from 127.0.0.1:port, waiting at most timeoutMs for the whole reply.
inline HttpReply httpGet(int port, const std::string& target, int timeoutMs = 5000)
{
    return httpRequest("GET", port, target, "", timeoutMs);
}

// vexo-exporter as built, and the metrics port the tests give it.
inline std::string exporterPath() { return std::string(VEXO_BIN_DIR) + "/clients/vexo-exporter"; }
constexpr int METRICS_PORT = 4001;

// The value of the series exactly as named in a metrics text, or NaN.
inline double metric(const std::string& text, const std::string& series)
{
    const size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? std::nan("") : std::atof(text.c_str() + at + series.size() + 2);
}
