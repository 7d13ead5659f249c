// Bounded text, clocks and facts about the system, as the lines and headers of trace files
// show them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>

#include "plat/sysinfo.h"
#include "plat/text.h"
#include "plat/time.h"

namespace {

// format_cut takes a faster route for the conversions log messages use; whatever route it
// takes, the result must be the C library's, cut alike.
template <typename... Args>
void expect_like_the_c_library(const char* format, Args... args) {
    for (std::size_t capacity : {1u, 5u, 8u, 17u, 64u, 300u}) {
        char got[301];
        char want[301];
        std::memset(got, '#', sizeof got);
        plat::format_cut(got, capacity, format, args...);
        std::snprintf(want, capacity, format, args...);
        EXPECT_STREQ(got, want) << format << " capacity=" << capacity;
        EXPECT_EQ(got[capacity], '#') << "nothing beyond the capacity";
    }
}

// Bounded copies and formats never write past their buffer and always terminate.
TEST(BoundedText, CopiesFieldsCutsAndFormatsStayInsideTheirBounds) {
    char buffer[6];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(plat::copy_cut(buffer, 4, "abcdef"), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#') << "nothing beyond the given capacity";
    EXPECT_EQ(plat::copy_cut(buffer, sizeof buffer, nullptr), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(plat::copy_cut(buffer, 0, "x"), 0u);
    // A field is padded with blanks or cut, and never terminated.
    char field[8];
    std::memset(field, '#', sizeof field);
    plat::fill_field(field, 5, "ab");
    EXPECT_EQ(std::string(field, 8), "ab   ###");
    plat::fill_field(field, 5, "abcdefgh");
    EXPECT_EQ(std::string(field, 5), "abcde");
    plat::fill_field(field, 5, nullptr);
    EXPECT_EQ(std::string(field, 5), "     ");
    // A UTF-8 cut never splits a sequence.
    const char text[] = "ab\xC3\xA9\xE2\x82\xAC";  // a b é €
    const std::size_t length = sizeof text - 1;
    const std::pair<std::size_t, std::size_t> cuts[] = {{10, length}, {3, 2}, {4, 4}, {6, 4}};
    for (const auto& [max, expected] : cuts) {
        EXPECT_EQ(plat::utf8_safe_cut(text, length, max), expected) << max;
    }

    const int numbers[] = {0, 7, -7, 42, -2147483647 - 1, 2147483647, 65535, -100000};
    const char* texts[] = {"", "x", "WDT_OperationThread", nullptr};
    // Two texts first, then only int conversions: the argument list below fits them all.
    const char* formats[] = {
        "%s : Value of %s in the settings XML is %d.",  // the service's own shapes
        "[%s] [%s] [%04d] %d",
        "%s : pucBuff%s[%d]=%x.",
        "%s : %s ResponseData[%02d]=0x%02x.",
        "%s %3s %5d|%05d|%X|%u|%c|%%|%i|%8c",
        "%s %s %-5d",  // a "-" flag takes the C library's route
        "plain text without conversions",
    };
    for (int n : numbers) {
        for (const char* t : texts) {
            for (const char* format : formats) {
                expect_like_the_c_library(format, t, t, n, n, n, n, n, n, n);
            }
            const char* s = t != nullptr ? t : "";
            expect_like_the_c_library("%.3s %ld %lu %08X %3s", s, static_cast<long>(n),
                                      static_cast<unsigned long>(n), static_cast<unsigned>(n), s);
        }
    }
    char eight[8];
    EXPECT_EQ(plat::format_cut(eight, sizeof eight, "%08X %s", 0xABCu, "tail"), 7u)
        << "the characters written";
    EXPECT_STREQ(eight, "00000AB");
}

TEST(Clocks, AgreeWithTheCLibraryAndElapsedTime) {
    // File time counts tenths of microseconds from 1601.
    const auto unix_now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    EXPECT_NEAR(static_cast<double>(plat::file_time_now()),
                static_cast<double>((unix_now + 11644473600LL) * 10000000LL), 5.0 * 10000000.0);

    const plat::LocalTime t = plat::local_time_now();
    EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31) << t.month << t.day;
    EXPECT_TRUE(t.hour <= 23 && t.minute <= 59 && t.second <= 60 && t.millisecond <= 999);
    // Local time is at most 14 hours from UTC, so the year is this UTC year or a neighbour.
    const std::time_t now = std::time(nullptr);
    EXPECT_LE(std::abs(static_cast<int>(t.year) - (std::gmtime(&now)->tm_year + 1900)), 1);

    const auto bias = plat::time_zone_bias_minutes();
    EXPECT_TRUE(bias.has_value() && *bias >= -14 * 60 && *bias <= 12 * 60) << bias.value_or(0);

    const std::uint32_t start = plat::tick_count_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint32_t elapsed = plat::tick_count_ms() - start;  // wraps like the counter
    EXPECT_TRUE(elapsed >= 150 && elapsed < 5000) << elapsed;
}

TEST(SystemInfo, NamesAreCutToTheBuffer) {
    char full[256];
    ASSERT_TRUE(plat::computer_name(full, sizeof full));
    EXPECT_GT(std::strlen(full), 0u);
    char small[4];
    std::memset(small, '#', sizeof small);
    ASSERT_TRUE(plat::computer_name(small, sizeof small));
    EXPECT_EQ(std::string(small), std::string(full).substr(0, 3));

    char text[128];
    ASSERT_TRUE(plat::operating_system_text(text, sizeof text));
#if defined(_WIN32)
    const std::regex expected(R"(Microsoft WindowsNT\d+\.\d+\(Build:\d+\) .*)");
#else
    const std::regex expected(R"(\S+ \S+ \S+)");
#endif
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    char cut[8];
    ASSERT_TRUE(plat::operating_system_text(cut, sizeof cut));
    EXPECT_EQ(std::string(cut), std::string(text).substr(0, 7));
}

}  // namespace
