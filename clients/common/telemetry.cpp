#include "clients/common/telemetry.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/socket.h>

bool monDecode(const unsigned char* data, size_t len, vexoInfo* out)
{
    if (len != sizeof(vexoInfo))
        return false;
    std::memcpy(out, data, sizeof *out);
    return true;
}

bool monFinite(const vexoInfo& info)
{
    const float printed[] = {info.battV, info.tempF, info.pwmlo, info.supplyV, info.regV};
    for (const float v : printed)
        if (!std::isfinite(v))
            return false;
    return true;
}

// v in fmt, or none when v is not finite.
static std::string number(const char* fmt, double v, const char* none)
{
    if (!std::isfinite(v))
        return none;
    char buf[64];
    snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// Flag names in datagram order, with their byte and bit.
struct FlagName {
    const char* name;
    int byteIndex;
    byte mask;
};

static const FlagName flagNames[] = {
    {"pwm1", 1, vexoFlag1::pwm1en},   {"pwm2", 1, vexoFlag1::pwm2en},   {"offset", 1, vexoFlag1::offset},
    {"opamp", 1, vexoFlag1::opamp},   {"buck", 1, vexoFlag1::buck},     {"led", 1, vexoFlag1::led},
    {"jp3", 1, vexoFlag1::jp3},       {"onbatt", 1, vexoFlag1::onbatt}, {"softjp3", 2, vexoFlag2::softJP3},
    {"locked", 2, vexoFlag2::locked},
};

static int flag(const vexoInfo& info, const FlagName& f)
{
    const byte b = f.byteIndex == 1 ? info.flags1 : info.flags2;
    return (b & f.mask) ? 1 : 0;
}

std::string monCsvHeader()
{
    std::string h = "t,battV,battI_mA,tempF,pwmlo,pwmt,supplyV,regV";
    for (const auto& f : flagNames)
        h += std::string(",") + f.name;
    return h;
}

std::string monFormat(const vexoInfo& info, MonFormat format)
{
    const std::int32_t t = info.t;
    const double v = info.battV;
    const double ma = info.battI / 1000.0;
    const double temp = info.tempF;
    const double pwmlo = info.pwmlo;
    const unsigned pwmt = info.pwmt;
    const double supply = info.supplyV;
    const double reg = info.regV;
    char buf[512];
    std::string out;
    switch (format) {
    case MonFormat::Csv:
        snprintf(buf, sizeof buf, "%d,", t);
        out = buf + number("%.3f", v, "") + "," + number("%.1f", ma, "") + "," + number("%.1f", temp, "") + "," +
              number("%.1f", pwmlo, "") + "," + std::to_string(pwmt) + "," + number("%.0f", supply, "") + "," +
              number("%.0f", reg, "");
        for (const auto& f : flagNames)
            out += flag(info, f) ? ",1" : ",0";
        return out;
    case MonFormat::Json:
        snprintf(buf, sizeof buf, "{\"t\":%d,\"battV\":", t);
        out = buf + number("%.3f", v, "null") + ",\"battI_mA\":" + number("%.1f", ma, "null") +
              ",\"tempF\":" + number("%.1f", temp, "null") + ",\"pwmlo\":" + number("%.1f", pwmlo, "null") +
              ",\"pwmt\":" + std::to_string(pwmt) + ",\"supplyV\":" + number("%.0f", supply, "null") +
              ",\"regV\":" + number("%.0f", reg, "null");
        for (const auto& f : flagNames)
            out += std::string(",\"") + f.name + "\":" + (flag(info, f) ? "true" : "false");
        return out + "}";
    case MonFormat::Text:
    default: {
        const time_t tt = t;
        tm local{};
        localtime_r(&tt, &local);
        char when[32];
        strftime(when, sizeof when, "%H:%M:%S", &local);
        snprintf(buf, sizeof buf, "%s  %6.3f V  %7.1f mA  %5.1f F  pwm %5.1f/%u ", when, v, ma, temp, pwmlo, pwmt);
        out = buf;
        for (const auto& f : flagNames)
            if (flag(info, f) && std::strcmp(f.name, "locked") != 0)
                out += std::string(" ") + f.name;
        return out + (flag(info, flagNames[9]) ? "  locked" : "  searching");
    }
    }
}

VEXOUDPcommand monCommand(std::int32_t command, std::int32_t a, std::int32_t b, std::int32_t c)
{
    VEXOUDPcommand cmd;
    std::memset(&cmd, 0, sizeof cmd);
    cmd.command = command;
    command4 args{a, b, c};
    cmd.cmd4 = args;
    return cmd;
}

bool monSendCommand(int fd, const sockaddr_in& to, const VEXOUDPcommand& cmd)
{
    return sendto(fd, &cmd, sizeof cmd, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(sizeof cmd);
}

void monSubscriptionStart(MonSubscription* s, long long now)
{
    *s = MonSubscription{now, now, now, MON_REASK_FIRST_MS, 0, false};
}

void monSubscriptionHeard(MonSubscription* s, long long now)
{
    if (now - s->lastHeardMs > MON_STEADY_GAP_MS || s->steady == 0) {
        s->steady = 0;
        s->steadySinceMs = now;
    }
    s->steady++;
    s->lastHeardMs = now;
    if (now - s->steadySinceMs >= MON_BACKOFF_RESET_MS)
        s->waitMs = MON_REASK_FIRST_MS;
}

bool monSubscriptionDue(MonSubscription* s, long long now, long long* silentMs)
{
    const long long since = now - std::max(s->lastHeardMs, s->lastAskMs);
    if (since < s->waitMs)
        return false;
    *silentMs = now - s->lastHeardMs;
    s->takenOver = s->steady >= MON_STEADY_COUNT;
    s->steady = 0;
    s->lastAskMs = now;
    s->waitMs = std::min(2 * s->waitMs, MON_REASK_MAX_MS);
    return true;
}
