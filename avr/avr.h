// The run driver and the request exchange with the board.
//
// AVRrun opens and prepares the serial port and runs one pass of _AVRrun,
// which receives the board's status, lets the callbacks build and edit a
// request, sends it and waits for a status that shows it, and prints the
// status. Every link failure ends the program with a message and status 3.
//
// A status record that was already waiting when a request went out cannot
// show that request: each send first discards pending input, so a stalled
// host never judges old records against a new request.
#pragma once

#include <cstdio>

#include "lib/ByteArray.h"

// Reply buffer and request buffer size of the driver.
constexpr int AVR_BUFFER_SIZE = 256;
// Replies examined by one exchange before it gives up.
constexpr int AVR_RETRIES = 5;
// Rejected replies after which the request is sent again.
constexpr int AVR_REPLIES_TILL_RETRY = 2;
// Exit status of a failed board link.
constexpr int AVR_EXIT_LINK = 3;

using AVRsetupFunc = void (*)(FILE* f, void* data);
using AVRinitFunc = int (*)(ByteArrayRef bRep, ByteArrayRef bReq);
using AVRoptFunc = int (*)(FILE* file, ByteArrayRef bReq, void* data, int* loops, int argc, char** argv);
using AVRprintFunc = void (*)(ByteArrayRef bRep, void* data);
using AVRtaskFunc = int (*)(FILE* f2, int task, ByteArrayRef bReq, ByteArrayRef bRep, void* data);
// Reply checker: 0 when the reply shows the request, anything else to keep waiting.
using AVRcheckFunc = int (*)(ByteArrayRef bReq, ByteArrayRef bRep);

// Called when the line has carried bytes but no good packet for 2 s (quiet 1)
// and when a good packet comes again (quiet 0).
using AVRlineFunc = void (*)(int quiet, void* data);

// Packets shorter than len are never replies: they are dropped like a bad
// checksum and the wait goes on. The program sets its status record's size.
void AVRsetMinReply(int len);

// From now on bytes that never form a good packet do not end the program:
// only silence or a line that has gone does. fn (may be null) hears of such
// spells as they begin and end. For the charging supervisor.
void AVRwaitOutNoise(AVRlineFunc fn, void* data);

// Called with the message (no line end) just before a link failure ends the program.
using AVRfailFunc = void (*)(const char* msg, void* data);
void AVRonLinkFailure(AVRfailFunc fn, void* data);

// One whole run on the device ser (opened or the program exits with status 1).
void AVRrun(const char* ser, void* data, int argc, char** argv, AVRsetupFunc setup, AVRinitFunc init, AVRoptFunc opt,
            AVRprintFunc print, AVRtaskFunc task, AVRcheckFunc callback);

// One pass of the driver on the open, prepared port f.
void _AVRrun(FILE* f, void* data, int argc, char** argv, AVRsetupFunc setup, AVRinitFunc init, AVRoptFunc opt,
             AVRprintFunc print, AVRtaskFunc task, AVRcheckFunc callback);

// The board's next good packet in pReply's buffer (pass the whole buffer);
// exits with "Failed to communicate with AVR" and status 3 when none comes.
ByteArrayRef AVRreplyGet(FILE* f, ByteArrayRef pReply);

// AVRreplyGet, but a reply that had more input queued behind it is old (the
// host was stalled): the queue is discarded and the next reply taken.
ByteArrayRef AVRreplyGetFresh(FILE* f, ByteArrayRef pReply);

// Sets req's checksum byte, discards pending input, sends req and waits for
// a reply that callback accepts, sending again (after another discard) after
// every second rejection; returns the accepted reply in ret's buffer. Exits
// with status 3 on silence, a dead line or 5 rejections.
ByteArrayRef AVRsendRequest(FILE* f, ByteArrayRef req, ByteArrayRef ret, AVRcheckFunc callback);
// The same, but a board that never shows the request ends nothing: the empty
// view then (a line that carries no packet still ends the program). For
// changes asked by someone else, which must not end the one who carries
// them out.
ByteArrayRef AVRsendRequestTry(FILE* f, ByteArrayRef req, ByteArrayRef ret, AVRcheckFunc callback);
