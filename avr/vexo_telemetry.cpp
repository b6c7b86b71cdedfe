// Per-reply sampling, the once-a-second telemetry datagram and the on/off cycle.
#include "lib/net.h"
#include "avr/vexo.h"

vexoInfo VEXOinfo_Make(const VEXOchargeState* state, const VEXOreply* rep)
{
    vexoInfo info{}; // every byte zero: dVdT, reserved and all that is not set below
    const word out = rep->outputs;
    const int n = state->numSamples;
    info.t = static_cast<std::int32_t>(state->last_t);
    info.supplyV = static_cast<float>(rep->adc0);
    info.regV = static_cast<float>(rep->adc2);
    info.pwmlo = average(state->pwm.data(), n);
    info.pwmt = rep->pwm_t;
    info.flags1 = static_cast<byte>(
        (VEXObit(out, pwm1en) ? vexoFlag1::pwm1en : 0) | (VEXObit(out, pwm2en) ? vexoFlag1::pwm2en : 0) |
        (VEXObit(out, offsetOff) ? 0 : vexoFlag1::offset) | (VEXObit(out, opamp) ? vexoFlag1::opamp : 0) |
        (VEXObit(out, buckOff) ? 0 : vexoFlag1::buck) | (VEXObit(out, ledOff) ? 0 : vexoFlag1::led) |
        (VEXObit(out, jp3Off) ? 0 : vexoFlag1::jp3) | (VEXObit(out, onbatt) ? vexoFlag1::onbatt : 0));
    info.flags2 =
        static_cast<byte>((VEXObit(out, softJP3) ? vexoFlag2::softJP3 : 0) | (state->locked ? vexoFlag2::locked : 0));
    info.battV = smoothAverage(state->V.data(), n);
    info.battI = static_cast<std::int32_t>(smoothAverage(state->I.data(), n));
    info.tempF = smoothAverage(state->T.data(), n);
    return info;
}

void VEXOdutyCycleStep(VEXOchargeState* state)
{
    if (state->timer > 0) {
        state->timer--;
        if (state->timer == 0) {
            if (state->time_off > 0)
                state->targetI = 0;
            else
                state->timer = state->time_on;
        }
        return;
    }
    state->timer--;
    if (state->timer <= -state->time_off) {
        if (state->time_on > 0) {
            state->targetI = state->masterI;
            state->locked = 0;
        }
        state->timer = state->time_on;
    }
}

void VEXOUDPlogUpdate(VEXOchargeState* state, const VEXOreply* rep, time_t t)
{
    const float V = battV(rep->adc6);
    const float I = static_cast<float>(battI(rep->adc7));
    const float T = VEXOtemperature(rep->temp);

    if (t != state->last_t) {
        if (state->numSamples > 0) {
            vexoInfo info = VEXOinfo_Make(state, rep);
            if (state->txSocket >= 0)
                netUDPtx(state->txSocket, BAR(&info, sizeof info), &state->to);
            VEXOleasesSend(&state->leases, state->rxSocket, info, t);
            state->numSamples = 0;
        }
        state->last_t = t;
        if (!VEXObit(rep->outputs, onbatt))
            VEXOdutyCycleStep(state);
    }
    if (state->numSamples < VEXO_MAX_SAMPLES) {
        const int i = state->numSamples;
        state->V[i] = V;
        state->I[i] = I;
        state->T[i] = T;
        state->pwm[i] = static_cast<float>(rep->pwm_lo);
        state->numSamples++;
    }
}
