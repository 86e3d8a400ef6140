#pragma once
// Seconds on the monotonic clock, for the flood programs' schedules and gaps.
#include <ctime>

inline double MonotonicSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}
