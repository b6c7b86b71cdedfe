// The simulator's inside, shared by its parts: the frame codec (codec.cpp),
// the paced serving thread (pacing.cpp), the pseudo-terminal (pty.cpp), the
// fault switches and control commands (control.cpp) and the handle's life
// and queries (server.cpp). Not for the simulator's users.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "sim/server.h"

struct SimServer {
    int refs = 1;
    SimConfig cfg;
    int master = -1;
    int slave = -1; // kept open so the line survives the host's close
    std::string slavePath;
    std::thread thread;
    std::atomic<bool> running{false};
    std::chrono::steady_clock::time_point start;
    mutable std::mutex mu; // guards everything below
    std::condition_variable changed;
    SimBoard board;
    SimFaults faults;
    std::vector<SimRequest> requests; // the latest, at least SIM_HISTORY of them
    long requestsTotal = 0;           // requests received since the start
    long hostBytes = 0;               // bytes received from the host, frames or not
    long repliesSent = 0;
    std::vector<double> replyEnds; // when the last byte of each status record left the line
    bool pendingSet = false;
    VEXOrequest pending{};
    int pendingCountdown = 0;
    std::mt19937 noiseRng{7};
};

// Wire time of one byte at 115200 baud, 10 bits a byte.
constexpr double SIM_BYTE_TIME_S = 10.0 / 115200.0;

// Frames a packet the way the board's firmware does.
std::vector<byte> simFrameOf(const std::vector<byte>& pkt);
// A packet of n random bytes whose checksum passes.
std::vector<byte> simJunkPacket(size_t n, std::mt19937& rng);

// The host's bytes decoded into frames, independently of the program's receiver.
struct SimFrameDecoder {
    bool inFrame = false;
    bool escape = false;
    std::vector<byte> raw;
    std::vector<byte> pkt;
};
// Feeds one byte from the host; a complete frame is recorded and, when it is
// a good request, applied. Called with the lock held.
void simFeed(SimServer* s, SimFrameDecoder* d, byte b);

// The serving thread.
void simServe(SimServer* s);

// Opens the pty pair (raw, 9600 baud, so a host that leaves its own settings
// behind can be told); false with errno.
bool simOpenPty(SimServer* s);
