// Cause and function codes of the per-thread code word.
#pragma once

#include <cstdint>

namespace ktl {

enum Cause : std::uint32_t {
    kCauseNone = 0,
    kCauseInvalidArgument = 1,
    kCauseOpenFailed = 2,
    kCauseCloseFailed = 3,
    kCauseWriteFailed = 4,
    kCauseMappingCreateFailed = 6,
    kCauseMappingMapFailed = 7,
    kCauseDeleteFailed = 8,
    kCauseAllocFailed = 9,
    kCauseFreeFailed = 10,
    kCauseBadState = 11,
    kCauseFlushFailed = 12,
    kCauseSearchFailed = 13,
    kCauseSeekFailed = 14,
    kCauseNoRecord = 16,
    kCauseNotADirectory = 17,
    kCauseMappedAccess = 18,
    kCauseManagementSizeFailed = 20,
    kCauseMakeDirectoryFailed = 21,
    kCauseLockTimeout = 22,
    kCauseUnmapFailed = 23,
    kCauseNotSupported = 28,
    kCausePositionFromTraceFiles = 29,
    kCauseMutexCreateFailed = 30,
};

enum Function : std::uint32_t {
    kFnSetLogLevel = 2,
    kFnSetFileThreshold = 4,
    kFnInitialize = 6,
    kFnFinalize = 7,
    kFnPutLine = 8,
    kFnPutWithId = 9,
    kFnPutWithIdEx = 10,
    kFnFileBufferFlush = 11,
    kFnLogFileClear = 12,
    kFnTraceBackup = 14,
    kFnSetInstanceLogLevel = 15,
    kFnGetInstanceLogLevel = 16,
    kFnSetInstanceFileThreshold = 17,
    kFnCreateInstance = 19,
    kFnDeleteInstance = 20,
    kFnPutInstanceLine = 21,
    kFnPutInstanceWithId = 22,
    kFnPutInstanceWithIdEx = 23,
    kFnInstanceFileBufferFlush = 24,
    kFnInstanceTraceBackup = 25,
    kFnPutWithMsgType = 32,
    kFnPutInstanceWithMsgType = 33,
    kFnPutWithIdAndTidEx = 35,
    kFnPutWithMsgTypeAndTid = 36,
    kFnInitializeM = 39,
    kFnCreateInstanceM = 40,
    kFnGetLockWaitTime = 41,
    kFnSetLockWaitTime = 42,
    kFnGetLockRetryTimes = 43,
    kFnSetLockRetryTimes = 44,
    kFnGetInstanceLockWaitTime = 45,
    kFnSetInstanceLockWaitTime = 46,
    kFnGetInstanceLockRetryTimes = 47,
    kFnSetInstanceLockRetryTimes = 48,
    kFnTraceBackupM = 49,
    kFnInstanceTraceBackupM = 50,
};

constexpr std::uint32_t kCauseMask = 0x00FFFFFFu;

constexpr std::uint32_t code_word(Function function, std::uint32_t cause) {
    return (static_cast<std::uint32_t>(function) << 24) | (cause & kCauseMask);
}

// What a lower layer reports: a cause, and the OS error behind it where there is one.
struct Failure {
    std::uint32_t cause = kCauseNone;
    std::uint32_t os_error = 0;

    constexpr bool ok() const { return cause == kCauseNone; }
    static constexpr Failure none() { return {}; }
};

}  // namespace ktl
