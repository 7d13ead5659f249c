// A clock that runs a whole number of times faster than the system's, for tests of the
// program that would otherwise wait minutes: the service's waits, the simulator's countdown
// and the window's timers all run on it.
#pragma once

#include <cstdint>

#include "plat/window.h"
#include "watchdog_clock.h"

namespace jovx {

class FastClock final : public WatchdogClock, public plat::MessageClock {
  public:
    explicit FastClock(std::uint32_t factor);

    std::uint32_t tick_ms() override;
    plat::WaitAnyResult wait_any(plat::Event* const* events, std::size_t count,
                                 std::uint32_t timeout_ms) override;
    void sleep_ms(std::uint32_t ms) override;
    std::uint32_t real_wait_ms(std::uint32_t ms) override;

  private:
    std::uint32_t factor_;
    std::uint32_t start_;
};

}  // namespace jovx
