// The option processor fed arbitrary argument vectors against the simulated
// board: NUL-separated words become argv. Words that could start the charging
// supervisor (which never returns) are left out.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <termios.h>

#include "avr/avr.h"
#include "lib/file.h"
#include "sim/server.h"
#include "lib/term.h"
#include "avr/vexo.h"

static SimServer* sim;
static FILE* port;

static void startBoard()
{
    SimConfig cfg;
    cfg.intervalMs = 10; // a 50 ms stall of the instrumented host still leaves fewer than five stale records
    sim = simServerNew(cfg);
    if (!simServerStart(sim))
        abort();
    AVRsetMinReply(VEXO_REPLY_LEN); // as the program's main does
    port = fileOpenOrDie(simServerSlavePath(sim).c_str(), "r+");
    fileSetBlocking(fileno(port), 0);
    struct termios saved {};
    termConfigRaw(fileno(port), &saved);
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (sim == nullptr)
        startBoard();
    // Each run starts on a fresh line, as vexo does after opening the port:
    // records that piled up between runs would all count as stale replies.
    fileFlushInput(port);
    std::vector<std::string> words{"vexo"};
    std::string cur;
    for (size_t i = 0; i < size && words.size() < 24; i++) {
        if (data[i] == 0) {
            words.push_back(cur);
            cur.clear();
        } else if (cur.size() < 80) {
            cur += static_cast<char>(data[i]);
        }
    }
    if (!cur.empty())
        words.push_back(cur);
    std::vector<char*> argv;
    for (auto& w : words)
        if (w.rfind("--c", 0) != 0)
            argv.push_back(w.data());
    argv.push_back(nullptr);

    std::vector<byte> req(AVR_BUFFER_SIZE, 0);
    VEXOrequest r{};
    r.outputs = offsetOff;
    r.pwm_lo = 250;
    r.pwm_t = 500;
    std::memcpy(req.data(), &r, sizeof r);
    int loops = -1;
    const int todo =
        VEXOprocessOptions(port, BAR(req.data(), 13), nullptr, &loops, static_cast<int>(argv.size()) - 1, argv.data());
    if ((todo != 0 && todo != 1) || (loops != 0 && loops != 1) || (todo == 1) == (loops == 1))
        abort();
    return 0;
}
