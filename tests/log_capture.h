// The system log of the sandbox: a datagram socket bound in place of
// /dev/log (the tests' mount namespace has a /dev of its own), and the lines
// vexo sent there.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "helpers.h"

// One line of the system log: priority (facility and level) and text.
struct LogLine {
    int facility = -1;
    int level = -1;
    std::string text;
};

// A datagram socket in place of the system log's /dev/log.
class LogCapture {
public:
    LogCapture()
    {
        unlink("/dev/log");
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, "/dev/log");
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        chmod("/dev/log", 0666);
    }
    ~LogCapture()
    {
        close(fd_);
        unlink("/dev/log");
    }
    bool bound() const { return bound_; }
    // Every line so far, from vexo's process only.
    const std::vector<LogLine>& lines()
    {
        char buf[2048];
        for (ssize_t n; (n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
            const std::string raw(buf, static_cast<size_t>(n));
            const size_t tag = raw.find(" vexo[");
            const size_t colon = raw.find("]: ", tag);
            if (raw[0] != '<' || tag == std::string::npos || colon == std::string::npos)
                continue;
            const int pri = std::atoi(raw.c_str() + 1);
            lines_.push_back(LogLine{pri >> 3, pri & 7, raw.substr(colon + 3)});
        }
        return lines_;
    }
    // The first line that starts with text, waiting up to timeoutMs for it.
    LogLine find(const std::string& text, int timeoutMs = 5000)
    {
        LogLine found;
        waitFor(
            [&] {
                for (const auto& l : lines())
                    if (l.text.rfind(text, 0) == 0) {
                        found = l;
                        return true;
                    }
                return false;
            },
            timeoutMs);
        return found;
    }
    size_t count(const std::string& text)
    {
        size_t n = 0;
        for (const auto& l : lines())
            n += l.text.rfind(text, 0) == 0;
        return n;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
    std::vector<LogLine> lines_;
};
