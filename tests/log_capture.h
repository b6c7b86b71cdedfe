// Captures of what the supervisor tells the system log (a datagram socket
// bound on the sandbox's own /dev/log) and the service manager (a socket
// named by NOTIFY_SOCKET).
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/helpers.h"

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

// A datagram socket for the service manager's messages: a path, or an
// abstract name when the path starts with '@'. It reads only when asked.
class NotifyCapture {
public:
    explicit NotifyCapture(const std::string& name) : name_(name)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, name.data(), name.size());
        if (name[0] == '@')
            a.sun_path[0] = '\0';
        else
            unlink(name.c_str());
        const auto len = static_cast<socklen_t>(sizeof(sa_family_t) + name.size() + (name[0] == '@' ? 0 : 1));
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0;
    }
    ~NotifyCapture()
    {
        close(fd_);
        if (name_[0] != '@')
            unlink(name_.c_str());
    }
    bool bound() const { return bound_; }
    const std::string& name() const { return name_; }
    // Every datagram so far.
    const std::vector<std::string>& messages()
    {
        char buf[512];
        for (ssize_t n; (n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            messages_.emplace_back(buf, static_cast<size_t>(n));
        return messages_;
    }

private:
    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::string> messages_;
};
