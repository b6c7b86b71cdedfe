// The charging supervisor: one loop over the serial stream that regulates
// the charging current, follows the on/off cycle, takes UDP commands, sends
// telemetry and shuts the host down after a power failure.
#include <array>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "Process.h"
#include "avr.h"
#include "vexo.h"

void VEXOregulate(VEXOchargeState* state, const VEXOreply* rep, VEXOrequest* req)
{
    const int I = battI(rep->adc7);
    const word P = req->pwm_lo;
    if (!state->locked) {
        if (state->lock_hi > state->lock_max)
            state->lock_hi = state->lock_max;
        else if (I > state->targetI)
            state->lock_lo = P;
        else
            state->lock_hi = P;
        const int diff = static_cast<int>(state->lock_hi) - static_cast<int>(state->lock_lo);
        req->pwm_lo = static_cast<word>(state->lock_lo + diff / 2);
        if (diff <= 1)
            state->locked = 1;
        return;
    }
    const bool online = !VEXObit(rep->outputs, onbatt);
    if (!online || state->targetI <= 0)
        return;
    const long long error = static_cast<long long>(I) - state->targetI;
    if (error > VEXO_DEAD_BAND_UA) {
        if (P < state->lock_max)
            req->pwm_lo = static_cast<word>(P + 1);
        else
            state->targetI = 0;
    } else if (error < -VEXO_DEAD_BAND_UA) {
        if (P != 0)
            req->pwm_lo = static_cast<word>(P - 1);
        else
            state->targetI = 0;
    }
}

int VEXOpowerWatch(int shutdown_pending, int onBattery, int shutdelay, int* runShutdown)
{
    *runShutdown = 0;
    if (!onBattery)
        return -1;
    if (shutdelay <= 0)
        return shutdown_pending;
    if (shutdown_pending > 0) {
        if (--shutdown_pending == 0) {
            *runShutdown = 1;
            shutdown_pending = VEXO_SHUTDOWN_REPEAT;
        }
        return shutdown_pending;
    }
    return shutdelay;
}

void VEXOBatteryCharge(FILE* f, std::int32_t targetI, std::int32_t on, std::int32_t off, std::int32_t shutdelay)
{
    std::array<byte, AVR_BUFFER_SIZE> reqBuf{};
    std::array<byte, AVR_BUFFER_SIZE> repBuf{};
    ByteArrayRef bReq = BAR(reqBuf.data(), AVR_BUFFER_SIZE);
    const ByteArrayRef repAll = BAR(repBuf.data(), AVR_BUFFER_SIZE);
    time_t last_t = 0;
    int shutdown_pending = -1;

    processDaemonize();
    // Detached: the hang-up of the terminal that started it is no concern.
    signal(SIGHUP, SIG_IGN);
    // Bytes that never form a packet are waited out; only silence ends it.
    AVRwaitOutNoise(nullptr, nullptr);
    VEXOchargeState state;
    VEXOchargeState_Init(&state, targetI, on, off);

    while (state.running) {
        VEXOUDPcommandCheck(&state);
        // After a stall the queued records are old: regulation and the
        // power watch act on a fresh one.
        const ByteArrayRef bRep = AVRreplyGetFresh(f, repAll);
        bReq.len = VEXOrequestInitFromReply(bRep, bReq);
        const time_t t = time(nullptr);
        const VEXOreply rep = VEXOreply_Get(bRep);
        VEXOUDPlogUpdate(&state, &rep, t);
        if (t != last_t) {
            int runShutdown = 0;
            shutdown_pending = VEXOpowerWatch(shutdown_pending, VEXObit(rep.outputs, onbatt), shutdelay, &runShutdown);
            if (runShutdown) {
                const int rc = system("shutdown -h now");
                (void)rc;
            }
            last_t = t;
        }
        VEXOrequest req = VEXOrequest_Get(bReq);
        req.outputs = VEXOsetBit(req.outputs, pwm1en | pwm2en, state.targetI > 0);
        req.outputs = VEXOsetBit(req.outputs, opamp, 1);
        req.pwm_t = state.lock_max;
        VEXOregulate(&state, &rep, &req);
        VEXOrequest_Put(bReq, req);
        AVRsendRequest(f, bReq, repAll, VEXOcallback);
    }
}
