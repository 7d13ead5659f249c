// The service's clock: the millisecond tick, waits on events with a time-out, and plain
// sleeps. Everything that times the watchdog goes through it, so that tests can run hours
// of watchdog behaviour exactly and in milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plat/sync.h"

namespace jovx {

class WatchdogClock {
  public:
    virtual ~WatchdogClock() = default;

    // Milliseconds since an arbitrary start, wrapping at 2^32.
    virtual std::uint32_t tick_ms() = 0;
    // Waits until one of the events is set or the time runs out (plat::kWaitForever: never).
    virtual plat::WaitAnyResult wait_any(plat::Event* const* events, std::size_t count,
                                         std::uint32_t timeout_ms) = 0;
    // A sleep that no event cuts short.
    virtual void sleep_ms(std::uint32_t ms) = 0;
};

// The monotonic clock of the system: setting the wall clock changes none of its times.
WatchdogClock& system_clock();

// The clock the service runs on: the system clock unless another one was installed.
WatchdogClock& service_clock();
// Installs a clock for the whole service (nullptr: the system clock again). Only while no
// service thread is running.
void set_service_clock(WatchdogClock* clock);

}  // namespace jovx
