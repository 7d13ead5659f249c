// The put path's shortcuts against the plain composition: the thread's cached date and time,
// the digit pairs, and the id columns copied whole.
#include <gtest/gtest.h>

#include <string>

#include "trace_line.h"

namespace {

using ktl::BodyForm;
using ktl::LineFields;
using ktl::StampCache;

plat::LocalTime at(int year, int month, int day, int hour, int minute, int second, int ms) {
    plat::LocalTime t;
    t.year = static_cast<std::uint16_t>(year);
    t.month = static_cast<std::uint16_t>(month);
    t.day = static_cast<std::uint16_t>(day);
    t.hour = static_cast<std::uint16_t>(hour);
    t.minute = static_cast<std::uint16_t>(minute);
    t.second = static_cast<std::uint16_t>(second);
    t.millisecond = static_cast<std::uint16_t>(ms);
    return t;
}

LineFields own_fields() {
    LineFields f;
    f.form = BodyForm::text_only;
    f.program_id = "PROG            ";
    f.stored_program_id = true;
    f.process_id_text = "0000ABCD ";
    f.thread_id = "00001234 ";
    f.own_thread_id = true;
    f.text = "x";
    return f;
}

std::string compose(const LineFields& f, std::uint32_t sequence, const plat::LocalTime& time,
                    StampCache* stamps) {
    char buffer[ktl::kMaxLineLength + 1];
    const std::size_t n = ktl::compose_line(buffer, f, sequence, time, stamps);
    return {buffer, n};
}

// Columns 5 to 28 of a line.
std::string stamp_of(const std::string& line) {
    return line.substr(5, ktl::kTimeStampLength);
}

// One thread's lines in order: each stamp must be that line's own time, whichever field
// changed since the line before (the cache keyed on less than the whole second would keep
// an old minute, day or year).
TEST(PutPath, CachedTimeStampFollowsEveryFieldOfTheClock) {
    struct Step {
        plat::LocalTime time;
        bool masked;
        const char* stamp;
    };
    const Step steps[] = {
        {at(2024, 2, 28, 23, 59, 58, 0), false, "2024/02/28 23:59:58.000"},
        {at(2024, 2, 28, 23, 59, 58, 999), false, "2024/02/28 23:59:58.999"},  // same second
        {at(2024, 2, 28, 23, 59, 59, 7), false, "2024/02/28 23:59:59.007"},    // next second
        {at(2024, 2, 29, 0, 0, 0, 42), false, "2024/02/29 00:00:00.042"},      // midnight
        {at(2024, 2, 29, 0, 1, 0, 42), false, "2024/02/29 00:01:00.042"},      // minute only
        {at(2024, 2, 29, 1, 1, 0, 42), false, "2024/02/29 01:01:00.042"},      // hour only (zone)
        {at(2024, 3, 29, 1, 1, 0, 42), false, "2024/03/29 01:01:00.042"},      // month only
        {at(2025, 3, 29, 1, 1, 0, 42), false, "2025/03/29 01:01:00.042"},      // year only
        {at(2025, 3, 29, 1, 1, 0, 43), true, "****/**/** **:**:**.***"},
        {at(2025, 3, 29, 1, 1, 0, 44), false, "2025/03/29 01:01:00.044"},  // after a masked one
        {at(2025, 3, 28, 1, 1, 0, 44), false, "2025/03/28 01:01:00.044"},  // clock set back
    };
    StampCache stamps{};
    for (const Step& step : steps) {
        LineFields f = own_fields();
        f.masked_time = step.masked;
        const std::string line = compose(f, 1, step.time, &stamps);
        EXPECT_EQ(stamp_of(line), step.stamp);
        // A thread's first line, made without any cache, is the same.
        StampCache fresh{};
        EXPECT_EQ(line, compose(f, 1, step.time, &fresh));
    }
}

// Sequence and millisecond digits at their ends; a value too wide keeps its lowest digits.
TEST(PutPath, NumbersKeepTheirWidthAndLowestDigits) {
    const struct {
        std::uint32_t sequence;
        int millisecond;
        const char* front;
    } cases[] = {
        {0, 0, "0000 2024/01/02 03:04:05.000"},        {9, 9, "0009 2024/01/02 03:04:05.009"},
        {10, 10, "0010 2024/01/02 03:04:05.010"},      {99, 99, "0099 2024/01/02 03:04:05.099"},
        {100, 100, "0100 2024/01/02 03:04:05.100"},    {9999, 999, "9999 2024/01/02 03:04:05.999"},
        {12345, 1234, "2345 2024/01/02 03:04:05.234"},
    };
    for (const auto& c : cases) {
        StampCache stamps{};
        const std::string line =
            compose(own_fields(), c.sequence, at(2024, 1, 2, 3, 4, 5, c.millisecond), &stamps);
        EXPECT_EQ(line.substr(0, 28), c.front) << c.sequence;
    }
}

// The library's own ids are copied whole; a caller's text is cut and padded the same way
// into the same columns.
TEST(PutPath, OwnAndGivenIdsFillTheSameColumns) {
    const plat::LocalTime now = at(2024, 1, 2, 3, 4, 5, 6);
    StampCache stamps{};
    const std::string own = compose(own_fields(), 7, now, &stamps);
    EXPECT_EQ(own, "0007 2024/01/02 03:04:05.006     PROG             0000ABCD 00001234 x\r\n");

    LineFields given = own_fields();
    given.stored_program_id = false;
    given.program_id = "PROG";
    given.own_thread_id = false;
    given.thread_id = "00001234";
    EXPECT_EQ(compose(given, 7, now, &stamps), own);

    const struct {
        const char* program_id;
        const char* thread_id;
        const char* columns;  // from the program id to the body
    } cases[] = {
        {nullptr, nullptr, "                 0000ABCD          "},
        {"", "", "                 0000ABCD          "},
        {"A-PROGRAM-ID-LONGER", "123456789", "A-PROGRAM-ID-LON 0000ABCD 12345678 "},
        {"SIXTEEN-CHARS-ID", "T", "SIXTEEN-CHARS-ID 0000ABCD T        "},
    };
    for (const auto& c : cases) {
        given.program_id = c.program_id;
        given.thread_id = c.thread_id;
        EXPECT_EQ(compose(given, 7, now, &stamps).substr(33, 35), c.columns);
    }
}

}  // namespace
