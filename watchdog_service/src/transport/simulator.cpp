#include "simulator.h"

#include <utility>

#include "JOVX_ErrorLogging.h"

namespace jovx::ipmi {

namespace {

constexpr char kSourceFileName[] = "JOVX_IPMIAcc";
constexpr char kLocation[] = "BMC simulator (built in)";

constexpr std::uint8_t kDontStopBit = 0x40;
constexpr std::uint8_t kTimerUseMask = 0x07;
constexpr std::uint8_t kRunningBit = 0x40;
// Bits a Set request must leave clear: timer use, timer actions, expiration flags clear.
constexpr std::uint8_t kUseReserved = 0x38;
constexpr std::uint8_t kActionsReserved = 0x88;
constexpr std::uint8_t kFlagsReserved = 0xC1;
constexpr std::uint32_t kMsPerCount = 100;

void answer(Response* response, std::initializer_list<std::uint8_t> bytes) {
    response->length = 0;
    for (std::uint8_t byte : bytes) {
        response->bytes[response->length++] = byte;
    }
}

}  // namespace

BmcSimulator::BmcSimulator(WatchdogClock& clock) : clock_(clock) {}

bool BmcSimulator::open(const char* caller) {
    std::lock_guard<std::mutex> lock(mutex_);
    Fault fault;
    if (take_fault_locked(true, 0, &fault)) {
        WDT_LOG(msg::KTLOR_093_E, caller, "BMC simulator open", 0u);
        return false;
    }
    open_ = true;
    ++opens_;
    WDT_LOG(msg::KTLOR_094_I, caller, "BMC simulator open");
    WDT_LOG(msg::KTLOR_027_I, caller, kLocation);
    return true;
}

void BmcSimulator::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    hang_released_.notify_all();
}

CallOutcome BmcSimulator::call(const char* caller, const Request& request, Response* response) {
    std::unique_lock<std::mutex> lock(mutex_);
    SimulatedCommand record;
    record.at_ms = clock_.tick_ms();
    record.command = request.command;
    record.request.assign(request.data, request.data + request.length);
    advance_locked(record.at_ms);

    Fault fault;
    const bool faulty = take_fault_locked(false, request.command, &fault);
    if (faulty && fault.delay_ms > 0) {
        lock.unlock();
        clock_.sleep_ms(fault.delay_ms);
        lock.lock();
    }
    if (faulty && fault.kind == FaultKind::hang) {
        hang_released_.wait(lock, [this] { return hang_release_pending_ || !open_; });
        hang_release_pending_ = false;
    }
    const std::uint32_t now = clock_.tick_ms();
    advance_locked(now);

    const bool answered = !(faulty && fault.kind == FaultKind::no_answer);
    if (answered) {
        execute_locked(request, now, response);
        if (faulty && fault.kind == FaultKind::completion_code) {
            answer(response, {fault.completion_code});
        } else if (faulty && fault.kind == FaultKind::empty_answer) {
            response->length = 0;
        } else if (faulty && fault.kind == FaultKind::oversized_answer) {
            while (response->length < fault.size && response->length < kMaxResponseBytes) {
                response->bytes[response->length++] = 0xA5;
            }
        }
        record.response.assign(response->bytes, response->bytes + response->length);
    } else {
        WDT_LOG(msg::KTLOR_093_E, caller, "BMC simulator request", 0u);
    }
    record.answered = answered;
    commands_.push_back(record);
    const SimulatedWatchdog state = watchdog_;
    auto observer = command_observer_;
    lock.unlock();
    if (observer) {
        observer(record, state);
    }
    return answered ? CallOutcome::answered : CallOutcome::failed;
}

void BmcSimulator::execute_locked(const Request& request, std::uint32_t now, Response* response) {
    const std::uint8_t* data = request.data;
    if (request.net_fn != kNetFnApp) {
        answer(response, {kCompletionInvalidCommand});
        return;
    }
    switch (request.command) {
        case kCmdSetWatchdog: {
            if (request.length != 6) {
                answer(response, {kCompletionBadLength});
                return;
            }
            const std::uint8_t use = data[0] & kTimerUseMask;
            const std::uint8_t action = data[1] & 0x07;
            const std::uint8_t interrupt = (data[1] >> 4) & 0x07;
            if (use == 0 || use > 5 || action > 3 || interrupt > 3 ||
                (data[0] & kUseReserved) != 0 || (data[1] & kActionsReserved) != 0 ||
                (data[3] & kFlagsReserved) != 0) {
                answer(response, {kCompletionBadField});
                return;
            }
            const bool keep_running = (data[0] & kDontStopBit) != 0 && watchdog_.running;
            watchdog_.timer_use = data[0] & static_cast<std::uint8_t>(~kDontStopBit);
            watchdog_.timer_actions = data[1];
            watchdog_.pretimeout_seconds = data[2];
            watchdog_.expiration_flags &= static_cast<std::uint8_t>(~data[3]);
            watchdog_.initial_countdown = static_cast<std::uint16_t>(data[4] | (data[5] << 8));
            watchdog_.present_countdown = watchdog_.initial_countdown;
            watchdog_.armed_once = true;
            watchdog_.running = keep_running;
            started_at_ = now;
            answer(response, {kCompletionOk});
            return;
        }
        case kCmdResetWatchdog:
            if (request.length != 0) {
                answer(response, {kCompletionBadLength});
            } else if (!watchdog_.armed_once) {
                answer(response, {kCompletionUninitialisedWatchdog});
            } else {
                watchdog_.running = true;
                watchdog_.present_countdown = watchdog_.initial_countdown;
                started_at_ = now;
                answer(response, {kCompletionOk});
                advance_locked(now);  // a countdown of 0 runs out at once
            }
            return;
        case kCmdGetWatchdog: {
            if (request.length != 0) {
                answer(response, {kCompletionBadLength});
                return;
            }
            const SimulatedWatchdog& w = watchdog_;
            answer(response,
                   {kCompletionOk,
                    static_cast<std::uint8_t>(w.timer_use | (w.running ? kRunningBit : 0)),
                    w.timer_actions, w.pretimeout_seconds, w.expiration_flags,
                    static_cast<std::uint8_t>(w.initial_countdown & 0xFF),
                    static_cast<std::uint8_t>(w.initial_countdown >> 8),
                    static_cast<std::uint8_t>(w.present_countdown & 0xFF),
                    static_cast<std::uint8_t>(w.present_countdown >> 8)});
            return;
        }
        default:
            answer(response, {kCompletionInvalidCommand});
            return;
    }
}

void BmcSimulator::advance_locked(std::uint32_t now) {
    if (!watchdog_.running) {
        return;
    }
    const std::uint32_t elapsed = now - started_at_;
    const std::uint32_t countdown_ms = std::uint32_t{watchdog_.initial_countdown} * kMsPerCount;
    if (elapsed < countdown_ms) {
        watchdog_.present_countdown =
            static_cast<std::uint16_t>(watchdog_.initial_countdown - elapsed / kMsPerCount);
        return;
    }
    watchdog_.running = false;
    watchdog_.present_countdown = 0;
    const std::uint8_t use = watchdog_.timer_use & kTimerUseMask;
    watchdog_.expiration_flags |= static_cast<std::uint8_t>(1u << use);
    const SimulatedExpiry expiry{started_at_ + countdown_ms, use,
                                 static_cast<std::uint8_t>(watchdog_.timer_actions & 0x07)};
    expiries_.push_back(expiry);
    if (expiry_observer_) {
        expiry_observer_(expiry);
    }
}

bool BmcSimulator::take_fault_locked(bool for_open, std::uint8_t command, Fault* fault) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if ((it->fault.kind == FaultKind::open_fails) != for_open ||
            (it->fault.command != 0 && it->fault.command != command)) {
            continue;
        }
        *fault = it->fault;
        if (--it->count <= 0) {
            faults_.erase(it);
        }
        return true;
    }
    return false;
}

void BmcSimulator::inject(const Fault& fault, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count > 0) {
        faults_.push_back({fault, count});
    }
}

void BmcSimulator::clear_faults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

void BmcSimulator::release_hang() {
    std::lock_guard<std::mutex> lock(mutex_);
    hang_release_pending_ = true;
    hang_released_.notify_all();
}

void BmcSimulator::on_command(
    std::function<void(const SimulatedCommand&, const SimulatedWatchdog&)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    command_observer_ = std::move(observer);
}

void BmcSimulator::on_expiry(std::function<void(const SimulatedExpiry&)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    expiry_observer_ = std::move(observer);
}

SimulatedWatchdog BmcSimulator::watchdog() {
    std::lock_guard<std::mutex> lock(mutex_);
    advance_locked(clock_.tick_ms());
    return watchdog_;
}

std::vector<SimulatedCommand> BmcSimulator::commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<SimulatedExpiry> BmcSimulator::expiries() {
    std::lock_guard<std::mutex> lock(mutex_);
    advance_locked(clock_.tick_ms());
    return expiries_;
}

int BmcSimulator::opens() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

bool BmcSimulator::is_open() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

}  // namespace jovx::ipmi
