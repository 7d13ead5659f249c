// Bounded copies and formats never write past their buffer and always terminate.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "plat/text.h"

namespace {

TEST(BoundedText, CopyCutsAndTerminates) {
    char buffer[6];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(plat::copy_cut(buffer, 4, "abcdef"), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#') << "nothing beyond the given capacity";
    EXPECT_EQ(plat::copy_cut(buffer, sizeof buffer, nullptr), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(plat::copy_cut(buffer, 0, "x"), 0u);
}

TEST(BoundedText, FieldIsCutOrPaddedWithoutTerminator) {
    char field[8];
    std::memset(field, '#', sizeof field);
    plat::fill_field(field, 5, "ab");
    EXPECT_EQ(std::string(field, 8), "ab   ###");
    plat::fill_field(field, 5, "abcdefgh");
    EXPECT_EQ(std::string(field, 5), "abcde");
    plat::fill_field(field, 5, nullptr);
    EXPECT_EQ(std::string(field, 5), "     ");
}

TEST(BoundedText, FormatCutsAndReportsWhatFits) {
    char buffer[8];
    EXPECT_EQ(plat::format_cut(buffer, sizeof buffer, "%08X %s", 0xABCu, "tail"), 7u);
    EXPECT_STREQ(buffer, "00000AB");
}

TEST(BoundedText, Utf8CutNeverSplitsASequence) {
    const char text[] = "ab\xC3\xA9\xE2\x82\xAC";  // a b é €
    const std::size_t length = sizeof text - 1;
    EXPECT_EQ(plat::utf8_safe_cut(text, length, 10), length);
    EXPECT_EQ(plat::utf8_safe_cut(text, length, 3), 2u);
    EXPECT_EQ(plat::utf8_safe_cut(text, length, 4), 4u);
    EXPECT_EQ(plat::utf8_safe_cut(text, length, 6), 4u);
}

}  // namespace

namespace {

// format_cut takes a faster route for the conversions log messages use; whatever route it
// takes, the result must be the C library's, cut alike.
std::string reference(std::size_t capacity, const char* format, ...) {
    std::string out(capacity, '\0');
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(out.data(), capacity, format, args);
    va_end(args);
    return out.c_str();
}

TEST(BoundedText, FormatMatchesTheCLibraryWhateverTheRoute) {
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
        "%.3s %ld %lu %08X %3s",
        "plain text without conversions",
    };
    for (const char* format : formats) {
        for (int n : numbers) {
            for (const char* t : texts) {
                for (std::size_t capacity : {1u, 5u, 17u, 64u, 300u}) {
                    char got[301];
                    std::memset(got, '#', sizeof got);
                    if (std::strstr(format, "%.3s") != nullptr) {
                        const char* s = t != nullptr ? t : "";
                        plat::format_cut(got, capacity, format, s, static_cast<long>(n),
                                         static_cast<unsigned long>(n), static_cast<unsigned>(n),
                                         s);
                        EXPECT_EQ(got, reference(capacity, format, s, static_cast<long>(n),
                                                 static_cast<unsigned long>(n),
                                                 static_cast<unsigned>(n), s));
                    } else {
                        plat::format_cut(got, capacity, format, t, t, n, n, n, n, n, n, n);
                        EXPECT_EQ(got, reference(capacity, format, t, t, n, n, n, n, n, n, n))
                            << format << " n=" << n << " capacity=" << capacity;
                    }
                    EXPECT_EQ(got[capacity], '#') << "nothing beyond the capacity";
                }
            }
        }
    }
}

}  // namespace
