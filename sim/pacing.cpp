// The serving thread: one status record every interval, paced as the
// 115200-baud line would carry it, with the faults that are switched on, and
// the host's bytes read in between.
#include <algorithm>
#include <cmath>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include "lib/serial.h"
#include "sim/server_impl.h"

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
        const auto fr = simFrameOf(simJunkPacket(5, s->noiseRng));
        out.insert(out.end(), fr.begin(), fr.end());
    }
    if (f.oversizedFrames > 0) {
        f.oversizedFrames--;
        const auto fr = simFrameOf(simJunkPacket(600, s->noiseRng));
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
    const auto fr = simFrameOf(pkt);
    for (int i = 0; i < std::max(1, f.burstRecords); i++) {
        out.insert(out.end(), fr.begin(), fr.end());
        s->repliesSent++;
        s->replyEnds.push_back(now + static_cast<double>(out.size()) * SIM_BYTE_TIME_S);
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

void simServe(SimServer* s)
{
    SimFrameDecoder dec;
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
            const double wire = static_cast<double>(out.size()) * SIM_BYTE_TIME_S;
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
                    simFeed(s, &dec, buf[i]);
            }
        }
    }
}
