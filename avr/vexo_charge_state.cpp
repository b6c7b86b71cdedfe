// The charging supervisor's state record and its sample statistics.
#include "lib/net.h"
#include "avr/vexo.h"
#include "avr/vexo_field.h"

void VEXOchargeState_Init(VEXOchargeState* state, std::int32_t targetI, std::int32_t on, std::int32_t off)
{
    state->targetI = targetI;
    state->masterI = targetI;
    state->time_on = on;
    state->timer = on;
    state->time_off = off;
    state->locked = 0;
    state->running = 1;
    state->logging = 0;
    state->lock_max = VEXO_PWM_PERIOD;
    state->lock_hi = static_cast<word>(state->lock_max + 1);
    state->lock_lo = 0;
    state->numSamples = 0;
    state->txSocket = -1;
    state->last_t = 0;
    VEXOleasesInit(&state->leases);
    // On all addresses unless --listen named one.
    state->rxSocket = netUDPbind(VEXO_UDP_PORT, vexoField.listen.s_addr);
}

float average(const float* arr, std::int32_t count)
{
    if (count <= 0)
        return 0.0f;
    float sum = 0.0f;
    for (int i = 0; i < count; i++)
        sum += arr[i];
    return sum / static_cast<float>(count);
}

float smoothAverage(const float* arr, std::int32_t count)
{
    if (count <= 0)
        return 0.0f;
    if (count == 1)
        return arr[0];
    if (count == 2)
        return (arr[0] + arr[1]) / 2.0f;
    float min = arr[0];
    float max = arr[0];
    int minI = 0;
    int maxI = 0;
    for (int j = 1; j < count; j++) {
        if (arr[j] < min) {
            min = arr[j];
            minI = j;
        }
        if (arr[j] > max) {
            max = arr[j];
            maxI = j;
        }
    }
    float sum = 0.0f;
    int n = 0;
    for (int j = 0; j < count; j++) {
        if (j == minI || j == maxI)
            continue;
        sum += arr[j];
        n++;
    }
    return sum / static_cast<float>(n);
}
