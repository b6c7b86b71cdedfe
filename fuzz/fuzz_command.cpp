// The UDP command handling fed arbitrary datagrams against a state record:
// no field is read from bytes that did not arrive (the sanitizers watch),
// phase lengths never go negative, and at most one telemetry socket is open.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "avr/vexo.h"

static int sv[2] = {-1, -1};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (sv[0] < 0 && socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv) != 0)
        abort();
    VEXOchargeState state;
    std::memset(&state, 0, sizeof state);
    state.targetI = state.masterI = 200000;
    state.time_on = state.time_off = state.timer = 60;
    state.locked = 1;
    state.running = 1;
    state.lock_max = 500;
    state.lock_hi = 300;
    state.lock_lo = 299;
    state.txSocket = -1;
    state.rxSocket = sv[0];
    if (send(sv[1], data, size > 64 ? 64 : size, 0) < 0)
        return 0;
    VEXOUDPcommandCheck(&state);
    if (state.time_on < 0 || state.time_off < 0 || state.lock_hi > 501 || !state.running)
        abort();
    if (state.txSocket >= 0)
        close(state.txSocket);
    // Nothing may stay queued: one datagram, one call.
    char drain[128];
    if (recv(sv[0], drain, sizeof drain, MSG_DONTWAIT) >= 0)
        abort();
    return 0;
}
