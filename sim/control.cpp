// The fault switches and the control commands of the simulated board.
#include <cmath>
#include <cstdio>
#include <sstream>

#include "clients/common/cli.h"
#include "sim/server_impl.h"

void simSetLinePower(SimServer* s, bool line)
{
    std::lock_guard<std::mutex> lock(s->mu);
    simBoardSetLinePower(&s->board, line);
}

void simInjectSilence(SimServer* s, int ms)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.silentUntil = simServerNow(s) + ms / 1000.0;
}

// Sets one fault switch under the lock.
template <typename T> static void setFault(SimServer* s, T SimFaults::*field, T value)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->faults.*field = value;
}

void simInjectNoise(SimServer* s, int bytesPerGap) { setFault(s, &SimFaults::noiseBytes, bytesPerGap); }
void simInjectBadChecksum(SimServer* s, int frames) { setFault(s, &SimFaults::badChecksumFrames, frames); }
void simInjectShortFrame(SimServer* s, int frames) { setFault(s, &SimFaults::shortFrames, frames); }
void simInjectOversizedFrame(SimServer* s, int frames) { setFault(s, &SimFaults::oversizedFrames, frames); }
void simSetGarbage(SimServer* s, bool on) { setFault(s, &SimFaults::garbage, on); }
void simSetIgnoreRequests(SimServer* s, bool on) { setFault(s, &SimFaults::ignoreRequests, on); }
void simSetEepromDead(SimServer* s, bool on) { setFault(s, &SimFaults::eepromDead, on); }
void simSetConfirmAfter(SimServer* s, int replies) { setFault(s, &SimFaults::confirmAfter, replies); }
void simInjectBurst(SimServer* s, int records) { setFault(s, &SimFaults::burstRecords, records); }

void simSetBatteryVolts(SimServer* s, double volts)
{
    std::lock_guard<std::mutex> lock(s->mu);
    simBoardSetVolts(&s->board, volts);
}

void simSetDischarge(SimServer* s, double mvPerS)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->board.cfg.dischargeMvS = mvPerS;
}

void simPinReadings(SimServer* s, word adc0, word adc2, word adc6, word adc7, word temp)
{
    std::lock_guard<std::mutex> lock(s->mu);
    simBoardPinReadings(&s->board, adc0, adc2, adc6, adc7, temp);
}

void simSetOutputs(SimServer* s, word outputs, word pwm_lo, word pwm_t)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->board.outputs = static_cast<word>(outputs & ~(eeAck | onbatt));
    s->board.onBattery = VEXObit(outputs, onbatt);
    s->board.pwm_lo = pwm_lo;
    s->board.pwm_t = pwm_t;
}

namespace {

// A control command's words after its name, checked before it runs.
enum class ControlArgs { None, Number, OnOff, AddressValue };

struct ControlCommand {
    const char* name;
    ControlArgs args;
    long min, max; // range of a Number
    void (*run)(SimServer* s, long a, long b);
};

void setEeprom(SimServer* s, long adrs, long value)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->board.eeprom[static_cast<size_t>(adrs)] = static_cast<byte>(value);
}

// Ranges keep every frame slot short: the serving thread never sleeps for
// long, so the simulator always ends promptly.
const ControlCommand controlCommands[] = {
    {"line", ControlArgs::None, 0, 0, [](SimServer* s, long, long) { simSetLinePower(s, true); }},
    {"battery", ControlArgs::None, 0, 0, [](SimServer* s, long, long) { simSetLinePower(s, false); }},
    {"silent", ControlArgs::Number, 0, 600000, [](SimServer* s, long n, long) { simInjectSilence(s, int(n)); }},
    {"noise", ControlArgs::Number, 0, 4096, [](SimServer* s, long n, long) { simInjectNoise(s, int(n)); }},
    {"badsum", ControlArgs::Number, 0, 1000000000, [](SimServer* s, long n, long) { simInjectBadChecksum(s, int(n)); }},
    {"short", ControlArgs::Number, 0, 1000000000, [](SimServer* s, long n, long) { simInjectShortFrame(s, int(n)); }},
    {"oversize", ControlArgs::Number, 0, 1000000000,
     [](SimServer* s, long n, long) { simInjectOversizedFrame(s, int(n)); }},
    {"garbage", ControlArgs::OnOff, 0, 1, [](SimServer* s, long on, long) { simSetGarbage(s, on != 0); }},
    {"ignore", ControlArgs::OnOff, 0, 1, [](SimServer* s, long on, long) { simSetIgnoreRequests(s, on != 0); }},
    {"confirm-after", ControlArgs::Number, 0, 1000, [](SimServer* s, long n, long) { simSetConfirmAfter(s, int(n)); }},
    {"burst", ControlArgs::Number, 0, 64, [](SimServer* s, long n, long) { simInjectBurst(s, int(n)); }},
    {"eeprom", ControlArgs::AddressValue, 0, 255, setEeprom},
    {"battery-mv", ControlArgs::Number, std::lround(SIM_VOLTS_MIN * 1000), std::lround(SIM_VOLTS_MAX * 1000),
     [](SimServer* s, long mv, long) { simSetBatteryVolts(s, static_cast<double>(mv) / 1000.0); }},
    {"discharge", ControlArgs::Number, 0, 1000,
     [](SimServer* s, long mv, long) { simSetDischarge(s, static_cast<double>(mv)); }},
};

} // namespace

std::string simControl(SimServer* s, const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty())
        return "";
    const std::string& name = words[0];
    for (const ControlCommand& c : controlCommands) {
        if (name != c.name)
            continue;
        const size_t given = words.size() - 1;
        long a = 0, b = 0;
        char range[64];
        snprintf(range, sizeof range, "from %ld to %ld", c.min, c.max);
        switch (c.args) {
        case ControlArgs::None:
            if (given != 0)
                return name + " takes no argument";
            break;
        case ControlArgs::Number:
            if (given != 1 || !cliParseWhole(words[1].c_str(), 0, c.min, c.max, &a))
                return name + " needs one whole number " + range + (given >= 1 ? ", not '" + words[1] + "'" : "");
            break;
        case ControlArgs::OnOff:
            if (given != 1 || (words[1] != "on" && words[1] != "off" && words[1] != "1" && words[1] != "0"))
                return name + " needs on or off" + (given >= 1 ? ", not '" + words[1] + "'" : "");
            a = words[1] == "on" || words[1] == "1";
            break;
        case ControlArgs::AddressValue:
            if (given != 2 || !cliParseWhole(words[1].c_str(), 0, c.min, c.max, &a) ||
                !cliParseWhole(words[2].c_str(), 0, c.min, c.max, &b))
                return name + " needs an address and a value, each a whole number " + range;
            break;
        }
        c.run(s, a, b);
        return "";
    }
    return "unknown command: " + name;
}
