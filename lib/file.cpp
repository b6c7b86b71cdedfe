#include "lib/file.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/clock.h"
#include "lib/serial.h"

int ByteArrayRef_Checksum(ByteArrayRef pkt)
{
    int sum = 0;
    for (int i = 0; i < pkt.len; i++)
        sum += pkt.arr[i];
    return sum;
}

void ByteArrayRef_Seal(ByteArrayRef pkt)
{
    byte& sum = pkt.arr[pkt.len - 1];
    sum = 0;
    sum = static_cast<byte>(FILE_PACKET_SUM - ByteArrayRef_Checksum(pkt));
}

// One receiver step: feeds byte b to the state in fr.len (FILE_RX_IDLE and
// the others), storing data bytes in fr.arr; cap is the buffer's capacity.
// A frame that would not fit is dropped and the receiver waits, idle, for
// the next start delimiter.
static ByteArrayRef ByteArray_PacketGet(ByteArrayRef fr, byte b, int cap)
{
    const int len = fr.len;
    if (len <= FILE_RX_ESCAPE) {
        const int n = -(len - FILE_RX_ESCAPE);
        if (n >= cap)
            return BAR(fr.arr, FILE_RX_IDLE);
        fr.arr[n] = static_cast<byte>(b ^ SERIAL_ESC_XOR);
        return BAR(fr.arr, FILE_RX_COLLECTED * (n + 1));
    }
    if (len < FILE_RX_IDLE) { // opened or collecting
        const int n = len == FILE_RX_OPENED ? 0 : -len;
        if (b == SERIAL_ESC)
            return BAR(fr.arr, -n + FILE_RX_ESCAPE);
        if (b == SERIAL_START) // opened stays opened; a partial packet is abandoned
            return BAR(fr.arr, n == 0 ? FILE_RX_OPENED : FILE_RX_IDLE);
        if (b == SERIAL_END)
            return BAR(fr.arr, n); // complete (an empty frame: idle)
        if (n >= cap)
            return BAR(fr.arr, FILE_RX_IDLE);
        fr.arr[n] = b;
        return BAR(fr.arr, FILE_RX_COLLECTED * (n + 1));
    }
    return BAR(fr.arr, b == SERIAL_START ? FILE_RX_OPENED : len);
}

// Bytes read from the port but not yet fed to the receiver. The stream and
// descriptor they came from are kept with them, so another port starts empty.
struct PortReadAhead {
    const FILE* owner = nullptr;
    int fd = -1;
    int head = 0; // next byte to take
    int tail = 0; // end of the bytes read
    std::array<byte, FILE_READ_AHEAD> buf{};
};
static PortReadAhead ahead;

static PortReadAhead* readAheadOf(const FILE* f, int fd)
{
    if (ahead.owner != f || ahead.fd != fd) {
        ahead.owner = f;
        ahead.fd = fd;
        ahead.head = ahead.tail = 0;
    }
    return &ahead;
}

// Waits for the port to become readable and reads a block into the empty
// read-ahead. FILE_RX_PACKET here means bytes are there to take.
static FileRxEnd fillReadAhead(PortReadAhead* in, long long deadline)
{
    int fd = in->fd;
    for (;;) {
        timeval tv{0, FILE_SILENCE_US};
        bool cut = false; // the wait ends at the no-packet deadline, not at silence
        if (deadline != 0) {
            const long long left = deadline - clockNowMs();
            if (left <= 0)
                return FILE_RX_NO_PACKET;
            if (left * 1000 < FILE_SILENCE_US) {
                tv.tv_usec = static_cast<suseconds_t>(left * 1000);
                cut = true;
            }
        }
        const int ready = filesWaitRead(IAR(&fd, 1), &tv);
        if (ready == 0)
            return cut ? FILE_RX_NO_PACKET : FILE_RX_SILENCE;
        if (ready < 0 && errno != EINTR)
            return FILE_RX_HANGUP;
        if (ready < 0)
            continue;
        const ssize_t n = read(fd, in->buf.data(), in->buf.size());
        if (n > 0) {
            in->head = 0;
            in->tail = static_cast<int>(n);
            return FILE_RX_PACKET;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // Readable, yet no byte (end of file, /dev/null) or an error such as
        // EIO from a terminal whose other side has closed.
        return FILE_RX_HANGUP;
    }
}

ByteArrayRef filePacketReceive(FILE* f, ByteArrayRef fr, FileRxRules rules, FileRxEnd* why)
{
    const int cap = fr.len < FILE_MAX_PACKET ? fr.len : FILE_MAX_PACKET;
    ByteArrayRef rx = BAR(fr.arr, FILE_RX_IDLE);
    const int fd = fileno(f);
    PortReadAhead* in = fd >= 0 ? readAheadOf(f, fd) : nullptr;
    // The deadline is looked at only when the read-ahead runs dry: bytes
    // cost no clock reads, and a block lasts a fraction of a second.
    const long long deadline = rules.noPacketMs > 0 ? clockNowMs() + rules.noPacketMs : 0;
    for (;;) {
        int c;
        if (in == nullptr) {
            c = fgetc(f);
            if (c == EOF) {
                clearerr(f);
                *why = FILE_RX_SILENCE;
                return BAR(nullptr, 0);
            }
        } else {
            if (in->head == in->tail) {
                const FileRxEnd end = fillReadAhead(in, deadline);
                if (end != FILE_RX_PACKET) {
                    *why = end;
                    return BAR(nullptr, 0);
                }
            }
            c = in->buf[static_cast<size_t>(in->head++)];
        }
        rx = ByteArray_PacketGet(rx, static_cast<byte>(c), cap);
        if (rx.len > 0) {
            if ((ByteArrayRef_Checksum(rx) & 0xFF) == FILE_PACKET_SUM && rx.len >= rules.minLen) {
                *why = FILE_RX_PACKET;
                return rx;
            }
            rx = BAR(fr.arr, FILE_RX_IDLE);
        }
    }
}

ByteArrayRef filePacketGet(FILE* f, ByteArrayRef fr)
{
    FileRxEnd why;
    return filePacketReceive(f, fr, FILE_RX_DEFAULT, &why);
}

int fileInputHeld(const FILE* f) { return ahead.owner == f && ahead.head < ahead.tail ? 1 : 0; }

int filesWaitRead(IntArrayRef fh, struct timeval* tv)
{
    fd_set set;
    FD_ZERO(&set);
    int max = -1;
    for (int i = 0; i < fh.len; i++) {
        const int fd = fh.arr[i];
        if (fd < 0 || fd >= FD_SETSIZE)
            continue;
        FD_SET(fd, &set);
        if (fd > max)
            max = fd;
    }
    if (max < 0)
        return 0;
    return select(max + 1, &set, nullptr, nullptr, tv);
}

void fileFlushInput(FILE* f)
{
    const int fd = fileno(f);
    if (fd < 0) {
        std::array<byte, 256> scratch;
        while (fread(scratch.data(), 1, scratch.size(), f) > 0) {}
        clearerr(f);
        return;
    }
    // The port returns at once when nothing is pending: 0 from a raw
    // terminal, EAGAIN from anything else that is non-blocking.
    PortReadAhead* in = readAheadOf(f, fd);
    in->head = in->tail = 0;
    while (read(fd, in->buf.data(), in->buf.size()) > 0) {}
}

void fileClose(FILE* f)
{
    if (ahead.owner == f)
        ahead = PortReadAhead{};
    fclose(f);
}

// open(2) flags for an fopen mode.
static int openFlags(const char* mode)
{
    const bool plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'w': return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a': return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default: return plus ? O_RDWR : O_RDONLY;
    }
}

static FileHeldFunc heldHook = nullptr;
static void* heldData = nullptr;

void fileOnHeld(FileHeldFunc fn, void* data)
{
    heldHook = fn;
    heldData = data;
}

FILE* fileOpenOrDie(const char* file, const char* mode)
{
    FILE* f = nullptr;
    const int fd = open(file, openFlags(mode) | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const bool held = errno == EWOULDBLOCK;
            close(fd);
            if (held && heldHook != nullptr)
                heldHook(file, EBUSY, heldData);
            errno = EBUSY;
        } else {
            f = fdopen(fd, mode);
            if (f == nullptr) {
                const int e = errno;
                close(fd);
                errno = e;
            }
        }
    } else if ((errno == EACCES || errno == EPERM) && heldHook != nullptr) {
        const int e = errno;
        heldHook(file, e, heldData);
        errno = e;
    }
    if (f == nullptr) {
        // The text of "%m", spelled out for -Wpedantic.
        fprintf(stderr, "Error opening %s: %s\n", file, strerror(errno));
        exit(1);
    }
    return f;
}

int fileSetBlocking(int fd, int on) { return fcntl(fd, F_SETFL, on ? 0 : O_NONBLOCK) == 0 ? 1 : 0; }

int fprinthex(FILE* f, const byte* str, int n)
{
    int total = 0;
    for (int i = 0; i < n; i++) {
        const int w = fprintf(f, "%02X ", str[i]);
        if (w < 0)
            return -1;
        total += w;
    }
    const int w = fprintf(f, "\n");
    return w < 0 ? -1 : total + w;
}

int printhex(const byte* str, int n) { return fprinthex(stdout, str, n); }

int dirMap(const char* dirname, dirFunc f, void* v)
{
    DIR* dir = opendir(dirname);
    if (dir == nullptr)
        return 0;
    int count = 0;
    std::array<char, 1024> path;
    while (const dirent* e = readdir(dir)) {
        const int n = snprintf(path.data(), path.size(), "%s/%s", dirname, e->d_name);
        if (n < 0 || n >= static_cast<int>(path.size()))
            continue; // would not fit: skip rather than name another file
        struct stat st {};
        if (stat(path.data(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        count++;
        std::array<char, 256> name;
        snprintf(name.data(), name.size(), "%s", e->d_name);
        if (f(name.data(), v) == 0)
            break;
    }
    closedir(dir);
    return count;
}
