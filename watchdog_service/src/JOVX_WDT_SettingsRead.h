// The service's settings record, its lock, and the check that falls back to the built-in
// defaults as a whole when any value is invalid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jovacfg.h"

struct QAC_Config;

// The settings store functions the service uses, as it finds them by name.
using QacConfigCreate = std::uint32_t (*)(const char* path, QAC_Config** handle);
using QacConfigDestroy = void (*)(QAC_Config* handle);
using QacConfigRead = std::uint32_t (*)(const char* path, QAC_Config* handle);
using QacDataGet = std::uint32_t (*)(QAC_Config* handle, const char* name, QAC_Data** values,
                                     std::uint32_t* count);
using QacDataDefaultGet = std::uint32_t (*)(QAC_Config* handle, const char* name, QAC_Data** value);

namespace jovx {

constexpr std::size_t kSettingsTextCapacity = 261;
constexpr std::size_t kMaxLogNameLength = 225;

// IPMI timer actions, as the enumeration words of TimeoutAction name them.
struct TimeoutActionWord {
    const char* word;
    std::int32_t value;
};
inline constexpr TimeoutActionWord kTimeoutActions[] = {
    {"NoAction", 0},   {"HardReset", 1}, {"PowerDown", 2},
    {"PowerCycle", 3}, {"NMI", 0x20},    {"SMI", 0x10},
};

// Accepted range and built-in default of each integer item.
struct IntegerRange {
    std::int32_t minimum;
    std::int32_t maximum;
    std::int32_t default_value;
};
inline constexpr IntegerRange kLogLevelRange{-1, 1000, 30};
inline constexpr IntegerRange kLogSizeRange{1, 2047, 8};
inline constexpr IntegerRange kLogPagesRange{1, 16, 10};
inline constexpr IntegerRange kTimeoutIntervalRange{60, 3600, 1200};
inline constexpr IntegerRange kIntervalCountRange{2, 10, 2};
inline constexpr IntegerRange kShorteningCountRange{1, 5, 2};
inline constexpr IntegerRange kMinimumIntervalRange{15, 360, 30};
inline constexpr IntegerRange kRetryIntervalRange{60, 3600, 1800};
inline constexpr IntegerRange kMaximumRetryTimeRange{1, 60, 15};
inline constexpr char kDefaultLogName[] = "jovxwdt";
inline constexpr bool kDefaultErrorWatching = false;
inline constexpr std::int32_t kDefaultTimeoutAction = 0x20;

}  // namespace jovx

struct WDT_Settings {
    std::int32_t TimeoutInterval = 0;
    std::int32_t IntervalCount = 0;
    std::int32_t ShorteningCount = 0;
    std::int32_t MinimumInterval = 0;
    std::int32_t RetryInterval = 0;
    std::int32_t TimeoutAction = 0;
    std::uint8_t ErrorWatching = 1;
    std::int32_t LogSize = 0;
    std::int32_t LogLevel = 0;
    std::int32_t LogPages = 0;
    char LogName[jovx::kSettingsTextCapacity] = {};
    char DefaultLogName[jovx::kSettingsTextCapacity] = {};
    std::int32_t MaximumRetryTime = 0;
};

// Takes the settings lock (recursive: one release per taking) and returns the one record.
WDT_Settings* WDT_LockSettings();
void WDT_UnlockSettings();

// Selectors of WDT_GetInstallPath.
constexpr int kInstallPathProvider = 0;  // "SOFTWARE\VARMOTH\KTL-PV"
constexpr int kInstallPathService = 1;   // "SOFTWARE\VARMOTH\KTL-OR"
constexpr std::size_t kPathBufferSize = 260;

// The install directory of the service (selector 1) or of the configuration provider
// (selector 0) into a 260-byte buffer: 0 stored, 1 failure.
int WDT_GetInstallPath(char* path, int selector);

// Fills the twelve items from the service's definition and value files through the
// settings store, loaded from the provider's lib directory for this read only:
// 0 all stored, 1 failure (items before the failing one may be stored).
int WDT_ReadSettings(WDT_Settings* settings);

// Stores one item: its value from the value file, or the definition's default when the file
// has none. An integer too wide for 32 bits is stored as the nearest 32-bit limit, which
// WDT_LogXMLvalues refuses. 0 stored or ignored, 1 failure.
int WDT_ApplySettingItem(WDT_Settings* settings, QAC_Config* handle, QacDataGet data_get,
                         QacDataDefaultGet default_get, const char* name);

// Logs every value, then checks them: 0 when all are valid, -1 when any is not and all
// were replaced by the built-in defaults. Either way TimeoutInterval is raised so that
// MinimumInterval fits into TimeoutInterval / IntervalCount.
int WDT_LogXMLvalues(WDT_Settings* settings);
