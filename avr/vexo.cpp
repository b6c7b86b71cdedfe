// Board records, the run driver's callbacks and the status report.
#include "avr/vexo.h"

#include <cstring>

VEXOreply VEXOreply_Get(ByteArrayRef b)
{
    VEXOreply r;
    std::memcpy(&r, b.arr, sizeof r);
    return r;
}

VEXOrequest VEXOrequest_Get(ByteArrayRef b)
{
    VEXOrequest r;
    std::memcpy(&r, b.arr, sizeof r);
    return r;
}

void VEXOrequest_Put(ByteArrayRef b, const VEXOrequest& r) { std::memcpy(b.arr, &r, sizeof r); }

int VEXOrequestInitFromReply(ByteArrayRef bRep, ByteArrayRef bReq)
{
    const VEXOreply rep = VEXOreply_Get(bRep);
    VEXOrequest req = VEXOrequest_Get(bReq);
    word out = rep.outputs;
    out = VEXOsetBit(out, softJP3, 0);
    if (VEXObit(rep.outputs, onbatt))
        out = VEXOsetBit(out, ledOff, 1);
    else if (VEXObit(rep.outputs, pwm1en) || VEXObit(rep.outputs, pwm2en))
        out = VEXOsetBit(out, ledOff, !VEXObit(rep.outputs, ledOff));
    else
        out = VEXOsetBit(out, ledOff, 0);
    req.outputs = out;
    req.pwm_lo = rep.pwm_lo;
    req.pwm_t = rep.pwm_t;
    req.alarm = 0;
    VEXOrequest_Put(bReq, req);
    return VEXO_REQUEST_LEN;
}

int VEXOcallback(ByteArrayRef bReq, ByteArrayRef bRep)
{
    constexpr word compared = pwm1en | pwm2en | offsetOff | opamp | buckOff | ledOff;
    const VEXOrequest req = VEXOrequest_Get(bReq);
    const VEXOreply rep = VEXOreply_Get(bRep);
    if (((req.outputs ^ rep.outputs) & compared) != 0)
        return 1;
    return req.pwm_lo == rep.pwm_lo && req.pwm_t == rep.pwm_t ? 0 : 1;
}

int VEXOtask2Do(FILE*, int, ByteArrayRef, ByteArrayRef, void*) { return 0; }

float tempF(std::int16_t tmp)
{
    constexpr int one = 1 << VEXO_TEMP_FRACTION_BITS;
    const int tmpd = tmp & (one - 1);
    const int whole = tmp >> VEXO_TEMP_FRACTION_BITS;
    const float celsius = static_cast<float>(whole) + static_cast<float>(tmpd) / static_cast<float>(one);
    return static_cast<float>(static_cast<double>(celsius) * 1.8 + 32.0);
}

float battV(word ticks) { return static_cast<float>(ticks) / static_cast<float>(VEXO_VOLT_TICKS); }

int battI(word ticks) { return VEXO_UA_PER_TICK * static_cast<int>(ticks) - VEXO_UA_ZERO; }

float VEXOtemperature(word temp)
{
    return tempF(static_cast<std::int16_t>(static_cast<word>(temp - VEXO_TEMP_OFFSET)));
}

// "ON"/"OFF" of an active-high bit.
static const char* onOff(word outputs, word bit) { return VEXObit(outputs, bit) ? "ON" : "OFF"; }
// "ON"/"OFF" of an active-low bit.
static const char* offOn(word outputs, word bit) { return VEXObit(outputs, bit) ? "OFF" : "ON"; }

void VEXOreplyPacket_Print(ByteArrayRef bRep, void*)
{
    const VEXOreply r = VEXOreply_Get(bRep);
    printf("Supply Voltage ADC    = %04X\n", r.adc0);
    printf("Regulated Voltage ADC = %04X\n", r.adc2);
    printf("Battery Voltage       = %.2fV (%04X)\n", static_cast<double>(battV(r.adc6)), r.adc6);
    printf("Battery Current       = %duA\n", battI(r.adc7));
    printf("PWM LO = %04X\n", r.pwm_lo);
    printf("PWM T  = %04X\n", r.pwm_t);
    printf("TEMP   = %.1fF\n", static_cast<double>(VEXOtemperature(r.temp)));
    printf("PWM 1 EN  = %s\n", onOff(r.outputs, pwm1en));
    printf("PWM 2 EN  = %s\n", onOff(r.outputs, pwm2en));
    printf("OFFSET EN = %s\n", offOn(r.outputs, offsetOff));
    printf("OPAMP EN  = %s\n", onOff(r.outputs, opamp));
    printf("BUCK EN   = %s\n", offOn(r.outputs, buckOff));
    printf("LED       = %s\n", offOn(r.outputs, ledOff));
    printf("JP3       = %s\n", offOn(r.outputs, jp3Off));
    printf("Running on %s\n", VEXObit(r.outputs, onbatt) ? "BATTERY" : "LINE VOLTAGE");
}
