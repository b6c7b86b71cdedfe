#include "clients/common/cli.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "lib/net.h"

void cliCatchSignals(void (*handler)(int), std::initializer_list<int> signals)
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    for (const int sig : signals)
        sigaction(sig, &sa, nullptr);
}

void cliDefaultSignals(std::initializer_list<int> signals)
{
    for (const int sig : signals)
        signal(sig, SIG_DFL);
}

bool cliParseHostPort(const char* text, int defaultPort, sockaddr_in* out)
{
    const std::string s = text == nullptr ? "" : text;
    const size_t colon = s.rfind(':');
    const std::string host = colon == std::string::npos ? s : s.substr(0, colon);
    long port = defaultPort;
    if (colon != std::string::npos && !cliParseLong(s.c_str() + colon + 1, 1, 65535, &port))
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (host.empty())
        a.sin_addr.s_addr = htonl(INADDR_ANY);
    else if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
        return false;
    *out = a;
    return true;
}

std::string cliHostPortText(const sockaddr_in& a)
{
    char host[NET_ADRS_TEXT_SIZE];
    return std::string(netAdrsText(&a, host, sizeof host)) + ":" + std::to_string(ntohs(a.sin_port));
}

namespace {

const char* programName = program_invocation_short_name;

// "NAME: text\n" on standard error, in one stdio call; errno as it was.
void warnLine(const char* fmt, va_list ap)
{
    const int saved = errno;
    std::array<char, 1024> small{};
    std::vector<char> big;
    const char* text = small.data();
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(small.data(), small.size(), fmt, ap);
    if (n >= static_cast<int>(small.size())) {
        big.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(big.data(), big.size(), fmt, again);
        text = big.data();
    }
    va_end(again);
    std::fprintf(stderr, "%s: %s\n", programName, n < 0 ? "" : text);
    errno = saved;
}

} // namespace

void cliProgramName(const char* name) { programName = name; }

void cliWarn(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    warnLine(fmt, ap);
    va_end(ap);
}

void cliDie(int status, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    warnLine(fmt, ap);
    va_end(ap);
    std::exit(status);
}

namespace {

// The one number reader under the cliParse functions: convert(text, &end)
// reads a number; *out when it took the whole text without overflow and the
// number lies in [min, max] (NaN does not).
template <typename T, typename Convert> bool parseInRange(const char* text, T min, T max, T* out, Convert convert)
{
    if (text == nullptr || *text == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    const T v = convert(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= min && v <= max))
        return false;
    *out = v;
    return true;
}

} // namespace

bool cliParseWhole(const char* text, int base, long min, long max, long* out)
{
    return parseInRange(text, min, max, out, [base](const char* t, char** end) { return std::strtol(t, end, base); });
}

bool cliParseLong(const char* text, long min, long max, long* out) { return cliParseWhole(text, 10, min, max, out); }

bool cliParseInt(const char* text, long min, long max, std::int32_t* out)
{
    long v = 0;
    if (!cliParseLong(text, min, max, &v))
        return false;
    *out = static_cast<std::int32_t>(v);
    return true;
}

bool cliParseNumber(const char* text, double min, double max, double* out)
{
    return parseInRange(text, min, max, out, [](const char* t, char** end) { return std::strtod(t, end); });
}

namespace {

volatile sig_atomic_t stopSignal = 0;

void onStop(int sig) { stopSignal = sig; }

} // namespace

void cliCatchStop(std::initializer_list<int> signals) { cliCatchSignals(onStop, signals); }

int cliStopSignal() { return stopSignal; }
