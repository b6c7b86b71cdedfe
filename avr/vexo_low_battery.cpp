// The low-battery watch and its setting.
#include "avr/vexo_low_battery.h"

float vexoShutdownVolts = 0;

int VEXOparseShutdownVolts(const char* text, float* volts)
{
    if (text == nullptr)
        return 0;
    // Digits, then at most one point with digits after it: no sign, space,
    // exponent or hexadecimal, which strtod would take.
    long whole = 0;
    long fraction = 0;
    long scale = 1;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; p++)
        if ((whole = whole * 10 + (*p - '0')) > 1000)
            return 0;
    if (p == text)
        return 0;
    if (*p == '.') {
        const char* digits = ++p;
        for (; *p >= '0' && *p <= '9'; p++)
            if (scale < 100000) { // digits past the fifth change nothing the board can tell
                fraction = fraction * 10 + (*p - '0');
                scale *= 10;
            }
        if (p == digits || *p != '\0')
            return 0;
    }
    if (*p != '\0')
        return 0;
    const double v = static_cast<double>(whole) + static_cast<double>(fraction) / static_cast<double>(scale);
    if (v > VEXO_SHUTDOWN_VOLTS_MAX)
        return 0;
    *volts = static_cast<float>(v);
    return 1;
}

VEXOlowBatteryVerdict VEXOlowBatteryStep(VEXOlowBattery* watch, int onBattery, float volts)
{
    if (watch->volts <= 0)
        return VEXOlowBatteryVerdict::None;
    if (!onBattery) {
        watch->belowS = 0;
        watch->repeatIn = -1;
        return VEXOlowBatteryVerdict::None;
    }
    if (VEXOlowBatterySetOff(*watch)) {
        if (--watch->repeatIn > 0)
            return VEXOlowBatteryVerdict::None;
        watch->repeatIn = VEXO_SHUTDOWN_REPEAT;
        return VEXOlowBatteryVerdict::Again;
    }
    watch->belowS = volts > 0 && volts < watch->volts ? watch->belowS + 1 : 0;
    if (watch->belowS < VEXO_LOW_BATTERY_S)
        return VEXOlowBatteryVerdict::None;
    watch->repeatIn = VEXO_SHUTDOWN_REPEAT;
    return VEXOlowBatteryVerdict::Now;
}
