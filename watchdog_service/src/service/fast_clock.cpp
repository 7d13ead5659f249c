#include "service/fast_clock.h"

#include "plat/thread.h"
#include "plat/time.h"

namespace jovx {

FastClock::FastClock(std::uint32_t factor)
    : factor_(factor == 0 ? 1 : factor), start_(plat::tick_count_ms()) {}

std::uint32_t FastClock::tick_ms() {
    return (plat::tick_count_ms() - start_) * factor_;
}

std::uint32_t FastClock::real_wait_ms(std::uint32_t ms) {
    // Rounded up, so that a wait never ends before its time on this clock.
    return ms / factor_ + (ms % factor_ != 0 ? 1 : 0);
}

plat::WaitAnyResult FastClock::wait_any(plat::Event* const* events, std::size_t count,
                                        std::uint32_t timeout_ms) {
    return plat::wait_any(events, count,
                          timeout_ms == plat::kWaitForever ? timeout_ms : real_wait_ms(timeout_ms));
}

void FastClock::sleep_ms(std::uint32_t ms) {
    plat::sleep_ms(real_wait_ms(ms));
}

}  // namespace jovx
