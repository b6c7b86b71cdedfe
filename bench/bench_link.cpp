// Framing and receiver throughput, in bytes per second, beside the line's
// 11,520 bytes per second (115200 baud, 10 bits a byte).
#include <cstdio>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "lib/file.h"
#include "lib/serial.h"
#include "avr/vexo.h"

// A status record as the board sends it.
static std::vector<byte> reply()
{
    VEXOreply r{};
    r.adc0 = 0x0300;
    r.adc6 = 45000;
    r.adc7 = 32340;
    r.pwm_lo = 333;
    r.pwm_t = 500;
    r.temp = 2887;
    r.outputs = pwm1en | pwm2en | opamp;
    std::vector<byte> p(sizeof r);
    std::memcpy(p.data(), &r, sizeof r);
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < p.size(); i++)
        sum += p[i];
    p.back() = static_cast<byte>(0xFF - (sum & 0xFF));
    return p;
}

static void BM_FrameReply(benchmark::State& state)
{
    std::vector<byte> pkt = reply();
    std::vector<byte> out(2 * pkt.size() + 2);
    for (auto _ : state) {
        serialFrame(BAR(pkt.data(), static_cast<int>(pkt.size())), BAR(out.data(), static_cast<int>(out.size())));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pkt.size()));
}
BENCHMARK(BM_FrameReply);

static void BM_FrameAllEscaped(benchmark::State& state)
{
    std::vector<byte> pkt(VEXO_REPLY_LEN, SERIAL_START);
    std::vector<byte> out(2 * pkt.size() + 2);
    for (auto _ : state) {
        serialFrame(BAR(pkt.data(), 19), BAR(out.data(), static_cast<int>(out.size())));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pkt.size()));
}
BENCHMARK(BM_FrameAllEscaped);

static void BM_ReceiveReplies(benchmark::State& state)
{
    // 1000 framed replies with a little noise between them, received from a
    // stream in memory: the receiver, checksum and stream reads together.
    std::vector<byte> pkt = reply();
    std::vector<byte> line;
    for (int i = 0; i < 1000; i++) {
        std::vector<byte> f(2 * pkt.size() + 2);
        const int n = static_cast<int>(pkt.size()) + serialFrameOverhead(BAR(pkt.data(), 19));
        serialFrame(BAR(pkt.data(), 19), BAR(f.data(), n));
        line.insert(line.end(), f.begin(), f.begin() + n);
        line.push_back(0x00);
    }
    std::vector<byte> rx(256);
    for (auto _ : state) {
        FILE* f = fmemopen(line.data(), line.size(), "r");
        int got = 0;
        while (filePacketGet(f, BAR(rx.data(), 256)).arr != nullptr)
            got++;
        fclose(f);
        if (got != 1000)
            state.SkipWithError("lost packets");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ReceiveReplies);

BENCHMARK_MAIN();
