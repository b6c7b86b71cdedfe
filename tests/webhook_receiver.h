// The receiving end of Alertmanager's webhook in the tests: an HTTP listener
// on 127.0.0.1 on a thread of its own that answers every request with 200
// and keeps each request's path and body.
#pragma once

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class WebhookReceiver {
public:
    struct Request {
        std::string path, body;
    };

    explicit WebhookReceiver(int port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 16) == 0;
        if (listening_)
            thread_ = std::thread([this] { serve(); });
    }
    ~WebhookReceiver()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        close(fd_);
    }
    WebhookReceiver(const WebhookReceiver&) = delete;
    WebhookReceiver& operator=(const WebhookReceiver&) = delete;

    bool listening() const { return listening_; }
    std::vector<Request> requests()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return got_;
    }
    // The first request to path whose body holds every one of the texts, or "".
    std::string find(const std::string& path, const std::vector<std::string>& texts)
    {
        for (const Request& r : requests()) {
            bool all = r.path == path;
            for (const std::string& t : texts)
                all = all && r.body.find(t) != std::string::npos;
            if (all)
                return r.body;
        }
        return "";
    }

private:
    int fd_ = -1;
    bool listening_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<Request> got_;

    void serve()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                answer(c);
                close(c);
            }
        }
    }
    // Reads one request (its head, then Content-Length bytes of body) and answers 200.
    void answer(int c)
    {
        std::string raw;
        char buf[16384];
        size_t head = std::string::npos, want = 0;
        pollfd p{c, POLLIN, 0};
        while (poll(&p, 1, 2000) > 0) {
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            raw.append(buf, static_cast<size_t>(n));
            if (head == std::string::npos && (head = raw.find("\r\n\r\n")) != std::string::npos) {
                const size_t at = raw.find("Content-Length: ");
                want = at < head ? std::strtoul(raw.c_str() + at + 16, nullptr, 10) : 0;
            }
            if (head != std::string::npos && raw.size() >= head + 4 + want)
                break;
        }
        if (head == std::string::npos)
            return;
        const size_t sp = raw.find(' ');
        const size_t sp2 = raw.find(' ', sp + 1);
        static const char ok[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        send(c, ok, sizeof ok - 1, MSG_NOSIGNAL);
        std::lock_guard<std::mutex> lock(mu_);
        got_.push_back({raw.substr(sp + 1, sp2 - sp - 1), raw.substr(head + 4, want)});
    }
};
