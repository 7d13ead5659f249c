// Records, process-wide state and result codes of the event log writer.
#pragma once

#include <cstdint>

#include "ktlorsym_syslog.h"
#include "plat/error.h"
#include "plat/sync.h"

// One log output. The default output is a static record; further ones are zero-filled heap
// allocations.
struct SysLogInstance {
    char magic[5];  // "ZUNO" and its terminator while valid; "DEAD" once deleted
    char ident[17];
    std::int32_t option;
    std::int32_t facility;
    std::int32_t log_mask;
    char source_name[65];
    const char* tid_format;
    std::int32_t tid_mode;  // 1: the plain put adds message id and thread id
    char tid_prefix[8];
    char tid_suffix[8];
};

namespace ktl::syslog {

constexpr std::uint32_t kResultOk = 0;
constexpr std::uint32_t kResultBadArgument = 1;
// What the plain functions report for kResultBadArgument.
constexpr int kInvalidParameterError = 87;

enum Step : std::uint32_t {
    kStepAllocate = 101,
    kStepOpenLog = 102,
    kStepSourceNotRegistered = 103,
    kStepReport = 104,
};

constexpr std::uint32_t kLowMask = 0x00FFFFFFu;

constexpr std::uint32_t tagged(Step step, plat::ErrorCode error) {
    return (static_cast<std::uint32_t>(step) << 24) | (error & kLowMask);
}

// An internal result as the plain functions return it.
constexpr int plain_result(std::uint32_t result) {
    if (result == kResultOk) {
        return 0;
    }
    if (result == kResultBadArgument) {
        return kInvalidParameterError;
    }
    const std::uint32_t error = result & kLowMask;
    return error != 0 ? static_cast<int>(error) : -1;
}

constexpr std::size_t kMaxIdent = 16;
constexpr std::size_t kMaxSourceName = 64;
constexpr std::size_t kMaxAffix = 7;
constexpr std::int32_t kDefaultOption = 3;
constexpr std::int32_t kDefaultFacility = 8;
constexpr std::int32_t kDefaultMask = 127;
constexpr const char* kDefaultSourceName = "KTLOR Trace";

// Everything the critical section guards besides the instances themselves.
struct LibraryState {
    plat::RecursiveMutex lock;
    std::uint32_t last_source_status = 13;
    bool source_usable = false;
    const SysLogInstance* validated_instance = nullptr;
    bool validated = false;
};

LibraryState& library();

}  // namespace ktl::syslog
