// The settings check: all-or-nothing defaults and the TimeoutInterval adjustment.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "JOVX_WDT_SettingsRead.h"
#include "plat/thread.h"

namespace {

using namespace jovx;

WDT_Settings valid_settings() {
    WDT_Settings s;
    s.TimeoutInterval = 600;
    s.IntervalCount = 3;
    s.ShorteningCount = 4;
    s.MinimumInterval = 60;
    s.RetryInterval = 900;
    s.TimeoutAction = 1;
    s.ErrorWatching = 1;
    s.LogSize = 2;
    s.LogLevel = -1;
    s.LogPages = 16;
    std::string(225, 'n').copy(s.LogName, 225);
    std::string("definition-default").copy(s.DefaultLogName, 18);
    s.MaximumRetryTime = 60;
    return s;
}

void expect_defaults(const WDT_Settings& s) {
    EXPECT_EQ(s.TimeoutInterval, 1200);
    EXPECT_EQ(s.IntervalCount, 2);
    EXPECT_EQ(s.ShorteningCount, 2);
    EXPECT_EQ(s.MinimumInterval, 30);
    EXPECT_EQ(s.RetryInterval, 1800);
    EXPECT_EQ(s.TimeoutAction, 0x20);
    EXPECT_EQ(s.ErrorWatching, 0);
    EXPECT_EQ(s.LogSize, 8);
    EXPECT_EQ(s.LogLevel, 30);
    EXPECT_EQ(s.LogPages, 10);
    EXPECT_STREQ(s.LogName, "jovxwdt");
    EXPECT_STREQ(s.DefaultLogName, "definition-default") << "the definition's default stays";
    EXPECT_EQ(s.MaximumRetryTime, 15);
}

TEST(SettingsCheck, ValidValuesAtTheirLimitsAreKept) {
    WDT_Settings s = valid_settings();
    EXPECT_EQ(WDT_LogXMLvalues(&s), 0);
    EXPECT_EQ(s.LogLevel, -1);
    EXPECT_EQ(std::string(s.LogName).size(), 225u);
    EXPECT_EQ(s.TimeoutInterval, 600);
    EXPECT_EQ(s.MaximumRetryTime, 60);
}

TEST(SettingsCheck, AnyInvalidValueReplacesEveryValue) {
    const auto spoil = {
        +[](WDT_Settings& s) { s.IntervalCount = 11; },
        +[](WDT_Settings& s) { s.TimeoutInterval = 59; },
        +[](WDT_Settings& s) { s.LogLevel = -2; },
        +[](WDT_Settings& s) { s.LogPages = 17; },
        +[](WDT_Settings& s) { s.ErrorWatching = 2; },
        +[](WDT_Settings& s) { s.TimeoutAction = 4; },
        +[](WDT_Settings& s) { std::string(226, 'x').copy(s.LogName, 226); },
    };
    for (auto make_invalid : spoil) {
        WDT_Settings s = valid_settings();
        make_invalid(s);
        EXPECT_EQ(WDT_LogXMLvalues(&s), -1);
        expect_defaults(s);
    }
}

TEST(SettingsCheck, TimeoutIntervalIsRaisedToFitTheMinimumInterval) {
    WDT_Settings s = valid_settings();
    s.TimeoutInterval = 60;
    s.IntervalCount = 4;
    s.MinimumInterval = 30;
    EXPECT_EQ(WDT_LogXMLvalues(&s), 0);
    EXPECT_EQ(s.TimeoutInterval, 120);

    s.MinimumInterval = 360;
    s.IntervalCount = 10;
    s.TimeoutInterval = 3600;
    EXPECT_EQ(WDT_LogXMLvalues(&s), 0);
    EXPECT_EQ(s.TimeoutInterval, 3600) << "360 fits exactly into 3600 / 10";
}

TEST(SettingsLock, RecursiveForItsOwnerAndExclusiveForOthers) {
    WDT_Settings* first = WDT_LockSettings();
    WDT_Settings* again = WDT_LockSettings();
    EXPECT_EQ(first, again);
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
