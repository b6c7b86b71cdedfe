#include "sim/board.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "lib/file.h"

word simEncodeVolts(double volts)
{
    return static_cast<word>(std::clamp(std::lround(volts * VEXO_VOLT_TICKS), 0L, 65535L));
}

word simEncodeMicroamps(double ua)
{
    return static_cast<word>(std::clamp(std::lround((ua + VEXO_UA_ZERO) / double(VEXO_UA_PER_TICK)), 0L, 65535L));
}

word simEncodeCelsius(double celsius)
{
    const long fixed = std::lround(std::ldexp(celsius, VEXO_TEMP_FRACTION_BITS));
    return static_cast<word>(static_cast<std::uint16_t>(fixed + VEXO_TEMP_OFFSET));
}

bool simEepromSave(const std::string& path, const std::array<byte, 256>& image)
{
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size()) && fsync(fd) == 0;
    int err = errno;
    close(fd);
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        errno = err;
    }
    return ok;
}

int simEepromLoad(const std::string& path, std::array<byte, 256>* image)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return errno;
    std::array<byte, 257> buf{};
    const size_t n = fread(buf.data(), 1, buf.size(), f);
    const int err = ferror(f) ? EIO : 0;
    fclose(f);
    if (err != 0)
        return err;
    if (n != image->size())
        return EINVAL;
    std::memcpy(image->data(), buf.data(), image->size());
    return 0;
}

void simBoardInit(SimBoard* b, const SimBoardConfig& cfg)
{
    *b = SimBoard{};
    b->cfg = cfg;
    b->volts = cfg.voltsStart;
    b->currentUa = cfg.idleUa;
    b->rng.seed(cfg.seed);
    for (int i = 0; i < 256; i++)
        b->eeprom[i] = static_cast<byte>(0xFF - i);
    if (!cfg.eepromPath.empty())
        simEepromLoad(cfg.eepromPath, &b->eeprom);
}

bool simBoardApply(SimBoard* b, const VEXOrequest& req)
{
    constexpr word hostBits = pwm1en | pwm2en | offsetOff | opamp | buckOff | ledOff;
    b->outputs = static_cast<word>((b->outputs & ~hostBits) | (req.outputs & hostBits));
    b->pwm_lo = req.pwm_lo;
    b->pwm_t = req.pwm_t;
    if (req.alarm != 0)
        b->sleepRequested = req.alarm;
    bool ok = true;
    if (VEXObit(req.outputs, eeRead)) {
        b->eeAcked = true;
        b->eeAddr = req.ee_addr;
        b->eeData = b->eeprom[req.ee_addr];
    } else if (VEXObit(req.outputs, eeWrite)) {
        const bool changed = b->eeprom[req.ee_addr] != req.ee_data;
        b->eeprom[req.ee_addr] = req.ee_data;
        if (changed && !b->cfg.eepromPath.empty())
            ok = simEepromSave(b->cfg.eepromPath, b->eeprom);
        if (!ok) {
            b->eepromWriteFailures++;
            b->eepromWriteErrno = errno;
        }
        b->eeAcked = true;
        b->eeAddr = req.ee_addr;
        b->eeData = req.ee_data;
    } else {
        b->eeAcked = false;
    }
    return ok;
}

void simBoardStep(SimBoard* b, double dt)
{
    const bool charging = !b->onBattery && VEXObit(b->outputs, pwm1en) && VEXObit(b->outputs, pwm2en) && b->pwm_t > 0;
    double ua;
    if (b->onBattery) {
        ua = b->cfg.batteryLoadUa;
    } else if (charging) {
        const double lo = std::min<double>(b->pwm_lo, b->pwm_t);
        ua = b->cfg.imaxUa * (b->pwm_t - lo) / b->pwm_t;
    } else {
        ua = b->cfg.idleUa;
    }
    if (b->cfg.noiseUa > 0) {
        std::uniform_real_distribution<double> noise(-b->cfg.noiseUa, b->cfg.noiseUa);
        ua += noise(b->rng);
    }
    b->currentUa = ua;
    // About 1 mV a second per 100 mA, or on battery the rate set.
    const double mvS = b->onBattery && b->cfg.dischargeMvS > 0 ? -b->cfg.dischargeMvS : ua / 100000.0;
    simBoardSetVolts(b, b->volts + mvS * 0.001 * dt);
}

void simBoardSetVolts(SimBoard* b, double volts) { b->volts = std::clamp(volts, SIM_VOLTS_MIN, SIM_VOLTS_MAX); }

VEXOreply simBoardReply(SimBoard* b)
{
    VEXOreply r{};
    word out = b->outputs;
    out = VEXOsetBit(out, onbatt, b->onBattery);
    out = VEXOsetBit(out, eeAck, b->eeAcked);
    r.adc0 = b->onBattery ? 0 : b->adc0;
    r.adc2 = b->adc2;
    r.adc6 = simEncodeVolts(b->volts);
    r.adc7 = simEncodeMicroamps(b->currentUa);
    r.pwm_lo = b->pwm_lo;
    r.pwm_t = b->pwm_t;
    r.temp = simEncodeCelsius(b->cfg.celsius);
    if (b->pinned) {
        r.adc0 = b->pinAdc0;
        r.adc2 = b->pinAdc2;
        r.adc6 = b->pinAdc6;
        r.adc7 = b->pinAdc7;
        r.temp = b->pinTemp;
    }
    r.outputs = out;
    r.ee_addr = b->eeAddr;
    r.ee_data = b->eeData;
    ByteArrayRef_Seal(BAR(&r, sizeof r));
    return r;
}

void simBoardSetLinePower(SimBoard* b, bool line) { b->onBattery = !line; }

void simBoardPinReadings(SimBoard* b, word adc0, word adc2, word adc6, word adc7, word temp)
{
    b->pinned = true;
    b->pinAdc0 = adc0;
    b->pinAdc2 = adc2;
    b->pinAdc6 = adc6;
    b->pinAdc7 = adc7;
    b->pinTemp = temp;
}
