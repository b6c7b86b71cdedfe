// The simulated board on a pseudo-terminal, behind an opaque handle.
//
// A SimServer owns the master side of a pty and, on its own thread, streams
// framed status records every interval, paced as a 115200-baud line would
// carry them; it decodes and applies the requests that arrive and records
// each one with its arrival time. Fault switches make it misbehave on
// purpose: silence, noise, bad or odd frames, garbage, ignored or late requests.
//
// Everything is reached through the functions below, each of which takes the
// server's lock; waits sleep on its condition variable, which the serving
// thread signals after every request and every status record.
#pragma once

#include <string>
#include <vector>

#include "sim/board.h"

struct SimConfig {
    SimBoardConfig board;
    int intervalMs = 20;   // one status record this often
    double onbattAtS = -1; // switch to battery this many seconds after start
    double lineAtS = -1;   // back to line power this many seconds after start
};

// One frame received from the host.
struct SimRequest {
    double t = 0;             // seconds since the server started
    std::vector<byte> frame;  // raw bytes, delimiters included
    std::vector<byte> packet; // unstuffed bytes
    bool valid = false;       // a 13-byte packet with a good checksum
    VEXOrequest req{};        // the request, when valid
};

// The explicit fault switches; counters count down as faults are sent.
struct SimFaults {
    double silentUntil = 0;      // no output until this time (seconds since start)
    int noiseBytes = 0;          // noise bytes before every frame
    int badChecksumFrames = 0;   // this many frames with a wrong checksum
    int shortFrames = 0;         // this many extra 5-byte frames whose checksum passes
    int oversizedFrames = 0;     // this many extra 600-byte frames
    bool garbage = false;        // a stream of bytes that never forms a frame
    bool ignoreRequests = false; // never apply a request
    bool eepromDead = false;     // never apply an EEPROM request (no eeAck ever)
    int confirmAfter = 0;        // apply a request only after this many more replies
    int burstRecords = 0;        // send every status record this many times back to back
};

// Entries of the request and reply histories kept at the least; older ones
// are dropped in blocks, so a long run stays flat in memory.
constexpr size_t SIM_HISTORY = 4096;

struct SimServer;

// A server for cfg with its board ready, not yet serving; one reference.
SimServer* simServerNew(const SimConfig& cfg);
// Another reference to s.
SimServer* simServerRef(SimServer* s);
// Drops a reference; the last one stops the server and frees it. Null is ignored.
void simServerUnref(SimServer* s);

// Opens the pty and starts serving; false (with errno) when no pty can be had.
bool simServerStart(SimServer* s);
// Stops the thread and closes the pty; the board and the histories stay.
void simServerStop(SimServer* s);

// The pty's slave side: its path, and the descriptor the server keeps open.
std::string simServerSlavePath(const SimServer* s);
int simServerSlaveFd(const SimServer* s);

// Seconds since the server started.
double simServerNow(const SimServer* s);
// Fault switches and line power, effective from the next frame on.
void simSetLinePower(SimServer* s, bool line);
void simInjectSilence(SimServer* s, int ms);
void simInjectNoise(SimServer* s, int bytesPerGap);
void simInjectBadChecksum(SimServer* s, int frames);
void simInjectShortFrame(SimServer* s, int frames);
void simInjectOversizedFrame(SimServer* s, int frames);
void simSetGarbage(SimServer* s, bool on);
void simSetIgnoreRequests(SimServer* s, bool on);
void simSetEepromDead(SimServer* s, bool on);
void simSetConfirmAfter(SimServer* s, int replies);
void simInjectBurst(SimServer* s, int records);

// The battery: its voltage now, and the millivolts it loses a second on
// battery (0: as the load draws).
void simSetBatteryVolts(SimServer* s, double volts);
void simSetDischarge(SimServer* s, double mvPerS);

// Pins the raw readings of every later status record.
void simPinReadings(SimServer* s, word adc0, word adc2, word adc6, word adc7, word temp);
// Sets the board's output bits (outputs word of the status, eeAck and onbatt aside).
void simSetOutputs(SimServer* s, word outputs, word pwm_lo, word pwm_t);

// Copies of what the server has seen and holds.
std::vector<double> simReplyEnds(const SimServer* s);
std::vector<SimRequest> simRequests(const SimServer* s);
// The requests received after the first *seen of them; *seen becomes the total.
std::vector<SimRequest> simRequestsSince(const SimServer* s, long* seen);
// Requests received since the start, forgotten ones included.
long simRequestsTotal(const SimServer* s);
// Forgets the requests received so far.
void simClearRequests(SimServer* s);
long simHostBytes(const SimServer* s);
long simRepliesSent(const SimServer* s);
SimBoard simBoardSnapshot(const SimServer* s);
SimFaults simServerFaults(const SimServer* s);

// Waits until pred(requests) is true or timeoutMs passes; returns pred's last value.
bool simWaitRequests(SimServer* s, int timeoutMs, bool (*pred)(const std::vector<SimRequest>&, void*), void* data);
// Waits until the server has received total requests since its start, or
// sent total status records; false after timeoutMs.
bool simWaitRequestsTotal(SimServer* s, long total, int timeoutMs);
bool simWaitRepliesSent(SimServer* s, long total, int timeoutMs);

// Failed writes of the EEPROM file so far; *lastErrno is the latest one's errno.
long simEepromFailures(const SimServer* s, int* lastErrno);

// Runs one control command ("line", "battery", "silent MS", "noise N", "badsum N",
// "short N", "oversize N", "garbage on|off", "ignore on|off", "confirm-after N",
// "burst N", "eeprom ADDR VALUE", "battery-mv MV", "discharge MV"), its words checked first: returns an empty
// string, or an error text and nothing done.
std::string simControl(SimServer* s, const std::string& line);
