// Bounded copies and formats never write past their buffer and always terminate.
#include <gtest/gtest.h>

#include <cstring>

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
