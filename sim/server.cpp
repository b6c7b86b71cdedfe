#include "server.h"

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "file.h"
#include "serial.h"

// Wire time of one byte at 115200 baud, 10 bits a byte.
constexpr double BYTE_TIME_S = 10.0 / 115200.0;

double simServerNow(const SimServer* s)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - s->start).count();
}

// Frames a packet the way the board's firmware does.
static std::vector<byte> frameOf(const std::vector<byte>& pkt)
{
    std::vector<byte> out{SERIAL_START};
    for (byte b : pkt) {
        if (b == SERIAL_START || b == SERIAL_ESC || b == SERIAL_END || b == SERIAL_XON || b == SERIAL_XOFF) {
            out.push_back(SERIAL_ESC);
            out.push_back(static_cast<byte>(b ^ SERIAL_ESC_XOR));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(SERIAL_END);
    return out;
}

// A packet of n bytes whose checksum passes.
static std::vector<byte> junkPacket(size_t n, std::mt19937& rng)
{
    std::vector<byte> p(n);
    std::generate(p.begin(), p.end(), [&rng] { return static_cast<byte>(rng()); });
    ByteArrayRef_Seal(BAR(p.data(), static_cast<int>(n)));
    return p;
}

// Decodes the host's bytes into frames; called with the lock held.
struct FrameDecoder {
    bool inFrame = false;
    bool escape = false;
    std::vector<byte> raw;
    std::vector<byte> pkt;
};

static void applyOrDefer(SimServer* s, const VEXOrequest& req)
{
    if (s->faults.ignoreRequests)
        return;
    if (s->faults.confirmAfter > 0) {
        if (!s->pendingSet)
            s->pendingCountdown = s->faults.confirmAfter;
        s->pendingSet = true;
        s->pending = req;
        return;
    }
    simBoardApply(&s->board, req);
}

static void takeFrame(SimServer* s, FrameDecoder* d)
{
    SimRequest r;
    r.t = simServerNow(s);
    r.frame = d->raw;
    r.packet = d->pkt;
    const unsigned sum = std::accumulate(r.packet.begin(), r.packet.end(), 0u);
    r.valid = r.packet.size() == VEXO_REQUEST_LEN && (sum & 0xFF) == FILE_PACKET_SUM;
    if (r.valid) {
        std::memcpy(&r.req, r.packet.data(), sizeof r.req);
        applyOrDefer(s, r.req);
    }
    s->requests.push_back(std::move(r));
    s->requestsTotal++;
    if (s->requests.size() >= 2 * SIM_HISTORY)
        s->requests.erase(s->requests.begin(), s->requests.begin() + SIM_HISTORY);
    s->changed.notify_all();
}

static void feed(SimServer* s, FrameDecoder* d, byte b)
{
    s->hostBytes++;
    if (b == SERIAL_START) {
        d->inFrame = true;
        d->escape = false;
        d->raw.assign(1, b);
        d->pkt.clear();
        return;
    }
    if (!d->inFrame)
        return;
    d->raw.push_back(b);
    if (d->escape) {
        d->pkt.push_back(static_cast<byte>(b ^ SERIAL_ESC_XOR));
        d->escape = false;
    } else if (b == SERIAL_ESC) {
        d->escape = true;
    } else if (b == SERIAL_END) {
        d->inFrame = false;
        takeFrame(s, d);
    } else {
        d->pkt.push_back(b);
    }
}

// Writes what the master accepts; the rest is lost as on a full line.
static void emit(SimServer* s, const std::vector<byte>& bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = write(s->master, bytes.data() + off, bytes.size() - off);
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

// Builds everything that goes out in one frame slot; called with the lock held.
static std::vector<byte> nextOutput(SimServer* s, double now, double dt)
{
    std::vector<byte> out;
    SimFaults& f = s->faults;
    if (f.garbage) {
        out.resize(64);
        std::generate(out.begin(), out.end(),
                      [s] { return static_cast<byte>(s->noiseRng() % SERIAL_END); }); // never an end delimiter
        return out;
    }
    if (now < f.silentUntil)
        return out;
    for (int i = 0; i < f.noiseBytes; i++) {
        byte b = static_cast<byte>(s->noiseRng());
        out.push_back(b == SERIAL_START ? 0x00 : b); // never opens a frame
    }
    if (f.shortFrames > 0) {
        f.shortFrames--;
        const auto fr = frameOf(junkPacket(5, s->noiseRng));
        out.insert(out.end(), fr.begin(), fr.end());
    }
    if (f.oversizedFrames > 0) {
        f.oversizedFrames--;
        const auto fr = frameOf(junkPacket(600, s->noiseRng));
        out.insert(out.end(), fr.begin(), fr.end());
    }
    if (s->pendingSet) {
        if (s->pendingCountdown <= 0) {
            simBoardApply(&s->board, s->pending);
            s->pendingSet = false;
        } else {
            s->pendingCountdown--;
        }
    }
    simBoardStep(&s->board, dt);
    VEXOreply r = simBoardReply(&s->board);
    if (f.badChecksumFrames > 0) {
        f.badChecksumFrames--;
        r.checksum = static_cast<byte>(r.checksum + 1);
    }
    std::vector<byte> pkt(sizeof r);
    std::memcpy(pkt.data(), &r, sizeof r);
    const auto fr = frameOf(pkt);
    for (int i = 0; i < std::max(1, f.burstRecords); i++) {
        out.insert(out.end(), fr.begin(), fr.end());
        s->repliesSent++;
        s->replyEnds.push_back(now + static_cast<double>(out.size()) * BYTE_TIME_S);
    }
    if (s->replyEnds.size() >= 2 * SIM_HISTORY)
        s->replyEnds.erase(s->replyEnds.begin(), s->replyEnds.begin() + SIM_HISTORY);
    if (s->board.sleepRequested != 0) {
        f.silentUntil = now + s->board.sleepRequested;
        s->board.sleepRequested = 0;
    }
    s->changed.notify_all();
    return out;
}

static void serve(SimServer* s)
{
    FrameDecoder dec;
    const double interval = s->cfg.intervalMs / 1000.0;
    double next = 0;
    double last = 0;
    bool onbattDone = s->cfg.onbattAtS < 0;
    bool lineDone = s->cfg.lineAtS < 0;
    while (s->running) {
        double now = simServerNow(s);
        if (now >= next) {
            std::vector<byte> out;
            bool garbage = false;
            {
                std::lock_guard<std::mutex> lock(s->mu);
                if (!onbattDone && now >= s->cfg.onbattAtS) {
                    simBoardSetLinePower(&s->board, false);
                    onbattDone = true;
                }
                if (!lineDone && now >= s->cfg.lineAtS) {
                    simBoardSetLinePower(&s->board, true);
                    lineDone = true;
                }
                out = nextOutput(s, now, now - last);
                garbage = s->faults.garbage;
            }
            last = now;
            // The frame reaches the host when its last byte would have
            // crossed a 115200-baud line, not before.
            const double wire = static_cast<double>(out.size()) * BYTE_TIME_S;
            std::this_thread::sleep_until(s->start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                         std::chrono::duration<double>(now + wire)));
            emit(s, out);
            next = std::max(next + interval, now + wire);
            if (garbage)
                next = now + std::max(wire, 0.002);
        }
        now = simServerNow(s);
        const double wait = std::max(0.0, std::min(next - now, 0.05));
        timespec ts{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
        pollfd p{s->master, POLLIN, 0};
        if (ppoll(&p, 1, &ts, nullptr) > 0 && (p.revents & POLLIN)) {
            std::array<byte, 512> buf;
            const ssize_t n = read(s->master, buf.data(), buf.size());
            if (n > 0) {
                std::lock_guard<std::mutex> lock(s->mu);
                for (ssize_t i = 0; i < n; i++)
                    feed(s, &dec, buf[i]);
            }
        }
    }
}

bool simServerStart(SimServer* s, const SimConfig& cfg)
{
    s->cfg = cfg;
    simBoardInit(&s->board, cfg.board);
    s->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s->master < 0)
        return false;
    if (grantpt(s->master) != 0 || unlockpt(s->master) != 0) {
        close(s->master);
        return false;
    }
    char name[128];
    if (ptsname_r(s->master, name, sizeof name) != 0) {
        close(s->master);
        return false;
    }
    s->slavePath = name;
    s->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s->slave < 0) {
        close(s->master);
        return false;
    }
    // A raw line, but at 9600 baud and VMIN 1, so a host that restores the
    // settings it found can be told from one that leaves its own behind.
    termios t{};
    tcgetattr(s->slave, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(s->slave, TCSANOW, &t);
    fcntl(s->master, F_SETFL, O_NONBLOCK);
    s->start = std::chrono::steady_clock::now();
    s->running = true;
    s->thread = std::thread(serve, s);
    return true;
}

void simServerStop(SimServer* s)
{
    if (s->running.exchange(false) && s->thread.joinable())
        s->thread.join();
    if (s->master >= 0)
        close(s->master);
    if (s->slave >= 0)
        close(s->slave);
    s->master = s->slave = -1;
}

void simSetLinePower(SimServer* s, bool line)
{
    std::lock_guard<std::mutex> lock(s->mu);
    simBoardSetLinePower(&s->board, line);
}

void simInjectSilence(SimServer* s, int ms)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.silentUntil = simServerNow(s) + ms / 1000.0;
}

void simInjectNoise(SimServer* s, int bytesPerGap)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.noiseBytes = bytesPerGap;
}

void simInjectBadChecksum(SimServer* s, int frames)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.badChecksumFrames = frames;
}

void simInjectShortFrame(SimServer* s, int frames)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.shortFrames = frames;
}

void simInjectOversizedFrame(SimServer* s, int frames)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.oversizedFrames = frames;
}

void simSetGarbage(SimServer* s, bool on)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.garbage = on;
}

void simSetIgnoreRequests(SimServer* s, bool on)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.ignoreRequests = on;
}

void simSetConfirmAfter(SimServer* s, int replies)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.confirmAfter = replies;
}

void simInjectBurst(SimServer* s, int records)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.burstRecords = records;
}

void simPinReadings(SimServer* s, word adc0, word adc2, word adc6, word adc7, word temp)
{
    std::lock_guard<std::mutex> lock(s->mu);
    simBoardPinReadings(&s->board, adc0, adc2, adc6, adc7, temp);
}

void simSetOutputs(SimServer* s, word outputs, word pwm_lo, word pwm_t)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->board.outputs = static_cast<word>(outputs & ~(eeAck | onbatt));
    s->board.onBattery = VEXObit(outputs, onbatt);
    s->board.pwm_lo = pwm_lo;
    s->board.pwm_t = pwm_t;
}

std::vector<SimRequest> simRequests(const SimServer* s)
{
    std::lock_guard<std::mutex> lock(s->mu);
    return s->requests;
}

std::vector<SimRequest> simRequestsSince(const SimServer* s, long* seen)
{
    std::lock_guard<std::mutex> lock(s->mu);
    const long held = static_cast<long>(s->requests.size());
    const long first = s->requestsTotal - held; // sequence number of requests[0]
    const long from = std::min(std::max(*seen, first), s->requestsTotal) - first;
    *seen = s->requestsTotal;
    return std::vector<SimRequest>(s->requests.begin() + from, s->requests.end());
}

long simRequestsTotal(const SimServer* s)
{
    std::lock_guard<std::mutex> lock(s->mu);
    return s->requestsTotal;
}

void simClearRequests(SimServer* s)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->requests.clear();
}

long simHostBytes(const SimServer* s)
{
    std::lock_guard<std::mutex> lock(s->mu);
    return s->hostBytes;
}

std::vector<double> simReplyEnds(const SimServer* s)
{
    std::lock_guard<std::mutex> lock(s->mu);
    return s->replyEnds;
}

long simRepliesSent(const SimServer* s)
{
    std::lock_guard<std::mutex> lock(s->mu);
    return s->repliesSent;
}

SimBoard simBoardSnapshot(const SimServer* s)
{
    std::lock_guard<std::mutex> lock(s->mu);
    return s->board;
}

bool simWaitRequests(SimServer* s, int timeoutMs, bool (*pred)(const std::vector<SimRequest>&, void*), void* data)
{
    std::unique_lock<std::mutex> lock(s->mu);
    return s->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(s->requests, data); });
}

long simEepromFailures(const SimServer* s, int* lastErrno)
{
    std::lock_guard<std::mutex> lock(s->mu);
    *lastErrno = s->board.eepromWriteErrno;
    return s->board.eepromWriteFailures;
}

namespace {

// A control command's words after its name, checked before it runs.
enum class ControlArgs { None, Number, OnOff, AddressValue };

struct ControlCommand {
    const char* name;
    ControlArgs args;
    long min, max; // range of a Number
    void (*run)(SimServer* s, long a, long b);
};

void setEeprom(SimServer* s, long adrs, long value)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->board.eeprom[static_cast<size_t>(adrs)] = static_cast<byte>(value);
}

// Ranges keep every frame slot short: the serving thread never sleeps for
// long, so the simulator always ends promptly.
const ControlCommand controlCommands[] = {
    {"line", ControlArgs::None, 0, 0, [](SimServer* s, long, long) { simSetLinePower(s, true); }},
    {"battery", ControlArgs::None, 0, 0, [](SimServer* s, long, long) { simSetLinePower(s, false); }},
    {"silent", ControlArgs::Number, 0, 600000, [](SimServer* s, long n, long) { simInjectSilence(s, int(n)); }},
    {"noise", ControlArgs::Number, 0, 4096, [](SimServer* s, long n, long) { simInjectNoise(s, int(n)); }},
    {"badsum", ControlArgs::Number, 0, 1000000000, [](SimServer* s, long n, long) { simInjectBadChecksum(s, int(n)); }},
    {"short", ControlArgs::Number, 0, 1000000000, [](SimServer* s, long n, long) { simInjectShortFrame(s, int(n)); }},
    {"oversize", ControlArgs::Number, 0, 1000000000,
     [](SimServer* s, long n, long) { simInjectOversizedFrame(s, int(n)); }},
    {"garbage", ControlArgs::OnOff, 0, 1, [](SimServer* s, long on, long) { simSetGarbage(s, on != 0); }},
    {"ignore", ControlArgs::OnOff, 0, 1, [](SimServer* s, long on, long) { simSetIgnoreRequests(s, on != 0); }},
    {"confirm-after", ControlArgs::Number, 0, 1000, [](SimServer* s, long n, long) { simSetConfirmAfter(s, int(n)); }},
    {"burst", ControlArgs::Number, 0, 64, [](SimServer* s, long n, long) { simInjectBurst(s, int(n)); }},
    {"eeprom", ControlArgs::AddressValue, 0, 255, setEeprom},
};

// A whole number (decimal, or hexadecimal with 0x) in [min, max].
bool controlNumber(const std::string& word, long min, long max, long* out)
{
    if (word.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

std::string simControl(SimServer* s, const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty())
        return "";
    const std::string& name = words[0];
    for (const ControlCommand& c : controlCommands) {
        if (name != c.name)
            continue;
        const size_t given = words.size() - 1;
        long a = 0, b = 0;
        char range[64];
        snprintf(range, sizeof range, "from %ld to %ld", c.min, c.max);
        switch (c.args) {
        case ControlArgs::None:
            if (given != 0)
                return name + " takes no argument";
            break;
        case ControlArgs::Number:
            if (given != 1 || !controlNumber(words[1], c.min, c.max, &a))
                return name + " needs one whole number " + range + (given >= 1 ? ", not '" + words[1] + "'" : "");
            break;
        case ControlArgs::OnOff:
            if (given != 1 || (words[1] != "on" && words[1] != "off" && words[1] != "1" && words[1] != "0"))
                return name + " needs on or off" + (given >= 1 ? ", not '" + words[1] + "'" : "");
            a = words[1] == "on" || words[1] == "1";
            break;
        case ControlArgs::AddressValue:
            if (given != 2 || !controlNumber(words[1], c.min, c.max, &a) || !controlNumber(words[2], c.min, c.max, &b))
                return name + " needs an address and a value, each a whole number " + range;
            break;
        }
        c.run(s, a, b);
        return "";
    }
    return "unknown command: " + name;
}
