// The system log and standard error without waiting: each line goes out in
// one non-blocking send or write, or is dropped and counted; once the other
// end takes lines again, one line says how many were lost.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "avr/vexo_field.h"

namespace {

constexpr size_t LOG_LINE_MAX = 1024;  // header and text; longer texts are cut
constexpr size_t ERROR_LINE_MAX = 512; // at most PIPE_BUF: one write, never split
constexpr const char* LOG_PATH = "/dev/log";

struct LogSink {
    int fd = -1;
    bool connected = false;
    long dropped = 0; // lines lost since the log last took one
};
LogSink logSink;
long errorDropped = 0; // lines for standard error lost since it last took one

constexpr const char* MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "<PRI>Mmm dd hh:mm:ss vexo[PID]: " as the system log expects it; its length.
size_t logHeader(char* buf, size_t size, int priority)
{
    if ((priority & LOG_FACMASK) == 0)
        priority |= LOG_DAEMON;
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const int n = snprintf(buf, size, "<%d>%s %2d %02d:%02d:%02d vexo[%d]: ", priority, MONTHS[local.tm_mon % 12],
                           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(getpid()));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

bool logConnect()
{
    if (logSink.fd < 0)
        logSink.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (logSink.fd < 0)
        return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, LOG_PATH, std::strlen(LOG_PATH));
    logSink.connected = connect(logSink.fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    return logSink.connected;
}

// One datagram to the log; false when it would wait or nobody is there.
bool logSend(const char* line, size_t n)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!logSink.connected && !logConnect())
            return false;
        if (send(logSink.fd, line, n, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return true;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR)
            return false; // full: the reader is behind
        // The socket went away (the log restarted): a fresh one, once.
        close(logSink.fd);
        logSink.fd = -1;
        logSink.connected = false;
    }
    return false;
}

// The line about lost lines, if any; false when it could not go out either.
bool logSayDropped()
{
    if (logSink.dropped == 0)
        return true;
    char line[LOG_LINE_MAX];
    const size_t h = logHeader(line, sizeof line, LOG_WARNING);
    const int n = snprintf(line + h, sizeof line - h, "%ld line%s dropped while the system log took none",
                           logSink.dropped, logSink.dropped == 1 ? "" : "s");
    if (n < 0 || !logSend(line, h + std::strlen(line + h)))
        return false;
    logSink.dropped = 0;
    return true;
}

// Standard error: a pipe or socket is written only when it takes the line at once.
bool errorWrite(const char* line, size_t n)
{
    struct stat st {};
    if (fstat(2, &st) != 0)
        return false;
    if (S_ISSOCK(st.st_mode))
        return send(2, line, n, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(n);
    if (S_ISFIFO(st.st_mode)) {
        // Room for PIPE_BUF bytes, and a reader: a line this short never waits.
        pollfd p{2, POLLOUT, 0};
        if (poll(&p, 1, 0) != 1 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 || (p.revents & POLLOUT) == 0)
            return false;
    }
    return write(2, line, n) == static_cast<ssize_t>(n);
}

} // namespace

void VEXOlogLine(int priority, const char* fmt, va_list ap)
{
    char line[LOG_LINE_MAX];
    const size_t h = logHeader(line, sizeof line, priority);
    vsnprintf(line + h, sizeof line - h, fmt, ap);
    if (!logSayDropped() || !logSend(line, h + std::strlen(line + h)))
        logSink.dropped++;
}

void VEXOlogTick() { logSayDropped(); }

long VEXOlogDropped() { return logSink.dropped; }

void VEXOerror(const char* fmt, ...)
{
    char line[ERROR_LINE_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (errorDropped > 0) {
        char count[96];
        snprintf(count, sizeof count, "vexo: %ld line%s to standard error dropped: nobody took them\n", errorDropped,
                 errorDropped == 1 ? "" : "s");
        if (!errorWrite(count, std::strlen(count))) {
            errorDropped++;
            return;
        }
        errorDropped = 0;
    }
    if (!errorWrite(line, std::strlen(line)))
        errorDropped++;
}

long VEXOerrorDropped() { return errorDropped; }
