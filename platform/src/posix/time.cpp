#include "plat/time.h"

#include <time.h>

namespace plat {

namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifferenceSeconds = 11644473600LL;

}  // namespace

LocalTime local_time_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // The calendar conversion is the costly part and only changes with the second.
    thread_local time_t cached_second = -1;
    thread_local tm fields{};
    if (now.tv_sec != cached_second) {
        localtime_r(&now.tv_sec, &fields);
        cached_second = now.tv_sec;
    }
    LocalTime t;
    t.year = static_cast<std::uint16_t>(fields.tm_year + 1900);
    t.month = static_cast<std::uint16_t>(fields.tm_mon + 1);
    t.day = static_cast<std::uint16_t>(fields.tm_mday);
    t.hour = static_cast<std::uint16_t>(fields.tm_hour);
    t.minute = static_cast<std::uint16_t>(fields.tm_min);
    t.second = static_cast<std::uint16_t>(fields.tm_sec);
    t.millisecond = static_cast<std::uint16_t>(now.tv_nsec / 1000000);
    return t;
}

FileTime file_time_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<std::int64_t>(now.tv_sec) + kEpochDifferenceSeconds) * 10000000LL +
           now.tv_nsec / 100;
}

std::optional<std::int32_t> time_zone_bias_minutes() {
    tzset();
    // timezone: seconds west of UTC for standard time, which is the bias's own sign.
    return static_cast<std::int32_t>(timezone / 60);
}

std::uint32_t tick_count_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

}  // namespace plat
