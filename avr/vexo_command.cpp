// The UDP command channel on port 4000: telemetry on and off, leases, new targets.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "lib/file.h"
#include "lib/net.h"
#include "avr/vexo.h"
#include "avr/vexo_field.h"

// Datagrams one poll reads at the most while it looks for a command.
constexpr int VEXO_UDP_READS_PER_POLL = 256;

// Microamperes of a milliampere value, wrapped to 32 bits as the record holds it.
static std::int32_t microamps(std::int32_t ma)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(ma) * 1000u);
}

// Sets a new target; restarts the pwm_lo search when it moves by more than the dead band.
static void newTarget(VEXOchargeState* state, std::int32_t n)
{
    const std::int64_t diff = static_cast<std::int64_t>(state->targetI) - n;
    if (diff > VEXO_DEAD_BAND_UA || diff < -VEXO_DEAD_BAND_UA) {
        state->locked = 0;
        state->lock_hi = static_cast<word>(state->lock_max + 1);
        state->lock_lo = 0;
    }
    state->targetI = n;
    state->masterI = n;
}

// The port the telemetry datagrams go to: the command's port as the
// address holds it (its low 16 bits), whatever number the command gave.
static int telemetryPort(const VEXOchargeState* state) { return ntohs(state->to.sin_port); }

// Carries out one well-formed command from the sender from.
static void commandRun(VEXOchargeState* state, const VEXOUDPcommand& cmd, const sockaddr_in& from)
{
    char by[NET_ADRS_TEXT_SIZE];
    netAdrsText(&from, by, sizeof by);
    const int oldMa = state->masterI / 1000;
    const int oldOn = state->time_on;
    const int oldOff = state->time_off;
    const time_t now = time(nullptr);
    switch (cmd.command) {
    case VEXO_CMD_TELEMETRY_ON: {
        snprintf(state->IPADRS.data(), state->IPADRS.size(), "%s", by); // the sender, "%d.%d.%d.%d"
        state->toPort = cmd.cmd1.port;
        if (state->txSocket >= 0)
            close(state->txSocket);
        state->txSocket = netUDPopen(state->toPort, 0);
        netAdrsFromName(&state->to, state->IPADRS.data(), state->toPort);
        VEXOcommandLog(cmd.command, now, LOG_INFO, "telemetry to %s port %d", state->IPADRS.data(),
                       telemetryPort(state));
        break;
    }
    case VEXO_CMD_TELEMETRY_OFF:
        if (state->txSocket >= 0) {
            close(state->txSocket);
            VEXOcommandLog(cmd.command, now, LOG_INFO, "telemetry to %s port %d stopped by %s", state->IPADRS.data(),
                           telemetryPort(state), by);
        }
        state->txSocket = -1;
        break;
    case VEXO_CMD_SET_CURRENT:
        newTarget(state, microamps(cmd.cmd3.targetI));
        state->time_on = 1;
        state->time_off = 0;
        state->timer = 1;
        VEXOcommandLog(cmd.command, now, LOG_NOTICE, "target %d -> %d mA, continuous, set by %s", oldMa,
                       state->masterI / 1000, by);
        break;
    case VEXO_CMD_SET_CYCLE: {
        newTarget(state, microamps(cmd.cmd4.targetI));
        const std::int32_t on = cmd.cmd4.time_on;
        const std::int32_t off = cmd.cmd4.time_off;
        state->time_on = on < 0 ? 0 : on;
        state->time_off = off < 0 ? 0 : off;
        state->timer = state->time_on;
        VEXOcommandLog(cmd.command, now, LOG_NOTICE, "target %d -> %d mA, on %d -> %d s, off %d -> %d s, set by %s",
                       oldMa, state->masterI / 1000, oldOn, state->time_on, oldOff, state->time_off, by);
        break;
    }
    case VEXO_CMD_SUBSCRIBE:
    case VEXO_CMD_RENEW:
    case VEXO_CMD_UNSUBSCRIBE: VEXOleaseCommand(&state->leases, state->rxSocket, cmd, from, time(nullptr)); break;
    default: break;
    }
}

void VEXOUDPcommandCheck(VEXOchargeState* state)
{
    int fd = state->rxSocket;
    timeval tv{0, 0};
    if (filesWaitRead(IAR(&fd, 1), &tv) <= 0)
        return;
    // Datagrams that are no command (empty, short, an unknown number) or
    // come from outside the access list are read and dropped in the same poll, so a flood of them cannot hold a
    // real command back. Still one command a cycle at most, and no wait.
    for (int i = 0; i < VEXO_UDP_READS_PER_POLL; i++) {
        VEXOUDPcommand cmd;
        std::memset(&cmd, 0, sizeof cmd);
        sockaddr_in from;
        const ByteArrayRef got = netUDPrxFlags(fd, BAR(&cmd, sizeof cmd), &from, MSG_DONTWAIT);
        if (got.arr == nullptr)
            return; // the queue is empty, or the receive failed
        if (!VEXOallowed(&vexoField, &from)) {
            VEXOrefused(&from, time(nullptr));
            continue;
        }
        if (VEXOcommandWellFormed(cmd, got.len)) {
            commandRun(state, cmd, from);
            return;
        }
    }
}
