// A virtual clock for the watchdog's timing, and a recorder of the service's messages.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "JOVX_ErrorLogging.h"
#include "JOVX_WDT_SettingsRead.h"
#include "watchdog_clock.h"

namespace wdt_test {

// Time passes only when the code under test waits or sleeps: a wait jumps to the next
// scheduled action, or to its time-out when nothing comes first. Actions (set an event,
// request a stop, change the settings) run at their exact virtual time.
class VirtualClock final : public jovx::WatchdogClock {
  public:
    struct Pause {
        bool sleep;        // a plain sleep rather than a wait on events
        std::uint32_t ms;  // as asked (plat::kWaitForever for an unbounded wait)
    };

    explicit VirtualClock(std::uint32_t start_tick = 0) : start_tick_(start_tick) {}

    // Runs action once the virtual time reaches at_ms (ms since the start).
    void at(std::uint64_t at_ms, std::function<void()> action) {
        std::lock_guard<std::mutex> lock(mutex_);
        actions_.emplace(at_ms, std::move(action));
    }

    // The bounded waits (or sleeps) in seconds, in order: what the watchdog slept.
    std::vector<std::uint32_t> waited_seconds(bool sleeps = false) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::uint32_t> seconds;
        for (const Pause& pause : pauses_) {
            if (pause.sleep == sleeps && pause.ms != plat::kWaitForever) {
                seconds.push_back(pause.ms / 1000);
            }
        }
        return seconds;
    }

    std::uint32_t tick_ms() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::uint32_t>(start_tick_ + now_);
    }

    plat::WaitAnyResult wait_any(plat::Event* const* events, std::size_t count,
                                 std::uint32_t timeout_ms) override {
        const std::uint64_t deadline = record(false, timeout_ms);
        for (;;) {
            const plat::WaitAnyResult now = plat::wait_any(events, count, 0);
            if (now.result == plat::WaitResult::signalled) {
                return now;
            }
            if (run_next_action(deadline)) {
                continue;
            }
            if (timeout_ms != plat::kWaitForever) {
                std::lock_guard<std::mutex> lock(mutex_);
                now_ = deadline;
                return {plat::WaitResult::timed_out, 0};
            }
            // Nothing scheduled can end this wait: only another thread can.
            const plat::WaitAnyResult real = plat::wait_any(events, count, kRealWaitLimitMs);
            if (real.result == plat::WaitResult::timed_out) {
                ADD_FAILURE() << "an unbounded wait that nothing was scheduled to end";
                return {plat::WaitResult::failed, 0};
            }
            return real;
        }
    }

    void sleep_ms(std::uint32_t ms) override {
        const std::uint64_t deadline = record(true, ms);
        while (run_next_action(deadline)) {
        }
        std::lock_guard<std::mutex> lock(mutex_);
        now_ = std::max(now_, deadline);
    }

  private:
    static constexpr std::uint32_t kRealWaitLimitMs = 10000;

    std::uint64_t record(bool sleep, std::uint32_t ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        pauses_.push_back({sleep, ms});
        return ms == plat::kWaitForever ? UINT64_MAX : now_ + ms;
    }

    // Runs the earliest action due by the deadline; false when there is none.
    bool run_next_action(std::uint64_t deadline) {
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto next = actions_.begin();
            if (next == actions_.end() || next->first > deadline) {
                return false;
            }
            now_ = std::max(now_, next->first);
            action = std::move(next->second);
            actions_.erase(next);
        }
        action();
        return true;
    }

    std::mutex mutex_;
    std::uint32_t start_tick_;
    std::uint64_t now_ = 0;
    std::multimap<std::uint64_t, std::function<void()>> actions_;
    std::vector<Pause> pauses_;
};

// All settings items in declaration order.
inline std::string fields(const WDT_Settings& s) {
    std::ostringstream out;
    out << s.TimeoutInterval << ' ' << s.IntervalCount << ' ' << s.ShorteningCount << ' '
        << s.MinimumInterval << ' ' << s.RetryInterval << ' ' << s.TimeoutAction << ' '
        << int{s.ErrorWatching} << ' ' << s.LogSize << ' ' << s.LogLevel << ' ' << s.LogPages << ' '
        << s.LogName << ' ' << s.DefaultLogName << ' ' << s.MaximumRetryTime;
    return out.str();
}

// Every message the service writes, as the log tap sees it.
struct LoggedMessage {
    std::uint32_t kind;  // 1 trace, 2 event log
    std::string id;
    std::string text;
};

class MessageRecorder {
  public:
    MessageRecorder() {
        clear();
        WDTLogSetTap(&MessageRecorder::tap);
    }
    ~MessageRecorder() { WDTLogSetTap(nullptr); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    static void clear() {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().messages.clear();
    }
    static std::vector<LoggedMessage> messages() {
        std::lock_guard<std::mutex> lock(state().mutex);
        return state().messages;
    }
    static int count(const std::string& id) { return static_cast<int>(texts(id).size()); }
    // The event log messages' ids, in order.
    static std::vector<std::string> events() {
        std::vector<std::string> ids;
        for (const LoggedMessage& m : messages()) {
            if (m.kind == 2) {
                ids.push_back(m.id);
            }
        }
        return ids;
    }
    // Texts of the messages with that id.
    static std::vector<std::string> texts(const std::string& id) {
        std::vector<std::string> found;
        for (const LoggedMessage& m : messages()) {
            if (m.id == id) {
                found.push_back(m.text);
            }
        }
        return found;
    }

  private:
    struct State {
        std::mutex mutex;
        std::vector<LoggedMessage> messages;
    };
    static State& state() {
        static State* const s = new State;
        return *s;
    }
    static void tap(std::uint32_t kind, std::int32_t, const char* id, const char* text) {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().messages.push_back({kind, id, text});
    }
};

}  // namespace wdt_test
