#include "JOVX_WDT_SettingsRead.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "JOVX_ErrorLogging.h"
#include "jovacfg.h"
#include "plat/dl.h"
#include "plat/file.h"
#include "plat/registry.h"
#include "plat/sync.h"
#include "plat/text.h"

namespace {

using namespace jovx;

constexpr char kSourceFileName[] = "JOVX_WDT_SettingsRead";

plat::RecursiveMutex g_settings_lock;
WDT_Settings g_settings;

bool within(std::int32_t value, const IntegerRange& range) {
    return value >= range.minimum && value <= range.maximum;
}

// Values too wide for 32 bits are stored as a 32-bit limit (fit_to_32_bits), which must
// stay outside every range.
constexpr bool limits_outside_every_range() {
    for (const IntegerRange& range :
         {kLogLevelRange, kLogSizeRange, kLogPagesRange, kTimeoutIntervalRange, kIntervalCountRange,
          kShorteningCountRange, kMinimumIntervalRange, kRetryIntervalRange,
          kMaximumRetryTimeRange}) {
        if (range.minimum == INT32_MIN || range.maximum == INT32_MAX) {
            return false;
        }
    }
    return true;
}
static_assert(limits_outside_every_range());

bool known_timeout_action(std::int32_t value) {
    for (const TimeoutActionWord& action : kTimeoutActions) {
        if (action.value == value) {
            return true;
        }
    }
    return false;
}

bool all_valid(const WDT_Settings& s) {
    return (s.ErrorWatching == 0 || s.ErrorWatching == 1) &&
           known_timeout_action(s.TimeoutAction) &&
           within(s.TimeoutInterval, kTimeoutIntervalRange) &&
           within(s.IntervalCount, kIntervalCountRange) &&
           within(s.ShorteningCount, kShorteningCountRange) &&
           within(s.MinimumInterval, kMinimumIntervalRange) &&
           within(s.RetryInterval, kRetryIntervalRange) && within(s.LogLevel, kLogLevelRange) &&
           within(s.LogSize, kLogSizeRange) && within(s.LogPages, kLogPagesRange) &&
           within(s.MaximumRetryTime, kMaximumRetryTimeRange) &&
           plat::bounded_length(s.LogName, sizeof s.LogName) <= kMaxLogNameLength;
}

// Every item takes its built-in default; the definition file's default name stays.
void apply_defaults(WDT_Settings* s) {
    s->TimeoutInterval = kTimeoutIntervalRange.default_value;
    s->IntervalCount = kIntervalCountRange.default_value;
    s->ShorteningCount = kShorteningCountRange.default_value;
    s->MinimumInterval = kMinimumIntervalRange.default_value;
    s->RetryInterval = kRetryIntervalRange.default_value;
    s->TimeoutAction = kDefaultTimeoutAction;
    s->ErrorWatching = kDefaultErrorWatching ? 1 : 0;
    s->LogSize = kLogSizeRange.default_value;
    s->LogLevel = kLogLevelRange.default_value;
    s->LogPages = kLogPagesRange.default_value;
    plat::copy_cut(s->LogName, sizeof s->LogName, kDefaultLogName);
    s->MaximumRetryTime = kMaximumRetryTimeRange.default_value;
}

}  // namespace

WDT_Settings* WDT_LockSettings() {
    g_settings_lock.lock();
    return &g_settings;
}

void WDT_UnlockSettings() {
    g_settings_lock.unlock();
}

int WDT_LogXMLvalues(WDT_Settings* settings) {
    static constexpr char kFunction[] = "WDT_LogXMLvalues";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        WDT_Settings& s = *settings;
        const struct {
            const char* name;
            std::int32_t value;
        } numbers[] = {
            {"TimeoutInterval", s.TimeoutInterval},
            {"IntervalCount", s.IntervalCount},
            {"ShorteningCount", s.ShorteningCount},
            {"MinimumInterval", s.MinimumInterval},
            {"RetryInterval", s.RetryInterval},
            {"LogLevel", s.LogLevel},
            {"LogSize", s.LogSize},
            {"LogPages", s.LogPages},
            {"MaximumRetryTime", s.MaximumRetryTime},
        };
        for (const auto& number : numbers) {
            WDT_LOG(msg::KTLOR_052_K, kFunction, number.name, number.value);
        }
        WDT_LOG(msg::KTLOR_053_K, kFunction, "LogName", s.LogName);
        WDT_LOG(msg::KTLOR_052_K, kFunction, "ErrorWatching", static_cast<int>(s.ErrorWatching));
        WDT_LOG(msg::KTLOR_052_K, kFunction, "TimeoutAction", s.TimeoutAction);

        int result = 0;
        if (!all_valid(s)) {
            WDT_LOG(msg::KTLOR_118_W, kFunction);
            WDT_EVENT(msg::KTLOR_119_W);
            apply_defaults(&s);
            result = -1;
        }
        if (s.MinimumInterval > s.TimeoutInterval / s.IntervalCount) {
            s.TimeoutInterval = s.MinimumInterval * s.IntervalCount;
            WDT_LOG(msg::KTLOR_112_K, kFunction, "TimeoutInterval", s.TimeoutInterval);
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return -1;
    }
}

// ---- Reading the settings files --------------------------------------------------------

namespace {

constexpr const char* kProductKeys[] = {"SOFTWARE\\VARMOTH\\KTL-PV", "SOFTWARE\\VARMOTH\\KTL-OR"};

// The items in the order they are read.
constexpr const char* kItemNames[] = {
    "LogLevel",        "LogSize",         "LogPages",        "LogName",
    "ErrorWatching",   "TimeoutAction",   "TimeoutInterval", "IntervalCount",
    "ShorteningCount", "MinimumInterval", "RetryInterval",   "MaximumRetryTime",
};

// "<directory>/<sub>/<name>" (with the platform's separator), cut to 259 characters.
void join_path(char* out, const char* directory, const char* sub, const char* name) {
    plat::format_cut(out, kPathBufferSize, "%s%c%s%c%s", directory, plat::kPathSeparator, sub,
                     plat::kPathSeparator, name);
}

// A subkey name read as a signed decimal number: leading blanks skipped, digits up to the
// first other character, none reading as 0.
long leading_number(const char* name) {
    while (*name == ' ' || *name == '\t') {
        ++name;
    }
    bool negative = false;
    if (*name == '+' || *name == '-') {
        negative = *name == '-';
        ++name;
    }
    long value = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        value = value < 100000000L ? value * 10 + (*name - '0') : value;
    }
    return negative ? -value : value;
}

// The type and payload at the head of every value record.
const QAC_Default& head_of(const QAC_Data* data) {
    return *reinterpret_cast<const QAC_Default*>(data);
}

// The low 32 bits alone would let 4294967356 pass as 60. A value outside the 32-bit range
// becomes the nearest 32-bit limit instead, which no item accepts, so the check fails it.
std::int32_t fit_to_32_bits(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

std::int32_t* integer_field(WDT_Settings* s, const char* name) {
    const struct {
        const char* name;
        std::int32_t WDT_Settings::*field;
    } fields[] = {
        {"TimeoutInterval", &WDT_Settings::TimeoutInterval},
        {"IntervalCount", &WDT_Settings::IntervalCount},
        {"ShorteningCount", &WDT_Settings::ShorteningCount},
        {"MinimumInterval", &WDT_Settings::MinimumInterval},
        {"RetryInterval", &WDT_Settings::RetryInterval},
        {"LogLevel", &WDT_Settings::LogLevel},
        {"LogSize", &WDT_Settings::LogSize},
        {"LogPages", &WDT_Settings::LogPages},
        {"MaximumRetryTime", &WDT_Settings::MaximumRetryTime},
    };
    for (const auto& f : fields) {
        if (std::strcmp(f.name, name) == 0) {
            return &(s->*f.field);
        }
    }
    return nullptr;
}

}  // namespace

int WDT_GetInstallPath(char* path, int selector) {
    static constexpr char kFunction[] = "WDT_GetInstallPath";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        int result = 1;
        const char* key_path = kProductKeys[selector == kInstallPathService ? 1 : 0];
        plat::RegistryKey product;
        std::uint32_t subkeys = 0;
        if (path != nullptr && product.open(plat::RegistryRoot::local_machine, key_path).ok() &&
            product.subkey_count(&subkeys).ok()) {
            char chosen[kPathBufferSize] = {};
            for (std::uint32_t index = 0; index < subkeys; ++index) {
                char name[kPathBufferSize];
                if (!product.subkey_name(index, name, sizeof name).ok()) {
                    break;
                }
                if (leading_number(name) > 0) {
                    plat::copy_cut(chosen, sizeof chosen, name);
                    break;
                }
            }
            product.close();
            char location_path[kPathBufferSize];
            plat::format_cut(location_path, sizeof location_path, "%s\\%s\\%s", key_path, chosen,
                             "PathName");
            plat::RegistryKey location;
            if (chosen[0] != '\0' &&
                location.open(plat::RegistryRoot::local_machine, location_path).ok() &&
                location.query_string("Path00", path, kPathBufferSize).ok()) {
                result = 0;
            }
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

int WDT_ApplySettingItem(WDT_Settings* settings, QAC_Config* handle, QacDataGet data_get,
                         QacDataDefaultGet default_get, const char* name) {
    if (settings == nullptr || handle == nullptr || data_get == nullptr || default_get == nullptr ||
        name == nullptr) {
        return 1;
    }
    QAC_Data* values[1] = {nullptr};
    std::uint32_t count = 1;
    const QAC_Data* data = nullptr;
    if (data_get(handle, name, values, &count) == 0 && count >= 1) {
        data = values[0];
    } else {
        QAC_Data* fallback = nullptr;
        if (default_get(handle, name, &fallback) != 0 || fallback == nullptr) {
            return 1;
        }
        data = fallback;
    }
    const QAC_Default& value = head_of(data);
    switch (value.Type) {
        case QAC_TYPE_INTEGER:
            if (std::int32_t* field = integer_field(settings, name)) {
                *field = fit_to_32_bits(value.Payload.Integer);
            }
            return 0;
        case QAC_TYPE_STRING: {
            if (std::strcmp(name, "LogName") == 0) {
                plat::copy_cut(settings->LogName, sizeof settings->LogName, value.Payload.String);
            }
            QAC_Data* default_value = nullptr;
            if (default_get(handle, name, &default_value) != 0 || default_value == nullptr) {
                return 1;
            }
            plat::copy_cut(settings->DefaultLogName, sizeof settings->DefaultLogName,
                           head_of(default_value).Payload.String);
            return 0;
        }
        case QAC_TYPE_BOOLEAN:
            if (std::strcmp(name, "ErrorWatching") == 0) {
                settings->ErrorWatching = value.Payload.Boolean != 0 ? 1 : 0;
            }
            return 0;
        case QAC_TYPE_ENUMERATION:
            for (const TimeoutActionWord& action : kTimeoutActions) {
                if (value.Payload.Enumeration != nullptr &&
                    std::strcmp(action.word, value.Payload.Enumeration) == 0) {
                    settings->TimeoutAction = action.value;
                }
            }
            return 0;
        default:
            return 1;
    }
}

int WDT_ReadSettings(WDT_Settings* settings) {
    static constexpr char kFunction[] = "WDT_ReadSettings";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        char service_dir[kPathBufferSize];
        char provider_dir[kPathBufferSize];
        if (settings == nullptr || WDT_GetInstallPath(service_dir, kInstallPathService) != 0 ||
            WDT_GetInstallPath(provider_dir, kInstallPathProvider) != 0) {
            WDT_LOG(msg::KTLOR_012_K, kFunction);
            return 1;
        }
        char file_name[64];
        char library_path[kPathBufferSize];
        join_path(library_path, provider_dir, "lib",
                  plat::shared_library_file_name("jovacfg", file_name, sizeof file_name));
        plat::SharedLibrary store;
        if (!store.load(library_path).ok()) {
            WDT_LOG(msg::KTLOR_012_K, kFunction);
            return 1;
        }
        const auto create = reinterpret_cast<QacConfigCreate>(store.symbol("QAC_ConfigCreate"));
        const auto destroy = reinterpret_cast<QacConfigDestroy>(store.symbol("QAC_ConfigDestroy"));
        const auto read = reinterpret_cast<QacConfigRead>(store.symbol("QAC_ConfigRead"));
        const auto data_get = reinterpret_cast<QacDataGet>(store.symbol("QAC_DataGet"));
        const auto default_get =
            reinterpret_cast<QacDataDefaultGet>(store.symbol("QAC_DataDefaultGet"));
        int result = 1;
        if (create != nullptr && destroy != nullptr && read != nullptr && data_get != nullptr &&
            default_get != nullptr) {
            char definition_path[kPathBufferSize];
            char value_path[kPathBufferSize];
            join_path(definition_path, service_dir, "cnf", "jowdtdef.xml");
            join_path(value_path, service_dir, "cnf", "jowdtcfg.xml");
            QAC_Config* handle = nullptr;
            if (create(definition_path, &handle) == 0) {
                if (read(value_path, handle) == 0) {
                    result = 0;
                    for (const char* item : kItemNames) {
                        char name[kPathBufferSize];
                        plat::copy_cut(name, sizeof name, item);
                        if (WDT_ApplySettingItem(settings, handle, data_get, default_get, name) !=
                            0) {
                            result = 1;
                            break;
                        }
                    }
                }
                destroy(handle);
            }
        }
        store.unload();
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}
