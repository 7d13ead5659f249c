// Wall-clock time, file times, the time-zone bias and a millisecond tick counter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace plat {

struct LocalTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;  // 1..12
    std::uint16_t day = 0;    // 1..31
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t millisecond = 0;
};

// File times count 100-nanosecond intervals since 1601-01-01 UTC on every platform.
using FileTime = std::int64_t;

LocalTime local_time_now();
FileTime file_time_now();

// Minutes to add to local time to get UTC (zones east of UTC are negative), without
// daylight saving; empty when the platform cannot tell.
std::optional<std::int32_t> time_zone_bias_minutes();

// Writes "yyyy/mm/dd hh:mm:ss" + millisecond_separator + "mmm" (23 characters, no terminator).
constexpr std::size_t kTimeStampLength = 23;
void write_time_stamp(char* out, const LocalTime& time, char millisecond_separator);

// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t tick_count_ms();

}  // namespace plat
