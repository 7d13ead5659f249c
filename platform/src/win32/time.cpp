#include "plat/time.h"

#include <windows.h>

namespace plat {

namespace {

std::int64_t to_int64(const FILETIME& t) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                     t.dwLowDateTime);
}

}  // namespace

// System time as a file time, then local file time, then calendar fields: the local time
// follows the zone's rules for the current moment.
LocalTime local_time_now() {
    FILETIME utc{};
    GetSystemTimeAsFileTime(&utc);
    FILETIME local{};
    SYSTEMTIME fields{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &fields)) {
        GetLocalTime(&fields);
    }
    LocalTime t;
    t.year = fields.wYear;
    t.month = fields.wMonth;
    t.day = fields.wDay;
    t.hour = fields.wHour;
    t.minute = fields.wMinute;
    t.second = fields.wSecond;
    t.millisecond = fields.wMilliseconds;
    return t;
}

FileTime file_time_now() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return to_int64(now);
}

std::optional<std::int32_t> time_zone_bias_minutes() {
    TIME_ZONE_INFORMATION zone{};
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(zone.Bias);
}

std::uint32_t tick_count_ms() {
    return GetTickCount();
}

}  // namespace plat
