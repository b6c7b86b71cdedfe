#include "clients/exporter/fleet.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "clients/common/cli.h"
#include "lib/net.h"

// Receive buffer asked for: some seconds of telemetry of a large fleet.
constexpr int FLEET_RCVBUF = 8 << 20;

static void logf(const Fleet* f, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
static void logf(const Fleet* f, const char* fmt, ...)
{
    if (f->log == nullptr)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    f->log(line, f->logData);
}

static bool hostChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

// True when s is well-formed UTF-8: no stray continuation bytes, no overlong
// forms, no surrogates, nothing above U+10FFFF.
static bool validUtf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; k++) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (d & 0x3F);
        }
        static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

bool fleetParseEntry(const std::string& text, FleetEntry* out, std::string* why)
{
    const size_t eq = text.find('=');
    FleetEntry e;
    e.host = text.substr(0, eq);
    e.label = eq == std::string::npos ? e.host : text.substr(eq + 1);
    if (e.host.empty() || !std::all_of(e.host.begin(), e.host.end(), hostChar)) {
        *why = "'" + text + "' is not HOST or HOST=LABEL";
        return false;
    }
    if (e.label.empty()) {
        *why = "'" + text + "' has an empty label";
        return false;
    }
    if (!validUtf8(e.label)) { // the text itself is not repeated: it would not print
        *why = "the label of " + e.host + " is not valid UTF-8";
        return false;
    }
    *out = e;
    return true;
}

bool fleetReadFile(const char* path, std::vector<FleetEntry>* out, std::string* why)
{
    std::ifstream in(path);
    if (!in) {
        *why = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    std::vector<FleetEntry> entries;
    std::string line;
    for (int n = 1; std::getline(in, line); n++) {
        const size_t a = line.find_first_not_of(" \t\r");
        if (a == std::string::npos || line[a] == '#')
            continue;
        const size_t b = line.find_last_not_of(" \t\r");
        FleetEntry e;
        std::string bad;
        if (!fleetParseEntry(line.substr(a, b - a + 1), &e, &bad)) {
            *why = std::string(path) + " line " + std::to_string(n) + ": " + bad;
            return false;
        }
        e.line = n;
        entries.push_back(e);
    }
    if (in.bad()) {
        *why = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    if (!fleetLabelsDistinct(entries, path, why))
        return false;
    *out = std::move(entries);
    return true;
}

bool fleetLabelsDistinct(const std::vector<FleetEntry>& entries, const char* file, std::string* why)
{
    std::unordered_map<std::string_view, const FleetEntry*> byLabel;
    byLabel.reserve(entries.size());
    for (const auto& e : entries) {
        const auto [it, fresh] = byLabel.emplace(e.label, &e);
        if (fresh || it->second->host == e.host)
            continue;
        const FleetEntry& first = *it->second;
        const std::string where =
            e.line > 0 ? std::string(file) + " line " + std::to_string(e.line) : "'" + e.host + "=" + e.label + "'";
        const std::string firstWhere = first.line > 0 ? "line " + std::to_string(first.line) : "the command line";
        *why = where;
        *why += ": the label '" + e.label + "' is already that of ";
        *why += first.host + " (" + firstWhere + ")";
        return false;
    }
    return true;
}

bool fleetOpen(Fleet* f, const sockaddr_in& local)
{
    const int fd = netUDPbind(ntohs(local.sin_port), local.sin_addr.s_addr);
    if (fd < 0)
        return false;
    const int size = FLEET_RCVBUF;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size); // the kernel may give less
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    f->fd = fd;
    f->localPort = ntohs(bound.sin_port);
    return true;
}

static void sendCommand(Fleet* f, FleetBoard* b, const VEXOUDPcommand& cmd)
{
    if (!monSendCommand(f->fd, b->to, cmd) && b->why.empty()) {
        b->why = std::string("cannot send: ") + strerror(errno);
        logf(f, "board %s: cannot send to %s: %s", b->entry.label.c_str(), b->entry.host.c_str(), strerror(errno));
    }
}

// Sends the datagrams of the MON_SEND_ bits of send, in their order.
static void sendBits(Fleet* f, FleetBoard* b, unsigned send)
{
    for (unsigned bit = 1; bit <= MON_SEND_OFF; bit <<= 1)
        if (send & bit)
            sendCommand(f, b, monLeaseCommand(&b->sub, bit, f->localPort));
}

// Counts and logs what the board's subscription went through.
static void boardEvent(Fleet* f, FleetBoard* b, MonLeaseEvent event)
{
    const char* label = b->entry.label.c_str();
    switch (event) {
    case MonLeaseEvent::Silent:
        b->row.reasks++;
        b->up = false;
        if (b->sub.state == MonLeaseState::Legacy && b->sub.legacy.takenOver) {
            b->row.takeovers++;
            logf(f,
                 "board %s: telemetry stopped right after arriving steadily; another subscriber may have taken it over",
                 label);
        }
        if (!b->toldDown) {
            b->toldDown = true;
            logf(f, "board %s: no telemetry from %s for %lld s; asking again with a back-off up to %d s", label,
                 b->entry.host.c_str(), b->sub.silentMs / 1000, MON_REASK_MAX_MS / 1000);
        }
        break;
    case MonLeaseEvent::Fallback:
        logf(f, "board %s: %s does not answer the lease commands; asking with command 1", label, b->entry.host.c_str());
        break;
    case MonLeaseEvent::Refused:
        if (b->why.empty()) {
            b->why = "every lease taken";
            logf(f, "board %s: every telemetry lease of %s is taken; asking again with a back-off up to %d s", label,
                 b->entry.host.c_str(), MON_REASK_MAX_MS / 1000);
        }
        break;
    case MonLeaseEvent::Leased:
    case MonLeaseEvent::None: break;
    }
}

// The board's name did not resolve: said once per down period.
static void unresolved(Fleet* f, FleetBoard* b)
{
    if (b->why.empty()) {
        b->why = "unknown host";
        logf(f, "board %s: cannot resolve %s; trying again", b->entry.label.c_str(), b->entry.host.c_str());
    }
}

// Takes b->to as the board's address unless another board has it; true then.
static bool claimAddress(Fleet* f, FleetBoard* b)
{
    const std::uint32_t addr = b->to.sin_addr.s_addr;
    if (f->byAddr.count(addr) != 0) {
        if (b->why.empty()) {
            b->why = "same address as another board";
            logf(f, "board %s: %s is the address of another board; not followed", b->entry.label.c_str(),
                 b->entry.host.c_str());
        }
        return false;
    }
    b->row.addr = addr;
    f->byAddr[addr] = static_cast<size_t>(b - f->boards.data());
    return true;
}

// True when the board's address is known (a dotted quad is at once); a name
// is looked up in the background and taken by takeLookup when it comes.
static bool resolveBoard(Fleet* f, FleetBoard* b)
{
    if (b->row.addr != 0)
        return true;
    if (b->lookup != nullptr)
        return false;
    if (fleetLookupStart(b->entry.host, VEXO_UDP_PORT, &b->to, &b->lookup))
        return claimAddress(f, b);
    if (b->lookup == nullptr)
        unresolved(f, b);
    return false;
}

// The answer of the board's lookup, once it has come; true when its name
// resolved to an address of its own: its lease is then asked for at once.
static bool takeLookup(Fleet* f, FleetBoard* b, long long now)
{
    const FleetLookupState state = fleetLookupPoll(b->lookup.get(), VEXO_UDP_PORT, &b->to);
    if (state == FleetLookupState::pending)
        return false;
    b->lookup.reset();
    if (state == FleetLookupState::failed) {
        unresolved(f, b);
        return false;
    }
    if (!claimAddress(f, b))
        return false;
    monLeaseStart(&b->sub, now);
    return true;
}

void fleetSetBoards(Fleet* f, const std::vector<FleetEntry>& entries, long long now)
{
    std::lock_guard<std::mutex> lock(f->mu);
    // The boards followed so far by host, as indexes (the keys are the
    // boards' own hosts): a board that stays is moved straight into the new list.
    std::unordered_map<std::string_view, size_t> old;
    old.reserve(f->boards.size());
    for (size_t i = 0; i < f->boards.size(); i++)
        old.emplace(f->boards[i].entry.host, i);
    std::vector<bool> kept(f->boards.size());
    std::vector<FleetBoard> boards;
    boards.reserve(entries.size());
    std::unordered_map<std::string_view, bool> seen;
    seen.reserve(entries.size());
    for (const auto& e : entries) {
        if (!seen.emplace(e.host, true).second)
            continue;
        const auto it = old.find(e.host);
        if (it != old.end()) {
            const size_t i = it->second;
            old.erase(it); // its key is the host about to be moved
            kept[i] = true;
            boards.push_back(std::move(f->boards[i]));
            boards.back().entry.label = e.label;
            boards.back().entry.line = e.line;
        } else {
            FleetBoard b;
            b.entry = e;
            b.row.lastHeardMs = now;
            boards.push_back(std::move(b));
        }
    }
    old.clear();
    for (size_t i = 0; i < f->boards.size(); i++) {
        if (kept[i])
            continue;
        FleetBoard& b = f->boards[i];
        if (b.asked && b.row.addr != 0)
            sendBits(f, &b, monLeaseEnd(&b.sub));
        fleetLookupDrop(std::move(b.lookup), &f->parked);
    }
    f->boards = std::move(boards);
    f->byAddr.clear();
    f->byAddr.reserve(f->boards.size());
    for (size_t i = 0; i < f->boards.size(); i++)
        if (f->boards[i].row.addr != 0 && f->byAddr.count(f->boards[i].row.addr) == 0)
            f->byAddr[f->boards[i].row.addr] = i;
        else
            f->boards[i].row.addr = 0; // resolved again on its next tick
}

static void takeDatagram(Fleet* f, const sockaddr_in& from, const unsigned char* data, size_t len, long long now)
{
    const auto it = f->byAddr.find(from.sin_addr.s_addr);
    if (it == f->byAddr.end()) {
        f->strays++;
        return;
    }
    FleetBoard& b = f->boards[it->second];
    MonLeaseEvent event = MonLeaseEvent::None;
    if (monLeaseAnswer(&b.sub, data, len, now, &event)) {
        boardEvent(f, &b, event); // what it asks for goes out on the next tick
        return;
    }
    vexoInfo info;
    if (!monDecode(data, len, &info) || !monFinite(info)) {
        b.row.malformed++;
        return;
    }
    b.row.info = info;
    b.row.heard = true;
    b.row.lastHeardMs = now;
    b.row.datagrams++;
    monLeaseHeard(&b.sub, now);
}

void fleetReceive(Fleet* f, long long now)
{
    constexpr int batch = 64;
    static thread_local unsigned char bufs[batch][sizeof(vexoInfo) + 1];
    static thread_local sockaddr_in froms[batch];
    mmsghdr msgs[batch];
    iovec iov[batch];
    for (int total = 0; total < FLEET_RECEIVE_BATCH;) {
        netBatchPrepare(msgs, iov, batch, bufs[0], sizeof bufs[0], froms, nullptr, 0);
        const int n = recvmmsg(f->fd, msgs, batch, MSG_DONTWAIT, nullptr);
        if (n <= 0)
            return;
        std::lock_guard<std::mutex> lock(f->mu);
        for (int i = 0; i < n; i++)
            takeDatagram(f, froms[i], bufs[i], msgs[i].msg_len, now);
        total += n;
    }
}

// Starts the subscription of a board that was never asked, or whose name
// did not resolve yet, on the back-off schedule of a silent board; true once
// the board is resolved and its lease may be asked for.
static bool firstAsk(Fleet* f, FleetBoard* b, long long now)
{
    if (!b->asked) {
        monLeaseStart(&b->sub, now);
        b->asked = true;
    } else {
        long long silentMs = 0;
        if (!monSubscriptionDue(&b->sub.legacy, now, &silentMs))
            return false;
    }
    if (!resolveBoard(f, b))
        return false;
    monLeaseStart(&b->sub, now);
    return true;
}

void fleetTick(Fleet* f, long long now)
{
    std::lock_guard<std::mutex> lock(f->mu);
    if (!f->parked.empty())
        fleetLookupSweep(&f->parked);
    for (auto& b : f->boards) {
        if (b.lookup != nullptr && !takeLookup(f, &b, now))
            continue;
        if (fleetRowUp(b.row, now) && !b.up) {
            if (b.toldDown) // a board's first telemetry goes unsaid
                logf(f, "board %s: telemetry from %s again", b.entry.label.c_str(), b.entry.host.c_str());
            b.up = true;
            b.toldDown = false;
            b.why.clear();
        }
        if ((!b.asked || b.row.addr == 0) && !firstAsk(f, &b, now))
            continue;
        MonLeaseEvent event = MonLeaseEvent::None;
        const unsigned send = monLeaseTick(&b.sub, now, &event);
        boardEvent(f, &b, event);
        sendBits(f, &b, send);
    }
}

void fleetClose(Fleet* f)
{
    if (f->fd < 0)
        return;
    {
        std::lock_guard<std::mutex> lock(f->mu);
        for (auto& b : f->boards) {
            if (b.asked && b.row.addr != 0)
                sendBits(f, &b, monLeaseEnd(&b.sub));
            fleetLookupDrop(std::move(b.lookup), &f->parked);
        }
        for (auto& l : f->parked)
            (void)l.release(); // the C library may still write into it; the process ends
        f->parked.clear();
    }
    close(f->fd);
    f->fd = -1;
}

void fleetSnapshot(const Fleet* f, FleetSnapshot* out)
{
    std::lock_guard<std::mutex> lock(f->mu);
    out->labels.resize(f->boards.size());
    out->rows.resize(f->boards.size());
    for (size_t i = 0; i < f->boards.size(); i++) {
        out->labels[i] = f->boards[i].entry.label;
        out->rows[i] = f->boards[i].row;
    }
    out->strays = f->strays;
}
