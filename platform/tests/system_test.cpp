// Clocks and facts about the system, as the headers of trace files show them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>

#include "plat/sysinfo.h"
#include "plat/time.h"

namespace {

TEST(Clocks, FileTimeCountsFrom1601InTenthsOfMicroseconds) {
    const auto unix_now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const std::int64_t expected = (unix_now + 11644473600LL) * 10000000LL;
    EXPECT_NEAR(static_cast<double>(plat::file_time_now()), static_cast<double>(expected),
                5.0 * 10000000.0);
}

TEST(Clocks, LocalTimeIsACalendarDateNearTheFileTime) {
    const plat::LocalTime t = plat::local_time_now();
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_GE(t.day, 1);
    EXPECT_LE(t.day, 31);
    EXPECT_LE(t.hour, 23);
    EXPECT_LE(t.minute, 59);
    EXPECT_LE(t.second, 60);
    EXPECT_LE(t.millisecond, 999);
    // Local time is at most 14 hours from UTC, so the year is this UTC year or a neighbour.
    const std::time_t now = std::time(nullptr);
    const int utc_year = std::gmtime(&now)->tm_year + 1900;
    EXPECT_LE(std::abs(static_cast<int>(t.year) - utc_year), 1);
}

TEST(Clocks, TimeZoneBiasIsWithinTheWorldsZones) {
    const auto bias = plat::time_zone_bias_minutes();
    ASSERT_TRUE(bias.has_value());
    EXPECT_GE(*bias, -14 * 60);
    EXPECT_LE(*bias, 12 * 60);
}

TEST(Clocks, TickCountFollowsElapsedTime) {
    const std::uint32_t start = plat::tick_count_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint32_t elapsed = plat::tick_count_ms() - start;  // wraps like the counter
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(SystemInfo, ComputerNameIsCutToTheBuffer) {
    char full[256];
    ASSERT_TRUE(plat::computer_name(full, sizeof full));
    EXPECT_GT(std::strlen(full), 0u);
    char small[4];
    std::memset(small, '#', sizeof small);
    ASSERT_TRUE(plat::computer_name(small, sizeof small));
    EXPECT_EQ(std::string(small), std::string(full).substr(0, 3));
}

TEST(SystemInfo, OperatingSystemTextNamesThePlatform) {
    char text[128];
    ASSERT_TRUE(plat::operating_system_text(text, sizeof text));
#if defined(_WIN32)
    EXPECT_TRUE(
        std::regex_match(text, std::regex(R"(Microsoft WindowsNT\d+\.\d+\(Build:\d+\) .*)")))
        << text;
#else
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\S+ \S+ \S+)"))) << text;
#endif
    char cut[8];
    ASSERT_TRUE(plat::operating_system_text(cut, sizeof cut));
    EXPECT_EQ(std::string(cut), std::string(text).substr(0, 7));
}

TEST(SystemInfo, DefaultLanguageIsAWindowsLanguageId) {
    const std::uint16_t id = plat::default_language_id();
    EXPECT_NE(id & 0x3FF, 0) << "a primary language is set";
}

}  // namespace
