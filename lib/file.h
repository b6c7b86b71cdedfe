// Stream and descriptor helpers of the board link, plus small file utilities.
//
// Packet reception (filePacketGet) collects one frame byte by byte, checks its
// checksum and returns the packet, or the empty view after 250 ms of silence
// (or 2 s of input that never forms a good packet), or at once when the other
// end of the line has gone. Also: descriptor wait, input flush, opening the
// port, blocking mode, hex dump and directory walk.
//
// The port is read in blocks into a read-ahead buffer of this module, so a
// wait happens exactly when nothing received is left, with any C library.
// One port is read at a time; a stream without a descriptor (in memory) is
// read through the stream itself.
#pragma once

#include <cstdio>

#include <sys/time.h>

#include "lib/ByteArray.h"
#include "lib/IntArray.h"

// Silence that ends a packet wait.
constexpr int FILE_SILENCE_US = 250000;
// Longest packet wait while bytes arrive that never form a good packet.
constexpr int FILE_NO_PACKET_MS = 2000;
// Most bytes a receive buffer may collect (the receiver's state codes need < 500).
constexpr int FILE_MAX_PACKET = 499;

// States of the byte-wise receiver, all kept in the len of its view:
constexpr int FILE_RX_IDLE = 0;       // outside any frame (len > 0: a complete packet of len bytes)
constexpr int FILE_RX_OPENED = -500;  // a start delimiter seen, nothing collected yet
constexpr int FILE_RX_COLLECTED = -1; // -1 down to -499: collecting, -len bytes so far
constexpr int FILE_RX_ESCAPE = -1000; // an escape byte seen; -(len + 1000) bytes so far
static_assert(FILE_MAX_PACKET < -FILE_RX_OPENED, "the codes stay apart below 500 bytes");

// Bytes the read-ahead takes from the port in one read.
constexpr int FILE_READ_AHEAD = 4096;

// How a packet wait ended.
enum FileRxEnd {
    FILE_RX_PACKET,    // a good packet was returned
    FILE_RX_SILENCE,   // 250 ms without a byte (or the end of an in-memory stream)
    FILE_RX_NO_PACKET, // bytes kept coming for the limit without a good packet
    FILE_RX_HANGUP,    // readable but no byte, or a read error: the other end is gone
};

// What a packet wait accepts and how long it listens to bytes without a packet.
struct FileRxRules {
    int minLen;     // shorter packets are dropped like a bad checksum
    int noPacketMs; // limit for bytes without a good packet; 0: only silence ends the wait
};

// The rules of filePacketGet: any length, FILE_NO_PACKET_MS.
constexpr FileRxRules FILE_RX_DEFAULT{1, FILE_NO_PACKET_MS};

// Low byte of the byte sum of every good packet.
constexpr int FILE_PACKET_SUM = 0xFF;

// Sum of all bytes of the view as unsigned values, unreduced.
int ByteArrayRef_Checksum(ByteArrayRef pkt);

// Sets the last byte of the packet so that its byte sum is 0xFF, FILE_PACKET_SUM
// (pkt.len >= 1).
void ByteArrayRef_Seal(ByteArrayRef pkt);

// Waits for the next packet with a good checksum, received into fr.arr (at most
// fr.len bytes: pass a view of the whole buffer). Returns the packet view, or
// the empty view (null arr) after silence or a run of input without a packet.
ByteArrayRef filePacketGet(FILE* f, ByteArrayRef fr);

// filePacketGet with the given rules; *why tells how the wait ended.
ByteArrayRef filePacketReceive(FILE* f, ByteArrayRef fr, FileRxRules rules, FileRxEnd* why);

// 1 when bytes of f are held in the read-ahead, received but not yet taken:
// the packet last returned was not the newest on the line.
int fileInputHeld(const FILE* f);

// Waits until a descriptor of fh (negative ones skipped) is readable; returns
// the number ready, 0 on time-out or an empty list, -1 on error.
int filesWaitRead(IntArrayRef fh, struct timeval* tv);

// Discards everything pending on the stream, held bytes included; never
// waits on a non-blocking port.
void fileFlushInput(FILE* f);

// Forgets any bytes held for f and closes it.
void fileClose(FILE* f);

// Opens file (not as controlling terminal, close-on-exec) and takes an
// exclusive lock on it; on failure prints "Error opening %s: %m" on standard
// error and exits with status 1.
FILE* fileOpenOrDie(const char* file, const char* mode);

// Called by fileOpenOrDie with the file's name and the reason (EBUSY: another
// process holds its lock; EACCES, EPERM: this user may not open it) before the
// failure; it may end the program instead.
using FileHeldFunc = void (*)(const char* file, int err, void* data);
void fileOnHeld(FileHeldFunc fn, void* data);

// Sets the descriptor's status flags to 0 (on != 0) or O_NONBLOCK; 1 on success, 0 if not.
int fileSetBlocking(int fd, int on);

// Writes n bytes as "%02X " and a line end to f; returns the bytes written, -1 on a stream error.
int fprinthex(FILE* f, const byte* str, int n);

// fprinthex on standard output.
int printhex(const byte* str, int n);

// Called by dirMap with a bare file name; nonzero continues the walk.
using dirFunc = int (*)(char* name, void* v);

// Calls f for each regular file (links followed) of dirname until f returns 0;
// returns the number of files handed to f, 0 when the directory can't be opened.
int dirMap(const char* dirname, dirFunc f, void* v);
