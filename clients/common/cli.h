// What the programs beside the board (vexo-sim, vexo-fleet-sim, vexo-mon,
// vexo-exporter) share: numbers from arguments with range checks, catching
// and restoring signals, the stop request, and "ADDR:PORT" text read into an
// IPv4 address and port, and back; and their one way of saying what went
// wrong: the program's name set once, cliWarn and cliDie, the exit statuses
// named in one place. Only cliWarn and cliDie print, and only cliDie ends
// the program. (Host names are resolved by netResolve in lib/net.h; the
// clock is lib/clock.h.)
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

// Messages and exit statuses: the one part of cli that writes to standard
// error (cliWarn), and the one that ends the program (cliDie).

// The exit statuses of the operator-side programs.
enum CliExit : int {
    CLI_EXIT_OK = 0,
    CLI_EXIT_FAILURE = 1,      // the run failed: an address, a socket, a file, a write
    CLI_EXIT_USAGE = 2,        // a bad option or argument, or a file named that cannot be used; nothing was done
    CLI_EXIT_CANNOT_RUN = 127, // vexo-sim: the command given after -- could not be started
    CLI_EXIT_SIGNALLED = 128,  // vexo-sim, plus the signal's number: the command was killed by it
};

// Names the program at the head of every cliWarn and cliDie line; each main
// calls it first, with a string that lives as long as the program.
void cliProgramName(const char* name);

// Writes "NAME: " and the printf-style text, then a line end, to standard
// error in one call; errno is left as it was, so a reason is given as
// "...: %s", strerror(errno). Warnings and the programs' status lines both
// go through here.
[[gnu::format(printf, 1, 2)]] void cliWarn(const char* fmt, ...);

// cliWarn, then exit(status).
[[noreturn, gnu::format(printf, 2, 3)]] void cliDie(int status, const char* fmt, ...);

// A whole number in [min, max] from text in base, as strtol reads it (0:
// decimal, 0x hexadecimal or 0 octal); false for anything else (empty,
// trailing characters, out of range). cliParseLong is it in base 10, and
// cliParseNumber reads decimals the same way.
bool cliParseWhole(const char* text, int base, long min, long max, long* out);

// Catches each of the signals (as cliCatchSignals does) so that cliStopSignal
// names the last one caught: the stop request that a main loop looks at.
void cliCatchStop(std::initializer_list<int> signals);

// The signal cliCatchStop caught last; 0 before any.
int cliStopSignal();
