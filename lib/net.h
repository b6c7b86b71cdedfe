// IPv4 UDP socket helpers: open (bound or not), receive with the sender's
// address, send while remembering when and with what result, print and fill
// addresses. Nothing here prints a diagnostic or ends the program.
#pragma once

#include <ctime>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "lib/ByteArray.h"

// Calendar time of the last netUDPtx call, taken just before its send.
// (This and lastTxRc: the board program reads neither; kept as the module's documented record of the last send.)
extern time_t timeOfLastTx;
// Result of the last netUDPtx send: bytes sent, or -1.
extern int lastTxRc;

// A close-on-exec UDP socket, bound to the low 16 bits of port on all
// interfaces when asServer is nonzero; -1 when no socket, -2 when the bind fails.
int netUDPopen(int port, int asServer);

// A UDP socket bound to port on the local IPv4 address adrs (network order;
// INADDR_ANY for all); the descriptor, -1 when no socket, -2 when the bind fails.
int netUDPbind(int port, std::uint32_t adrs);

// Receives one datagram (cut to buf.len) and its sender; the empty view on failure.
ByteArrayRef netUDPrx(int fd, ByteArrayRef buf, sockaddr_in* from);

// netUDPrx with extra recvfrom flags (MSG_DONTWAIT: never wait).
ByteArrayRef netUDPrxFlags(int fd, ByteArrayRef buf, sockaddr_in* from, int flags);

// Headers for receiving up to n datagrams with one recvmmsg: datagram i goes
// to bufs + i * bufLen, its sender to from[i] and, when ctl is not null, its
// control messages to ctl + i * ctlLen. Call again before each recvmmsg.
void netBatchPrepare(mmsghdr* msgs, iovec* iov, int n, unsigned char* bufs, size_t bufLen, sockaddr_in* from,
                     unsigned char* ctl, size_t ctlLen);

// Sends buf as one datagram to *to; returns the bytes sent or -1.
int netUDPtx(int fd, ByteArrayRef buf, const sockaddr_in* to);

// Room for the longest dotted quad and its end: "255.255.255.255".
constexpr size_t NET_ADRS_TEXT_SIZE = 16;

// The dotted quad "a.b.c.d" of a's address (first octet first) in buf; returns buf.
const char* netAdrsText(const sockaddr_in* a, char* buf, size_t size);

// Prints "a.b.c.d port N" and a line end.
void netUDPPrint(const sockaddr_in* from);

// Fills *to with the first address of host and the low 16 bits of port.
void netAdrsFromHost(sockaddr_in* to, const hostent* host, int port);

// Fills *adrs from a host name or dotted quad and the low 16 bits of port;
// 0 (and *adrs untouched) when the name does not resolve, else 1. Not for
// threads: the resolver keeps its answer in static storage.
int netResolve(sockaddr_in* adrs, const char* name, int port);

// Fills *adrs from a host name or dotted quad; a name that does not resolve
// leaves an address (port 0) to which every send fails.
void netAdrsFromName(sockaddr_in* adrs, const char* name, int port);
