// The settings check: all-or-nothing defaults and the TimeoutInterval adjustment.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "JOVX_WDT_SettingsRead.h"
#include "plat/thread.h"
#include "watchdog_test_support.h"

namespace {

using namespace jovx;
using wdt_test::fields;

// Every value valid, most of them at a limit of their range; in declaration order.
WDT_Settings valid_settings() {
    WDT_Settings s{600, 3, 4, 60, 900, 1, 1, 2, -1, 16, {}, "definition-default", 60};
    std::string(225, 'n').copy(s.LogName, 225);
    return s;
}

TEST(SettingsCheck, ValidValuesAreKeptAndAnyInvalidOneReplacesEveryValue) {
    WDT_Settings s = valid_settings();
    EXPECT_EQ(WDT_LogXMLvalues(&s), 0);
    EXPECT_EQ(fields(s),
              "600 3 4 60 900 1 1 2 -1 16 " + std::string(225, 'n') + " definition-default 60");

    void (*const spoilers[])(WDT_Settings&) = {
        [](WDT_Settings& s) { s.IntervalCount = 11; },
        [](WDT_Settings& s) { s.TimeoutInterval = 59; },
        [](WDT_Settings& s) { s.LogLevel = -2; },
        [](WDT_Settings& s) { s.LogPages = 17; },
        [](WDT_Settings& s) { s.ErrorWatching = 2; },
        [](WDT_Settings& s) { s.TimeoutAction = 4; },
        [](WDT_Settings& s) { std::string(226, 'x').copy(s.LogName, 226); },
    };
    for (const auto& spoil : spoilers) {
        s = valid_settings();
        spoil(s);
        EXPECT_EQ(WDT_LogXMLvalues(&s), -1);
        // The definition's default name stays.
        EXPECT_EQ(fields(s), "1200 2 2 30 1800 32 0 8 30 10 jovxwdt definition-default 15");
    }
}

TEST(SettingsCheck, TimeoutIntervalIsRaisedToFitTheMinimumInterval) {
    const struct {
        int timeout, count, minimum, expected;
    } cases[] = {{60, 4, 30, 120}, {3600, 10, 360, 3600}, {600, 3, 201, 603}};
    for (const auto& c : cases) {
        WDT_Settings s = valid_settings();
        s.TimeoutInterval = c.timeout;
        s.IntervalCount = c.count;
        s.MinimumInterval = c.minimum;
        EXPECT_EQ(WDT_LogXMLvalues(&s), 0);
        EXPECT_EQ(s.TimeoutInterval, c.expected) << c.timeout << " / " << c.count;
    }
}

TEST(SettingsLock, RecursiveForItsOwnerAndExclusiveForOthers) {
    WDT_Settings* first = WDT_LockSettings();
    EXPECT_EQ(WDT_LockSettings(), first);
    std::atomic<bool> other_has_it{false};
    plat::Thread other;
    ASSERT_TRUE(other.start([&] {
        WDT_LockSettings();
        other_has_it = true;
        WDT_UnlockSettings();
    }));
    WDT_UnlockSettings();
    EXPECT_EQ(other.join(50), plat::WaitResult::timed_out);
    EXPECT_FALSE(other_has_it);
    WDT_UnlockSettings();
    EXPECT_EQ(other.join(5000), plat::WaitResult::signalled);
    EXPECT_TRUE(other_has_it);
}

}  // namespace
