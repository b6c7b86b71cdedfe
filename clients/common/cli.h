// Helpers that the mains of the operator tools (vexo-sim, vexo-mon,
// vexo-exporter) share: numbers from arguments with range checks, catching
// and restoring signals, a millisecond clock, and "ADDR:PORT" text read into
// an IPv4 address and port, and back. Nothing here prints or ends the
// program. (Host names are resolved by netResolve in net.h.)
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include <netinet/in.h>

// A whole decimal number in [min, max] from text; false for anything else
// (empty, trailing characters, out of range).
bool cliParseLong(const char* text, long min, long max, long* out);

// cliParseLong into a 32-bit value; min and max must fit.
bool cliParseInt(const char* text, long min, long max, std::int32_t* out);

// A whole or decimal number in [min, max] from text; false for anything else.
bool cliParseNumber(const char* text, double min, double max, double* out);

// Sends each of the signals to handler (no SA_RESTART: a blocked poll or
// read returns at once with EINTR).
void cliCatchSignals(void (*handler)(int), std::initializer_list<int> signals);

// Restores the default action of each signal, as a child about to exec needs.
void cliDefaultSignals(std::initializer_list<int> signals);

// "A.B.C.D:PORT" (or "A.B.C.D", or ":PORT" for all addresses) into *out;
// the port is 1..65535. False for anything else.
bool cliParseHostPort(const char* text, int defaultPort, sockaddr_in* out);

// "A.B.C.D:PORT" of an address.
std::string cliHostPortText(const sockaddr_in& a);
