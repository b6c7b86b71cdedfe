// Stream and descriptor helpers of the board link, plus small file utilities.
//
// Packet reception (filePacketGet) collects one frame byte by byte, checks its
// checksum and returns the packet, or the empty view after 250 ms of silence
// (or 2 s of input that never forms a good packet). Also: descriptor wait,
// input flush, opening the port, blocking mode, hex dump and directory walk.
#pragma once

#include <cstdio>

#include <sys/time.h>

#include "ByteArray.h"
#include "IntArray.h"

// Silence that ends a packet wait.
constexpr int FILE_SILENCE_US = 250000;
// Longest packet wait while bytes arrive that never form a good packet.
constexpr int FILE_NO_PACKET_MS = 2000;
// Most bytes a receive buffer may collect (the receiver's state codes need < 500).
constexpr int FILE_MAX_PACKET = 499;

// Sum of all bytes of the view as unsigned values, unreduced.
int ByteArrayRef_Checksum(ByteArrayRef pkt);

// Waits for the next packet with a good checksum, received into fr.arr (at most
// fr.len bytes: pass a view of the whole buffer). Returns the packet view, or
// the empty view (null arr) after silence or a run of input without a packet.
ByteArrayRef filePacketGet(FILE* f, ByteArrayRef fr);

// Waits until a descriptor of fh (negative ones skipped) is readable; returns
// the number ready, 0 on time-out or an empty list, -1 on error.
int filesWaitRead(IntArrayRef fh, struct timeval* tv);

// Reads and discards everything pending on the stream; never waits on a
// non-blocking port.
void fileFlushInput(FILE* f);

// Opens file (not as controlling terminal, close-on-exec) and takes an
// exclusive lock on it; on failure prints "Error opening %s: %m" on standard
// error and exits with status 1.
FILE* fileOpenOrDie(const char* file, const char* mode);

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
