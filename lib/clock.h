// The one clock that every program of the tree measures intervals with:
// milliseconds of the monotonic clock, which setting the wall clock never moves.
#pragma once

#include <ctime>

inline long long clockNowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
