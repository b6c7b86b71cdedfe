// The simulator's own frame codec: frames as the firmware writes them, and a
// decoder of the host's bytes that knows nothing of the program's receiver.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "lib/file.h"
#include "lib/serial.h"
#include "sim/server_impl.h"

std::vector<byte> simFrameOf(const std::vector<byte>& pkt)
{
    std::vector<byte> out{SERIAL_START};
    for (byte b : pkt) {
        if (b == SERIAL_START || b == SERIAL_ESC || b == SERIAL_END || b == SERIAL_XON || b == SERIAL_XOFF) {
            out.push_back(SERIAL_ESC);
            out.push_back(static_cast<byte>(b ^ SERIAL_ESC_XOR));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(SERIAL_END);
    return out;
}

std::vector<byte> simJunkPacket(size_t n, std::mt19937& rng)
{
    std::vector<byte> p(n);
    std::generate(p.begin(), p.end(), [&rng] { return static_cast<byte>(rng()); });
    ByteArrayRef_Seal(BAR(p.data(), static_cast<int>(n)));
    return p;
}

static void applyOrDefer(SimServer* s, const VEXOrequest& req)
{
    if (s->faults.ignoreRequests || (s->faults.eepromDead && (req.outputs & (eeRead | eeWrite)) != 0))
        return;
    if (s->faults.confirmAfter > 0) {
        if (!s->pendingSet)
            s->pendingCountdown = s->faults.confirmAfter;
        s->pendingSet = true;
        s->pending = req;
        return;
    }
    simBoardApply(&s->board, req);
}

static void takeFrame(SimServer* s, SimFrameDecoder* d)
{
    SimRequest r;
    r.t = simServerNow(s);
    r.frame = d->raw;
    r.packet = d->pkt;
    const unsigned sum = std::accumulate(r.packet.begin(), r.packet.end(), 0u);
    r.valid = r.packet.size() == VEXO_REQUEST_LEN && (sum & 0xFF) == FILE_PACKET_SUM;
    if (r.valid) {
        std::memcpy(&r.req, r.packet.data(), sizeof r.req);
        applyOrDefer(s, r.req);
    }
    s->requests.push_back(std::move(r));
    s->requestsTotal++;
    if (s->requests.size() >= 2 * SIM_HISTORY)
        s->requests.erase(s->requests.begin(), s->requests.begin() + SIM_HISTORY);
    s->changed.notify_all();
}

void simFeed(SimServer* s, SimFrameDecoder* d, byte b)
{
    s->hostBytes++;
    if (b == SERIAL_START) {
        d->inFrame = true;
        d->escape = false;
        d->raw.assign(1, b);
        d->pkt.clear();
        return;
    }
    if (!d->inFrame)
        return;
    d->raw.push_back(b);
    if (d->escape) {
        d->pkt.push_back(static_cast<byte>(b ^ SERIAL_ESC_XOR));
        d->escape = false;
    } else if (b == SERIAL_ESC) {
        d->escape = true;
    } else if (b == SERIAL_END) {
        d->inFrame = false;
        takeFrame(s, d);
    } else {
        d->pkt.push_back(b);
    }
}
