// The charging supervisor: one loop over the serial stream that regulates
// the charging current, follows the on/off cycle, takes UDP commands, sends
// telemetry and shuts the host down after a power failure.
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <syslog.h>

#include "lib/Process.h"
#include "avr/avr.h"
#include "avr/vexo.h"
#include "avr/vexo_control.h"
#include "avr/vexo_field.h"
#include "avr/vexo_low_battery.h"
#include "avr/vexo_ups.h"

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

// What the supervisor has last told the log, so that it speaks of
// transitions only, and what a hook or a link failure needs to know.
struct FieldView {
    const VEXOchargeState* state = nullptr;
    VEXOreply rep{};    // the latest status record
    int onBattery = -1; // -1 until the first record
    bool locked = false;
    bool everLocked = false;
    bool ready = false;    // the service manager has heard READY=1
    pid_t shutdownPid = 0; // "shutdown -h now" while it runs
    float lowVolts = 0;    // > 0 while the low-battery shutdown holds: the voltage that set it off
};

static void lineQuiet(int quiet, void*)
{
    if (quiet)
        VEXOlog(LOG_WARNING, "no good packet from the board for 2 s: waiting");
    else
        VEXOlog(LOG_NOTICE, "good packets from the board again");
}

static void linkFailure(const char* msg, void* data)
{
    const auto* view = static_cast<const FieldView*>(data);
    VEXOlog(LOG_ERR, "%s", msg);
    VEXOhooksEnd(); // the hooks end with us, but for this last one
    VEXOevent("link-failed", msg, view->state, &view->rep);
}

static void logStart(const VEXOchargeState* state, std::int32_t shutdelay)
{
    char timer[48] = "";
    char shutdown[96] = "off";
    if (shutdelay > 0)
        snprintf(timer, sizeof timer, "after %d s on battery", shutdelay);
    if (vexoShutdownVolts > 0)
        snprintf(shutdown, sizeof shutdown, "%s%safter %d s on battery below %.2f V", timer,
                 shutdelay > 0 ? " or " : "", VEXO_LOW_BATTERY_S, static_cast<double>(vexoShutdownVolts));
    else if (shutdelay > 0)
        snprintf(shutdown, sizeof shutdown, "%s", timer);
    VEXOlog(LOG_NOTICE, "started on %s: target %d mA, on %d s, off %d s, shutdown %s, commands on %s port %d from %s",
            VEXOdevicePath(), state->masterI / 1000, state->time_on, state->time_off, shutdown,
            vexoField.listenText != nullptr ? vexoField.listenText : "all addresses", VEXO_UDP_PORT,
            vexoField.allowText != nullptr ? vexoField.allowText : "anyone");
}

// Once a second: the power transitions, the shutdown countdown and the service status.
static void watchPower(FieldView* v, const VEXOreply& rep, int before, int after, int shutdelay, time_t t)
{
    const VEXOchargeState* state = v->state;
    const int battery = VEXObit(rep.outputs, onbatt);
    if (v->onBattery >= 0 && battery != v->onBattery) {
        VEXOlog(battery ? LOG_WARNING : LOG_NOTICE, battery ? "line power lost" : "line power back");
        VEXOevent(battery ? "power-lost" : "power-back", nullptr, state, &rep);
    }
    v->onBattery = battery;
    char seconds[16];
    snprintf(seconds, sizeof seconds, "%d", after);
    if (before <= 0 && after > 0 && after == shutdelay) {
        VEXOlog(LOG_WARNING, "shutdown in %d s unless line power returns", after);
        VEXOevent("shutdown-pending", seconds, state, &rep);
    } else if (before > 0 && after < 0) {
        VEXOlog(LOG_NOTICE, "shutdown cancelled: line power is back");
        VEXOevent("shutdown-cancelled", nullptr, state, &rep);
    }
    VEXOrefused(nullptr, t);
    VEXOcommandLogTick(t);
    VEXOlogTick();
    VEXOhooksReap(t);
    char status[VEXO_NOTIFY_STATUS_MAX];
    int n =
        snprintf(status, sizeof status, "STATUS=target %d mA, %.1f mA, %s, %s", state->targetI / 1000,
                 battI(rep.adc7) / 1000.0, state->locked ? "locked" : "searching", battery ? "battery" : "line power");
    if (n > 0 && n < static_cast<int>(sizeof status)) {
        if (v->shutdownPid > 0)
            n +=
                snprintf(status + n, sizeof status - static_cast<size_t>(n), ", \"%s\" running", VEXO_SHUTDOWN_COMMAND);
        else if (after > 0)
            n += snprintf(status + n, sizeof status - static_cast<size_t>(n), ", shutdown in %d s", after);
    }
    if (v->lowVolts > 0 && n > 0 && n < static_cast<int>(sizeof status))
        snprintf(status + n, sizeof status - static_cast<size_t>(n), ", battery low at %.2f V: shutting down",
                 static_cast<double>(v->lowVolts));
    VEXOnotify(status);
}

// Once a second, after the timer's power watch: whether the shutdown command
// is due now (timerRun: the timer's verdict). Once the battery has been low
// for VEXO_LOW_BATTERY_S s on battery, the low-battery watch alone decides
// until line power returns: the command at once and every
// VEXO_SHUTDOWN_REPEAT s after, whatever the timer says.
static int shutdownDue(VEXOlowBattery* low, FieldView* v, const VEXOreply& rep, float volts, int timerRun)
{
    const VEXOlowBatteryVerdict verdict = VEXOlowBatteryStep(low, VEXObit(rep.outputs, onbatt), volts);
    if (verdict == VEXOlowBatteryVerdict::Now) {
        v->lowVolts = volts;
        VEXOlog(LOG_CRIT, "battery low: %.2f V, below %.2f V for %d s on battery: shutting down now",
                static_cast<double>(volts), static_cast<double>(low->volts), VEXO_LOW_BATTERY_S);
        char detail[16];
        snprintf(detail, sizeof detail, "%.2f", static_cast<double>(volts));
        VEXOevent("low-battery", detail, v->state, &rep);
    }
    if (!VEXOlowBatterySetOff(*low)) {
        v->lowVolts = 0;
        return timerRun;
    }
    return verdict != VEXOlowBatteryVerdict::None;
}

// Each cycle, after regulation: the lock's transitions.
static void watchLock(FieldView* v, const VEXOrequest& req, const VEXOreply& rep, std::int32_t targetBefore)
{
    const VEXOchargeState* state = v->state;
    const double ma = battI(rep.adc7) / 1000.0;
    if (state->locked && !v->locked) {
        VEXOlog(LOG_INFO, "%s at PWM low time %u, %.1f mA for %d mA", v->everLocked ? "locked again" : "locked",
                static_cast<unsigned>(req.pwm_lo), ma, state->targetI / 1000);
        v->everLocked = true;
    } else if (!state->locked && v->locked) {
        VEXOlog(LOG_NOTICE, "lock lost at PWM low time %u, %.1f mA: searching for %d mA",
                static_cast<unsigned>(req.pwm_lo), ma, state->targetI / 1000);
    }
    if (state->locked && targetBefore > 0 && state->targetI == 0 && VEXObit(rep.outputs, onbatt) == 0)
        VEXOlog(LOG_WARNING, "cannot hold %d mA at PWM low time %u: charging off", targetBefore / 1000,
                static_cast<unsigned>(req.pwm_lo));
    v->locked = state->locked != 0;
}

// The shutdown is due: the hook, the service manager told, and the command
// started; the loop goes on while it runs and reaps it between cycles.
static void startShutdown(FieldView* v, const VEXOreply* rep)
{
    VEXOevent("shutdown", nullptr, v->state, rep);
    // Not STOPPING=1: the supervisor is not stopping, and must go on
    // supervising (and try again) if the host does not go down.
    char status[VEXO_NOTIFY_STATUS_MAX];
    snprintf(status, sizeof status, "STATUS=on battery: running \"%s\"", VEXO_SHUTDOWN_COMMAND);
    VEXOnotify(status);
    v->shutdownPid = VEXOshutdownStart();
}

void VEXOBatteryCharge(FILE* f, std::int32_t targetI, std::int32_t on, std::int32_t off, std::int32_t shutdelay)
{
    std::array<byte, AVR_BUFFER_SIZE> reqBuf{};
    std::array<byte, AVR_BUFFER_SIZE> repBuf{};
    ByteArrayRef bReq = BAR(reqBuf.data(), AVR_BUFFER_SIZE);
    const ByteArrayRef repAll = BAR(repBuf.data(), AVR_BUFFER_SIZE);
    time_t last_t = 0;
    int shutdown_pending = -1;
    VEXOlowBattery low;
    low.volts = vexoShutdownVolts;
    VEXOupsSetLowVolts(vexoShutdownVolts); // NUT's battery.voltage.low and LB, when set

    processDaemonize();
    // Detached: the hang-up of the terminal that started it is no concern.
    signal(SIGHUP, SIG_IGN);
    VEXOfieldStart();
    VEXOchargeState state;
    VEXOchargeState_Init(&state, targetI, on, off);
    const int bindError = errno;
    FieldView view;
    view.state = &state;
    // Bytes that never form a packet are waited out; only silence ends it.
    AVRwaitOutNoise(lineQuiet, &view);
    AVRonLinkFailure(linkFailure, &view);
    logStart(&state, shutdelay);
    if (VEXOignoredAfterCharge()[0] != '\0')
        VEXOlog(LOG_WARNING, "ignored after --charge (give them before it): %s", VEXOignoredAfterCharge());
    if (state.rxSocket < 0)
        VEXOlog(LOG_ERR, "no UDP commands: port %d: %s", VEXO_UDP_PORT, strerror(bindError));
    VEXOcontrol control;
    VEXOcontrolOpen(&control, VEXOdevicePath());
    bool started = false;

    while (state.running) {
        VEXOUDPcommandCheck(&state);
        // After a stall the queued records are old: regulation and the
        // power watch act on a fresh one.
        const ByteArrayRef bRep = AVRreplyGetFresh(f, repAll);
        bReq.len = VEXOrequestInitFromReply(bRep, bReq);
        const time_t t = time(nullptr);
        const VEXOreply rep = VEXOreply_Get(bRep);
        view.rep = rep;
        VEXOcontrolStatus(&control, rep);
        // The past second's battery voltage as its telemetry record has it.
        const float pastVolts = t != last_t ? smoothAverage(state.V.data(), state.numSamples) : 0.0f;
        if (!started) {
            VEXOevent("started", nullptr, &state, &rep);
            started = true;
        }
        VEXOupsUpdate(&state, &rep, t); // the second that ends, before its samples go
        VEXOUDPlogUpdate(&state, &rep, t);
        VEXOshutdownReap(&view.shutdownPid);
        if (t != last_t) {
            int runShutdown = 0;
            const int before = shutdown_pending;
            const int battery = VEXObit(rep.outputs, onbatt);
            // While the command runs on battery, the countdown to its next
            // try waits: it starts when this one has ended.
            if (view.shutdownPid <= 0 || !battery)
                shutdown_pending = VEXOpowerWatch(shutdown_pending, battery, shutdelay, &runShutdown);
            runShutdown = shutdownDue(&low, &view, rep, pastVolts, runShutdown);
            if (view.shutdownPid > 0)
                runShutdown = 0; // one command at a time
            watchPower(&view, rep, before, shutdown_pending, shutdelay, t);
            if (runShutdown)
                startShutdown(&view, &rep);
            last_t = t;
        }
        VEXOrequest req = VEXOrequest_Get(bReq);
        req.outputs = VEXOsetBit(req.outputs, pwm1en | pwm2en, state.targetI > 0);
        req.outputs = VEXOsetBit(req.outputs, opamp, 1);
        req.pwm_t = state.lock_max;
        const std::int32_t targetBefore = state.targetI;
        VEXOregulate(&state, &rep, &req);
        watchLock(&view, req, rep, targetBefore);
        VEXOrequest_Put(bReq, req);
        AVRsendRequest(f, bReq, repAll, VEXOcallback);
        VEXOcontrolServe(&control, f, repAll); // one-shot commands, between cycles
        if (!view.ready)                       // until the manager has taken it
            view.ready = VEXOnotify("READY=1") != 0;
        VEXOwatchdog();
    }
}
