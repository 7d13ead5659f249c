#include "JOVX_WDT_OperationThread.h"

#include <algorithm>

#include "JOVX_ErrorLogging.h"
#include "JOVX_IPMIAcc.h"
#include "JOVX_WDT_SettingsRead.h"
#include "plat/error.h"
#include "watchdog_clock.h"

std::atomic<std::uint8_t> g_fStopRequested{0};
std::atomic<std::uint8_t> g_fOperationThreadRunning{0};
std::atomic<std::uint8_t> g_fTimerDisabledAtStart{0};
std::atomic<std::int32_t> g_nSavedMinimumInterval{0};
std::atomic<std::int32_t> g_nSavedMaximumRetryTime{0};

namespace {

using namespace jovx;

constexpr char kSourceFileName[] = "JOVX_WDT_OperationThread";

// Set Watchdog Timer: SMS/OS timer, expiration logged, the timer stopped by the command;
// the SMS/OS expiration flag cleared.
constexpr std::uint8_t kTimerUseSmsOs = 0x04;
constexpr std::uint8_t kClearSmsOsFlag = 0x10;
constexpr std::uint16_t kSetResponseCapacity = 4;
constexpr std::uint16_t kResetResponseCapacity = 8;
constexpr std::uint32_t kMsPerSecond = 1000;

bool stop_requested() {
    return g_fStopRequested.load() != 0;
}

// Whole seconds between two tick counts; the unsigned difference survives a wrap.
std::int32_t seconds_between(std::uint32_t earlier, std::uint32_t later) {
    return static_cast<std::int32_t>((later - earlier) / kMsPerSecond);
}

// The settings one set-and-reset cycle works with.
struct CycleSettings {
    std::int32_t timeout = 0;
    std::int32_t interval_count = 0;
    std::int32_t shortening = 0;
    std::int32_t minimum = 0;
    std::int32_t retry = 0;
    bool watching = false;
};

CycleSettings copy_cycle_settings() {
    CycleSettings copy;
    const WDT_Settings* s = WDT_LockSettings();
    copy.timeout = s->TimeoutInterval;
    copy.interval_count = s->IntervalCount;
    copy.shortening = s->ShorteningCount;
    copy.minimum = s->MinimumInterval;
    copy.retry = s->RetryInterval;
    copy.watching = s->ErrorWatching != 0;
    g_nSavedMaximumRetryTime.store(s->MaximumRetryTime);
    WDT_UnlockSettings();
    g_nSavedMinimumInterval.store(copy.minimum);
    return copy;
}

std::uint32_t as_seconds(std::int32_t seconds) {
    return static_cast<std::uint32_t>(std::max<std::int32_t>(seconds, 0));
}

}  // namespace

WDT_ServiceEvents& WDT_Events() {
    // Never destroyed: the operation thread may still wait on them while the process exits.
    static WDT_ServiceEvents* const events = new WDT_ServiceEvents;
    return *events;
}

unsigned WDT_OperationThread() {
    static constexpr char kFunction[] = "WDT_OperationThread";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        if (WDT_Win_WatchdogInit() != 0) {
            WDT_LOG(msg::KTLOR_016_E, kFunction);
            WDT_EVENT(msg::KTLOR_110_I);
            g_fOperationThreadRunning.store(0);
            WDT_LOG(msg::KTLOR_012_K, kFunction);
            return 1;
        }
        const int watched = WDT_WatchdogSetReset();
        WDT_LOG(msg::KTLOR_084_I, kFunction, "WDT_WatchdogSetReset", watched);
        WDT_Win_ExitWatchdog();
        g_fOperationThreadRunning.store(0);
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return 0;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        g_fOperationThreadRunning.store(0);
        return 1;
    }
}

int WDT_Win_WatchdogInit() {
    static constexpr char kFunction[] = "WDT_Win_WatchdogInit";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        const int result = IpmiAccessOpen() == 0 ? 0 : 1;
        if (result != 0) {
            WDT_LOG(msg::KTLOR_018_E, kFunction);
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

int WDT_WatchdogSetReset() {
    static constexpr char kFunction[] = "WDT_WatchdogSetReset";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        WDT_ServiceEvents& events = WDT_Events();
        plat::Event* const wait_list[] = {&events.start_wdt, &events.bmc_stop, &events.notify_xml};
        int result = 0;
        bool done = false;
        while (!done) {
            if (stop_requested()) {
                break;
            }
            const int cycle = WDT_PerformSetReset();
            if (cycle == WDT_RESULT_WATCH_OFF) {
                break;
            }
            if (cycle != WDT_SLEEP_XML_UPDATED) {
                continue;  // a failed wait or an exception: start a new cycle
            }
            // A reload or a stop: the timer must not run while the settings change.
            WDT_StopBmcAtExit();
            if (stop_requested()) {
                WDT_LOG(msg::KTLOR_085_I, kFunction);
                result = 1;
                break;
            }
            for (bool paused = true; paused;) {
                if (stop_requested()) {
                    done = true;
                    break;
                }
                const plat::WaitAnyResult woke =
                    service_clock().wait_any(wait_list, 3, plat::kWaitForever);
                if (woke.result != plat::WaitResult::signalled) {
                    WDT_LOG(msg::KTLOR_088_E, kFunction);
                    result = 1;
                    done = true;
                } else if (woke.index == 0) {
                    WDT_LOG(msg::KTLOR_086_I, kFunction);
                    paused = false;
                } else if (woke.index == 1) {
                    WDT_LOG(msg::KTLOR_087_I, kFunction);
                    result = 1;
                    done = true;
                } else if (stop_requested()) {
                    WDT_LOG(msg::KTLOR_085_I, kFunction);
                    result = 1;
                    done = true;
                } else {
                    WDT_LOG(msg::KTLOR_089_I, kFunction);
                    continue;
                }
                break;
            }
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

int WDT_PerformSetReset() {
    static constexpr char kFunction[] = "WDT_PerformSetReset";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        const CycleSettings settings = copy_cycle_settings();
        const std::int32_t T = settings.timeout;
        const std::int32_t N = settings.interval_count > 0 ? T / settings.interval_count : T;
        const std::int32_t S = std::max<std::int32_t>(settings.shortening, 1);
        const std::int32_t M = settings.minimum;
        WatchdogClock& clock = service_clock();
        std::int32_t cur = N;
        std::int32_t accumulated = 0;
        bool started = false;
        bool unresponsive = false;
        int result = 0;

        // Sleeps one interval; true when the cycle goes on (the interval elapsed).
        const auto sleep = [&result](std::int32_t seconds) {
            result = WDT_SleepForFixedInterval(as_seconds(seconds));
            return result == WDT_SLEEP_ELAPSED;
        };
        const auto shortened = [&] { return std::max(cur / S, M); };

        for (;;) {
            if (stop_requested()) {
                break;
            }
            if (!settings.watching) {
                WDT_LOG(msg::KTLOR_111_I, kFunction);
                result = WDT_RESULT_WATCH_OFF;
                break;
            }
            const std::uint32_t t0 = clock.tick_ms();
            bool overdue = false;  // the accumulated time passed the countdown
            if (WDT_WatchdogSetOrStopBMC(WDT_MODE_ARM) == 0) {
                if (!started) {
                    WDT_EVENT(msg::KTLOR_063_I);
                }
                if (unresponsive) {
                    WDT_EVENT(msg::KTLOR_066_I);
                }
                started = true;
                unresponsive = false;
                cur = N;
                accumulated = 0;
                bool rearm = false;
                while (!rearm && !overdue) {
                    if (stop_requested()) {
                        break;
                    }
                    const std::uint32_t t1 = clock.tick_ms();
                    if (WDT_Win_WatchdogReset() == 0) {
                        accumulated = N;
                        if (!sleep(N)) {
                            WDT_LOG(msg::KTLOR_012_K, kFunction);
                            return result;
                        }
                        continue;
                    }
                    const std::uint32_t t2 = clock.tick_ms();
                    const std::int32_t s = shortened();
                    accumulated += seconds_between(t1, t2) + s;
                    if (accumulated > T) {
                        overdue = true;
                    } else if (!sleep(s)) {
                        WDT_LOG(msg::KTLOR_012_K, kFunction);
                        return result;
                    } else {
                        cur = s;
                        rearm = true;
                    }
                }
                if (!overdue) {
                    continue;  // re-arm, or back to the top to see the stop flag
                }
            } else {
                const std::uint32_t t3 = clock.tick_ms();
                if (unresponsive || !started) {
                    unresponsive = true;
                    if (!sleep(settings.retry)) {
                        break;
                    }
                    continue;
                }
                const std::int32_t s = shortened();
                accumulated += seconds_between(t0, t3) + s;
                if (accumulated <= T) {
                    if (!sleep(s)) {
                        break;
                    }
                    cur = s;
                    continue;
                }
            }
            // The countdown may have run out unnoticed: retry slowly from here on.
            WDT_EVENT(msg::KTLOR_065_E);
            if (!sleep(settings.retry)) {
                break;
            }
            unresponsive = true;
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return WDT_RESULT_EXCEPTION;
    }
}

int WDT_WatchdogSetOrStopBMC(int mode) {
    static constexpr char kFunction[] = "WDT_WatchdogSetOrStopBMC";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        std::uint8_t request[6] = {kTimerUseSmsOs, 0x00, 0x00, kClearSmsOsFlag, 0x00, 0x00};
        if (mode == WDT_MODE_ARM) {
            const WDT_Settings* s = WDT_LockSettings();
            const auto countdown = static_cast<std::uint32_t>(s->TimeoutInterval) * 10u;
            request[1] = static_cast<std::uint8_t>(s->TimeoutAction);
            request[4] = static_cast<std::uint8_t>(countdown & 0xFFu);
            request[5] = static_cast<std::uint8_t>((countdown >> 8) & 0xFFu);
            WDT_UnlockSettings();
        }
        for (int i = 0; i < 6; ++i) {
            WDT_LOG(msg::KTLOR_020_K, kFunction, i, static_cast<unsigned>(request[i]));
        }
        std::uint8_t response[kSetResponseCapacity] = {};
        std::uint16_t length = 1;
        const int result = WDT_Win_WatchdogExecute(ipmi::kCmdSetWatchdog, request, 6, response,
                                                   kSetResponseCapacity, &length);
        if (result != 0) {
            WDT_LOG(msg::KTLOR_108_E, kFunction);
        }
        for (std::uint16_t i = 0; i < length && i < kSetResponseCapacity; ++i) {
            WDT_LOG(msg::KTLOR_019_K, kFunction, static_cast<int>(i),
                    static_cast<unsigned>(response[i]));
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

int WDT_Win_WatchdogReset() {
    static constexpr char kFunction[] = "WDT_Win_WatchdogReset";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        std::uint8_t response[kResetResponseCapacity] = {};
        std::uint16_t length = 0;
        const int result = WDT_Win_WatchdogExecute(ipmi::kCmdResetWatchdog, nullptr, 0, response,
                                                   kResetResponseCapacity, &length);
        if (result != 0) {
            WDT_LOG(msg::KTLOR_108_E, kFunction);
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

int WDT_Win_WatchdogExecute(std::uint8_t command, const std::uint8_t* request,
                            std::uint16_t request_length, std::uint8_t* response,
                            std::uint16_t response_capacity, std::uint16_t* response_length) {
    static constexpr char kFunction[] = "WDT_Win_WatchdogExecute";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        const int result = IpmiAccessCall(command, request, request_length, response,
                                          response_capacity, response_length);
        WDT_LOG(msg::KTLOR_017_I, kFunction, result);
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

void WDT_StopBmcAtExit() {
    static constexpr char kFunction[] = "WDT_StopBmcAtExit";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        const std::int32_t minimum = g_nSavedMinimumInterval.load();
        const std::int32_t maximum = g_nSavedMaximumRetryTime.load();
        std::int32_t retries = minimum > 0 ? maximum / minimum : 0;
        std::int32_t pause = minimum;
        if (retries == 0) {
            retries = 1;
            pause = maximum;
        }
        if (stop_requested()) {
            // The service is going: a few quick tries, then let it go.
            retries = 3;
            pause = 1;
        }
        bool stopped = WDT_WatchdogSetOrStopBMC(WDT_MODE_STOP) == 0;
        for (; !stopped && retries > 0; --retries) {
            service_clock().sleep_ms(as_seconds(pause) * kMsPerSecond);
            stopped = WDT_WatchdogSetOrStopBMC(WDT_MODE_STOP) == 0;
        }
        const bool quiet = g_fTimerDisabledAtStart.load() != 0;
        if (stopped) {
            if (!quiet) {
                WDT_EVENT(msg::KTLOR_064_I);
            }
            WDT_LOG(msg::KTLOR_081_I, kFunction);
        } else {
            if (!quiet) {
                WDT_EVENT(msg::KTLOR_067_E);
            }
            WDT_LOG(msg::KTLOR_082_I, kFunction);
        }
        g_fTimerDisabledAtStart.store(0);
        WDT_LOG(msg::KTLOR_012_K, kFunction);
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
    }
}

void WDT_Win_ExitWatchdog() {
    static constexpr char kFunction[] = "WDT_Win_ExitWatchdog";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        IpmiAccessClose();
        WDT_LOG(msg::KTLOR_012_K, kFunction);
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
    }
}

int WDT_SleepForFixedInterval(std::uint32_t seconds) {
    static constexpr char kFunction[] = "WDT_SleepForFixedInterval";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        plat::Event* notify = &WDT_Events().notify_xml;
        const plat::WaitAnyResult woke =
            service_clock().wait_any(&notify, 1, seconds * kMsPerSecond);
        int result = WDT_SLEEP_ELAPSED;
        if (woke.result == plat::WaitResult::signalled) {
            WDT_LOG(msg::KTLOR_069_I, kFunction);
            result = WDT_SLEEP_XML_UPDATED;
        } else if (woke.result == plat::WaitResult::failed) {
            WDT_LOG(msg::KTLOR_021_E, kFunction, static_cast<int>(plat::last_error()));
            result = WDT_SLEEP_FAILED;
        } else {
            WDT_LOG(msg::KTLOR_022_I, kFunction);
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return WDT_RESULT_EXCEPTION;
    }
}
