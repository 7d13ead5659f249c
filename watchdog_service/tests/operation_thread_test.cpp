// The watchdog algorithm against the built-in BMC on a virtual clock: the commands sent, the
// intervals slept and the messages written, over hours of watchdog time.
#include <gtest/gtest.h>

#include <vector>

#include "JOVX_IPMIAcc.h"
#include "JOVX_WDT_OperationThread.h"
#include "JOVX_WDT_SettingsRead.h"
#include "transport/simulator.h"
#include "watchdog_test_support.h"

namespace {

using jovx::ipmi::Fault;
using jovx::ipmi::FaultKind;
using Seconds = std::vector<std::uint32_t>;
using Ids = std::vector<std::string>;

constexpr std::uint8_t kSet = 0x24;
constexpr std::uint8_t kReset = 0x22;
constexpr std::uint64_t kS = 1000;  // virtual milliseconds per second

struct Timing {
    std::int32_t timeout = 1200;
    std::int32_t interval_count = 2;
    std::int32_t shortening = 2;
    std::int32_t minimum = 30;
    std::int32_t retry = 1800;
    std::int32_t max_retry = 15;
    bool watching = true;
    std::int32_t action = 1;
};

void drain(plat::Event& event) {
    while (event.wait(0) == plat::WaitResult::signalled) {
    }
}

class OperationThread : public ::testing::Test {
  protected:
    explicit OperationThread(std::uint32_t start_tick = 0) : clock_(start_tick) {}

    void SetUp() override {
        jovx::set_service_clock(&clock_);
        jovx::IpmiAccessSetTransport(&bmc_);
        g_fStopRequested = 0;
        g_fOperationThreadRunning = 0;
        g_fTimerDisabledAtStart = 0;
        WDT_ServiceEvents& events = WDT_Events();
        drain(events.notify_xml);
        drain(events.start_wdt);
        drain(events.bmc_stop);
        configure(Timing{});
    }
    void TearDown() override {
        IpmiAccessClose();
        jovx::IpmiAccessSetTransport(nullptr);
        jovx::set_service_clock(nullptr);
        g_fStopRequested = 0;
    }

    static void configure(const Timing& t) {
        WDT_Settings* s = WDT_LockSettings();
        s->TimeoutInterval = t.timeout;
        s->IntervalCount = t.interval_count;
        s->ShorteningCount = t.shortening;
        s->MinimumInterval = t.minimum;
        s->RetryInterval = t.retry;
        s->MaximumRetryTime = t.max_retry;
        s->ErrorWatching = t.watching ? 1 : 0;
        s->TimeoutAction = t.action;
        WDT_UnlockSettings();
    }

    // What the service's control handler does on a stop, at that virtual second.
    void stop_at(std::uint64_t second) {
        clock_.at(second * kS, [] {
            g_fStopRequested = 1;
            WDT_Events().notify_xml.set();
        });
    }
    void signal_at(std::uint64_t second, plat::Event& event) {
        clock_.at(second * kS, [&event] { event.set(); });
    }
    void fail_at(std::uint64_t second, Fault fault, int count) {
        clock_.at(second * kS, [this, fault, count] { bmc_.inject(fault, count); });
    }

    unsigned run() {
        g_fOperationThreadRunning = 1;
        const unsigned result = WDT_OperationThread();
        EXPECT_EQ(g_fOperationThreadRunning.load(), 0);
        EXPECT_FALSE(bmc_.is_open()) << "the connection is closed when the thread ends";
        return result;
    }

    std::vector<std::vector<std::uint8_t>> requests(std::uint8_t command) {
        std::vector<std::vector<std::uint8_t>> found;
        for (const auto& c : bmc_.commands()) {
            if (c.command == command) {
                found.push_back(c.request);
            }
        }
        return found;
    }

    wdt_test::VirtualClock clock_;
    jovx::ipmi::BmcSimulator bmc_{clock_};
    wdt_test::MessageRecorder log_;
};

const std::vector<std::uint8_t> kStopRequest = {0x04, 0x00, 0x00, 0x10, 0x00, 0x00};

TEST_F(OperationThread, HealthyWatchResetsOnScheduleAndStopsTheTimerOnServiceStop) {
    configure({.timeout = 60, .interval_count = 10, .minimum = 15});
    stop_at(3600);
    EXPECT_EQ(run(), 0u);

    // Armed with hard reset and 600 units of 100 ms, then reset every 6 s for an hour.
    const auto sets = requests(kSet);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets.front(), (std::vector<std::uint8_t>{0x04, 0x01, 0x00, 0x10, 0x58, 0x02}));
    EXPECT_EQ(sets.back(), kStopRequest);
    EXPECT_EQ(requests(kReset).size(), 600u);
    EXPECT_EQ(clock_.waited_seconds(), Seconds(600, 6));
    EXPECT_TRUE(bmc_.expiries().empty());
    EXPECT_FALSE(bmc_.watchdog().running);
    EXPECT_EQ(wdt_test::MessageRecorder::events(), (Ids{"KTLOR-063-I", "KTLOR-064-I"}));
    EXPECT_EQ(wdt_test::MessageRecorder::count("KTLOR-085-I"), 1);
    EXPECT_EQ(wdt_test::MessageRecorder::count("KTLOR-015-E"), 0);
}

TEST_F(OperationThread, FailedCommandsShortenTheIntervalThenRetrySlowlyUntilTheHardwareAnswers) {
    // Resets every 600 s; from 1800 s on nothing reaches the BMC for seven commands.
    fail_at(1700, {FaultKind::no_answer}, 7);
    stop_at(7000);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(clock_.waited_seconds(),
              (Seconds{600, 600, 600, 300, 150, 75, 37, 30, 1800, 1800, 600, 600}));
    EXPECT_EQ(wdt_test::MessageRecorder::events(),
              (Ids{"KTLOR-063-I", "KTLOR-065-E", "KTLOR-066-I", "KTLOR-064-I"}));
    EXPECT_EQ(wdt_test::MessageRecorder::count("KTLOR-108-E"), 7);
}

TEST_F(OperationThread, FirstSetFailingRetriesEveryRetryIntervalWithoutDeclaringNoResponse) {
    bmc_.inject({FaultKind::completion_code, 0xC0, 0, 0, kSet}, 2);
    stop_at(3700);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(clock_.waited_seconds(), (Seconds{1800, 1800, 600}));
    EXPECT_EQ(wdt_test::MessageRecorder::events(),
              (Ids{"KTLOR-063-I", "KTLOR-066-I", "KTLOR-064-I"}));
}

struct ShorteningCase {
    const char* name;
    Timing timing;
    Fault first;  // from the start
    int first_count;
    std::uint64_t later_at;  // virtual second
    Fault later;
    int later_count;
    std::uint64_t stop_at;
    Seconds waits;
    Ids events;
};

class Shortening : public OperationThread, public ::testing::WithParamInterface<ShorteningCase> {
  protected:
    // Starts one second before the millisecond tick wraps.
    Shortening() : OperationThread(0xFFFFFFFFu - 999u) {}
};

TEST_P(Shortening, AccumulatesCallTimeAndIntervalsUntilTheCountdownIsPassed) {
    const ShorteningCase& c = GetParam();
    configure(c.timing);
    bmc_.inject(c.first, c.first_count);
    fail_at(c.later_at, c.later, c.later_count);
    stop_at(c.stop_at);
    run();
    EXPECT_EQ(clock_.waited_seconds(), c.waits);
    EXPECT_EQ(wdt_test::MessageRecorder::events(), c.events);
}

// Positional, so that a case takes a few lines.
ShorteningCase shortening(const char* name, Timing timing, Fault first, int first_count,
                          std::uint64_t later_at, Fault later, int later_count,
                          std::uint64_t stop_at, Seconds waits, Ids events) {
    return {name, timing, first, first_count, later_at, later, later_count, stop_at, waits, events};
}

const Timing kQuick{
    .timeout = 60, .interval_count = 2, .shortening = 1, .minimum = 15, .retry = 60};
const Ids kRecovered = {"KTLOR-063-I", "KTLOR-065-E", "KTLOR-066-I", "KTLOR-064-I"};

INSTANTIATE_TEST_SUITE_P(
    Cases, Shortening,
    ::testing::Values(
        // A reset that fails right after the Set, taking 5 s: 5 + 300 <= 1200, so one
        // shortened sleep and a successful re-arm back to the normal interval.
        shortening("ResetFailsRightAfterSet", {}, {FaultKind::no_answer, 0, 5000, 0, kReset}, 1, 0,
                   {}, 0, 1000, {300, 600, 600}, {"KTLOR-063-I", "KTLOR-064-I"}),
        // Divisor 1 never shortens; only the accumulated time (60 <= 60, then 90 > 60) ends it.
        shortening("DivisorOneKeepsTheInterval", kQuick, {}, 0, 10, {FaultKind::no_answer}, 2, 130,
                   {30, 30, 60, 30}, kRecovered),
        // A failed Set that brings the accumulated time exactly to the countdown (90) still
        // shortens; the next one passes it.
        shortening(
            "SetFailureReachingTheCountdown",
            {.timeout = 90, .interval_count = 3, .shortening = 1, .minimum = 15, .retry = 60}, {},
            0, 10, {FaultKind::no_answer}, 3, 160, {30, 30, 30, 60, 30}, kRecovered),
        // The tick wraps during a 2 s failed reset: it counts as 2 s, and the hardware is
        // still declared unresponsive after the right number of shortened attempts.
        shortening(
            "TickWrapDuringAFailedCall",
            {.timeout = 60, .interval_count = 2, .shortening = 2, .minimum = 15, .retry = 60},
            {FaultKind::no_answer, 0, 2000, 0, kReset}, 1, 1, {FaultKind::no_answer, 0, 0, 0, kSet},
            100, 200, {15, 15, 15, 60, 60, 60}, {"KTLOR-063-I", "KTLOR-065-E", "KTLOR-067-E"})),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OperationThread, ReloadStopsTheTimerWaitsAndRearmsOrEndsAsTheWindowDecides) {
    WDT_ServiceEvents& events = WDT_Events();
    signal_at(100, events.notify_xml);  // a reload during a reset interval
    signal_at(150, events.notify_xml);  // another notice while paused is only noted
    clock_.at(200 * kS, [&events] {
        configure({.timeout = 600, .action = 2});
        events.start_wdt.set();
    });
    signal_at(1000, events.notify_xml);
    signal_at(1100, events.bmc_stop);
    EXPECT_EQ(run(), 0u);

    const auto sets = requests(kSet);
    ASSERT_EQ(sets.size(), 4u);
    EXPECT_EQ(sets[0], (std::vector<std::uint8_t>{0x04, 0x01, 0x00, 0x10, 0xE0, 0x2E}));
    EXPECT_EQ(sets[1], kStopRequest);
    EXPECT_EQ(sets[2], (std::vector<std::uint8_t>{0x04, 0x02, 0x00, 0x10, 0x70, 0x17}));
    EXPECT_EQ(sets[3], kStopRequest);
    EXPECT_FALSE(bmc_.watchdog().running);
    EXPECT_EQ(wdt_test::MessageRecorder::events(),
              (Ids{"KTLOR-063-I", "KTLOR-064-I", "KTLOR-063-I", "KTLOR-064-I"}));
    for (const char* id : {"KTLOR-069-I", "KTLOR-089-I", "KTLOR-086-I", "KTLOR-087-I"}) {
        EXPECT_GE(wdt_test::MessageRecorder::count(id), 1) << id;
    }
    EXPECT_EQ(wdt_test::MessageRecorder::texts("KTLOR-084-I").size(), 1u);
    EXPECT_NE(wdt_test::MessageRecorder::texts("KTLOR-084-I")[0].find(
                  "The function WDT_WatchdogSetReset has returned a value 1."),
              std::string::npos);
}

TEST_F(OperationThread, ServiceStopTriesToStopTheTimerFourTimesOneSecondApart) {
    fail_at(10, {FaultKind::no_answer, 0, 0, 0, kSet}, 100);
    stop_at(100);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(requests(kSet).size(), 5u);  // the arming Set and four stop attempts
    EXPECT_EQ(clock_.waited_seconds(true), (Seconds{1, 1, 1}));
    EXPECT_EQ(wdt_test::MessageRecorder::events(), (Ids{"KTLOR-063-I", "KTLOR-067-E"}));
    EXPECT_EQ(wdt_test::MessageRecorder::count("KTLOR-082-I"), 1);
    EXPECT_EQ(wdt_test::MessageRecorder::count("KTLOR-085-I"), 1);
}

TEST_F(OperationThread, ServiceStopWhilePausedEndsWithoutStoppingTheTimerAgain) {
    signal_at(100, WDT_Events().notify_xml);
    stop_at(200);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(requests(kSet).size(), 2u);
    EXPECT_EQ(wdt_test::MessageRecorder::count("KTLOR-085-I"), 1);
}

TEST_F(OperationThread, WatchingOffSendsNothingAndEndsTheThread) {
    configure({.watching = false});
    EXPECT_EQ(run(), 0u);
    EXPECT_TRUE(bmc_.commands().empty());
    EXPECT_EQ(wdt_test::MessageRecorder::count("KTLOR-111-I"), 1);
    EXPECT_EQ(bmc_.opens(), 1);
}

TEST_F(OperationThread, TimerDisabledAtStartSilencesOnlyTheNextStopsEventLines) {
    g_fTimerDisabledAtStart = 1;
    signal_at(100, WDT_Events().notify_xml);
    signal_at(200, WDT_Events().start_wdt);
    stop_at(300);
    EXPECT_EQ(run(), 0u);
    // The reload's stop is silent in the event log; the service stop's is not.
    EXPECT_EQ(wdt_test::MessageRecorder::events(),
              (Ids{"KTLOR-063-I", "KTLOR-063-I", "KTLOR-064-I"}));
    EXPECT_EQ(wdt_test::MessageRecorder::count("KTLOR-081-I"), 2);
    EXPECT_EQ(g_fTimerDisabledAtStart.load(), 0);
}

TEST_F(OperationThread, ConnectionThatCannotBeOpenedEndsTheThreadWithTimerNotStarted) {
    bmc_.inject({FaultKind::open_fails}, 1);
    EXPECT_EQ(run(), 1u);
    EXPECT_TRUE(bmc_.commands().empty());
    EXPECT_EQ(wdt_test::MessageRecorder::events(), (Ids{"KTLOR-110-I"}));
    EXPECT_EQ(wdt_test::MessageRecorder::count("KTLOR-016-E"), 1);
}

TEST_F(OperationThread, StopRetriesFollowTheSavedRetryTimeAndMinimumInterval) {
    struct Case {
        std::int32_t max_retry, minimum;
        Seconds pauses;
    };
    for (const Case& c : {Case{15, 30, {15}}, Case{60, 15, {15, 15, 15, 15}},
                          Case{30, 15, {15, 15}}, Case{1, 360, {1}}}) {
        wdt_test::VirtualClock clock;
        jovx::ipmi::BmcSimulator bmc(clock);
        jovx::set_service_clock(&clock);
        jovx::IpmiAccessSetTransport(&bmc);
        bmc.inject({FaultKind::no_answer}, 100);
        g_nSavedMaximumRetryTime = c.max_retry;
        g_nSavedMinimumInterval = c.minimum;
        WDT_StopBmcAtExit();
        IpmiAccessClose();
        EXPECT_EQ(clock.waited_seconds(true), c.pauses) << c.max_retry << "/" << c.minimum;
        EXPECT_EQ(bmc.commands().size(), c.pauses.size() + 1);
    }
    jovx::IpmiAccessSetTransport(&bmc_);
    jovx::set_service_clock(&clock_);
}

}  // namespace
