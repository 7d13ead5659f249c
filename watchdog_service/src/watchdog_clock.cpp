#include "watchdog_clock.h"

#include <atomic>

#include "plat/thread.h"
#include "plat/time.h"

namespace jovx {

namespace {

class SystemClock final : public WatchdogClock {
  public:
    std::uint32_t tick_ms() override { return plat::tick_count_ms(); }
    plat::WaitAnyResult wait_any(plat::Event* const* events, std::size_t count,
                                 std::uint32_t timeout_ms) override {
        return plat::wait_any(events, count, timeout_ms);
    }
    void sleep_ms(std::uint32_t ms) override { plat::sleep_ms(ms); }
};

std::atomic<WatchdogClock*> g_installed{nullptr};

}  // namespace

WatchdogClock& system_clock() {
    // Never destroyed: a service thread may still use it while the process exits.
    static SystemClock* const clock = new SystemClock;
    return *clock;
}

WatchdogClock& service_clock() {
    WatchdogClock* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : system_clock();
}

void set_service_clock(WatchdogClock* clock) {
    g_installed.store(clock, std::memory_order_release);
}

}  // namespace jovx
