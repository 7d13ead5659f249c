// Absolute deadlines for the timed waits of pthreads.
#pragma once

#include <time.h>

#include <cstdint>

namespace plat {

inline timespec deadline_after(std::uint32_t timeout_ms, clockid_t clock) {
    timespec deadline{};
    clock_gettime(clock, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace plat
