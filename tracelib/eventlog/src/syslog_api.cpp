// The syslog-style exports: the default output, heap outputs, and the result decoders.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "event_text.h"
#include "ktlorsym_syslog.h"
#include "plat/eventlog.h"
#include "plat/registry.h"
#include "plat/text.h"
#include "plat/thread.h"
#include "syslog_library.h"

using namespace ktl::syslog;

namespace {

constexpr const char* kApplicationKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

constexpr std::int32_t kOptionTid = KTLORSYM_SYSLOG_OPTION_TID;
constexpr std::int32_t kOptionForbidden = 0xFE0000;

constexpr const char* const kTidFormatHex = "%lX";
constexpr const char* const kTidFormatDecimal = "%lu";
constexpr const char* const kTidFormatHex8 = "%08lX";
constexpr const char* const kTidFormatHex16 = "%016lX";

const char* tid_format_of(int type) {
    switch (type) {
        case KTLORSYM_TID_HEX:
            return kTidFormatHex;
        case KTLORSYM_TID_DECIMAL:
            return kTidFormatDecimal;
        case KTLORSYM_TID_HEX8:
            return kTidFormatHex8;
        case KTLORSYM_TID_HEX16:
            return kTidFormatHex16;
        default:
            return nullptr;
    }
}

// Valid from load to unload, so it is constant-initialised.
constinit SysLogInstance g_default = {
    .magic = "ZUNO",
    .ident = "",
    .option = kDefaultOption,
    .facility = kDefaultFacility,
    .log_mask = kDefaultMask,
    .source_name = "KTLOR Trace",
    .tid_format = kTidFormatHex8,
    .tid_mode = 0,
    .tid_prefix = "[",
    .tid_suffix = "] ",
};

bool is_valid(const SysLogInstance* instance) {
    return instance != nullptr && std::memcmp(instance->magic, "ZUNO", 5) == 0;
}

void reset_output_settings(SysLogInstance* instance) {
    instance->ident[0] = '\0';
    instance->option = kDefaultOption;
    instance->facility = kDefaultFacility;
    instance->tid_format = kTidFormatHex8;
    instance->tid_mode = 0;
    plat::copy_cut(instance->tid_prefix, sizeof instance->tid_prefix, "[");
    plat::copy_cut(instance->tid_suffix, sizeof instance->tid_suffix, "] ");
}

bool source_name_acceptable(const char* name) {
    const std::size_t length = plat::bounded_length(name, kMaxSourceName + 1);
    return length != 0 && length <= kMaxSourceName;
}

bool affix_acceptable(const char* affix) {
    return plat::bounded_length(affix, kMaxAffix + 1) <= kMaxAffix;
}

// The source is registered when its key under the event log's Application key opens.
plat::Status source_registered(const char* name) {
    plat::RegistryKey application;
    const plat::Status opened =
        application.open(plat::RegistryRoot::local_machine, kApplicationKey);
    if (!opened.ok()) {
        return opened;
    }
    plat::RegistryKey source;
    return source.open(application, name);
}

std::uint32_t open_output(SysLogInstance* instance, const char* ident, int option, int facility) {
    LibraryState& lib = library();
    lib.validated = false;
    instance->option = option & ~kOptionTid;
    instance->facility = facility;
    const std::size_t length = plat::bounded_length(ident, kMaxIdent + 1);
    const std::size_t kept = plat::utf8_safe_cut(ident, length, kMaxIdent);
    if (kept != 0) {
        std::memcpy(instance->ident, ident, kept);
    }
    instance->ident[kept] = '\0';

    plat::EventSource log;
    const plat::Status status = log.open(instance->source_name);
    return status.ok() ? kResultOk : tagged(kStepOpenLog, status.error);
}

void close_output(SysLogInstance* instance) {
    library().validated = false;
    reset_output_settings(instance);
}

std::uint32_t set_source_name(SysLogInstance* instance, const char* name) {
    if (!source_registered(name).ok()) {
        return kResultBadArgument;
    }
    library().validated = false;
    plat::copy_cut(instance->source_name, sizeof instance->source_name, name);
    return kResultOk;
}

int set_mask(SysLogInstance* instance, int mask) {
    const int previous = instance->log_mask;
    instance->log_mask = mask;
    library().validated = false;
    return previous;
}

std::uint32_t set_tid_format(SysLogInstance* instance, int type, const char* prefix,
                             const char* suffix) {
    instance->tid_format = tid_format_of(type);
    plat::copy_cut(instance->tid_prefix, sizeof instance->tid_prefix,
                   prefix != nullptr ? prefix : "[");
    plat::copy_cut(instance->tid_suffix, sizeof instance->tid_suffix,
                   suffix != nullptr ? suffix : "] ");
    library().validated = false;
    return kResultOk;
}

bool tid_format_acceptable(int type, const char* prefix, const char* suffix) {
    return tid_format_of(type) != nullptr && affix_acceptable(prefix) && affix_acceptable(suffix);
}

plat::EventType event_type_of(int priority) {
    if (priority == 4 || priority == 5) {
        return plat::EventType::warning;
    }
    return priority == 6 ? plat::EventType::information : plat::EventType::error;
}

// Message id, prefix, the calling thread's id, suffix, text.
void compose_with_tid(const SysLogInstance* instance, const char* message_id, const char* text,
                      MessageText* message) {
    char thread_id[24];
    plat::format_cut(thread_id, sizeof thread_id, instance->tid_format,
                     static_cast<unsigned long>(plat::current_thread_id()));
    message->append(message_id);
    message->append(instance->tid_prefix);
    message->append(thread_id);
    message->append(instance->tid_suffix);
    message->append(text);
}

std::uint32_t write_event(const SysLogInstance* instance, int priority, const char* message) {
    LibraryState& lib = library();
    if (lib.validated_instance != instance || !lib.validated) {
        if (plat::bounded_length(instance->source_name, kMaxSourceName + 1) > kMaxSourceName) {
            lib.source_usable = false;
            return kResultBadArgument;
        }
        const plat::Status registered = source_registered(instance->source_name);
        lib.last_source_status =
            registered.ok() ? kResultOk : tagged(kStepSourceNotRegistered, registered.error);
        if (!registered.ok()) {
            lib.source_usable = false;
            return lib.last_source_status;
        }
        lib.source_usable = true;
        lib.validated_instance = instance;
        lib.validated = true;
    }
    if ((static_cast<std::uint32_t>(instance->log_mask) &
         (1u << (static_cast<std::uint32_t>(priority) & 31u))) == 0) {
        return kResultOk;
    }
    char process_id[12];
    plat::format_cut(process_id, sizeof process_id, "%08X", plat::current_process_id());

    const char* strings[3];
    std::size_t count = 0;
    std::uint32_t event_id = kEventWithoutIdent;
    if (instance->ident[0] != '\0') {
        event_id = kEventWithIdent;
        strings[count++] = instance->ident;
    }
    strings[count++] = process_id;
    strings[count++] = message;
    char text[kMaxMessage + 128];
    render_event(event_id, strings, count, text, sizeof text);

    if (!lib.source_usable) {
        return lib.last_source_status;
    }
    plat::EventSource log;
    const plat::Status opened = log.open(instance->source_name);
    if (!opened.ok()) {
        return tagged(kStepOpenLog, opened.error);
    }
    plat::EventReport report;
    report.type = event_type_of(priority);
    report.event_id = event_id;
    report.strings = strings;
    report.string_count = count;
    report.text = text;
    report.facility = instance->facility;
    const plat::Status reported = log.report(report);
    return reported.ok() ? kResultOk : tagged(kStepReport, reported.error);
}

// No exception crosses an export; a failure inside counts as a failed report.
template <typename Body>
std::uint32_t guarded(Body body) {
    try {
        return body();
    } catch (...) {
        return tagged(kStepReport, 0);
    }
}

}  // namespace

namespace ktl::syslog {

LibraryState& library() {
    static LibraryState state;
    return state;
}

namespace {
// Made at load, so that the lock exists before the first call from any thread.
[[maybe_unused]] const LibraryState& g_made_at_load = library();
}  // namespace

}  // namespace ktl::syslog

void KTLORSYM_OpenSysLog(const char* ident, int option, int facility) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    guarded([&] { return open_output(&g_default, ident, option, facility); });
}

int KTLORSYM_PutToSysLog(int priority, const char* message) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    return plain_result(guarded([&] {
        MessageText text;
        text.append(message);
        return write_event(&g_default, priority, text.c_str());
    }));
}

int KTLORSYM_PutToSysLogWithTid(int priority, const char* messageId, const char* text) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    return plain_result(guarded([&] {
        MessageText message;
        compose_with_tid(&g_default, messageId, text, &message);
        return write_event(&g_default, priority, message.c_str());
    }));
}

int KTLORSYM_SetLogMask(int mask) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    return is_valid(&g_default) ? set_mask(&g_default, mask) : 1;
}

int KTLORSYM_SetEventSrcName(const char* sourceName) {
    if (!source_name_acceptable(sourceName)) {
        return -1;
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    return guarded([&] { return set_source_name(&g_default, sourceName); }) == kResultOk ? 0 : -1;
}

int KTLORSYM_SetSysLogTidFormat(int type, const char* prefix, const char* suffix) {
    if (!tid_format_acceptable(type, prefix, suffix)) {
        return 1;
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    return static_cast<int>(set_tid_format(&g_default, type, prefix, suffix));
}

void KTLORSYM_CloseSysLog(void) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    close_output(&g_default);
}

int KTLORSYM_CreateSysLogInstance(SysLogInstance** instance) {
    if (instance == nullptr) {
        return static_cast<int>(kResultBadArgument);
    }
    auto* made = static_cast<SysLogInstance*>(std::calloc(1, sizeof(SysLogInstance)));
    if (made == nullptr) {
        *instance = nullptr;
        return static_cast<int>(tagged(kStepAllocate, plat::last_error()));
    }
    reset_output_settings(made);
    made->log_mask = kDefaultMask;
    plat::copy_cut(made->source_name, sizeof made->source_name, kDefaultSourceName);
    std::memcpy(made->magic, "ZUNO", 5);  // last: the record is complete
    *instance = made;
    return static_cast<int>(kResultOk);
}

int KTLORSYM_DeleteSysLogInstance(SysLogInstance* instance) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (!is_valid(instance)) {
        return static_cast<int>(kResultBadArgument);
    }
    std::memcpy(instance->magic, "DEAD", 5);
    // A later instance at the same address must be checked afresh.
    if (lib.validated_instance == instance) {
        lib.validated_instance = nullptr;
        lib.validated = false;
    }
    std::free(instance);
    return static_cast<int>(kResultOk);
}

int KTLORSYM_OpenSysLogInstance(SysLogInstance* instance, const char* ident, int option,
                                int facility) {
    if ((option & kOptionForbidden) != 0) {
        return static_cast<int>(kResultBadArgument);
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (!is_valid(instance)) {
        return static_cast<int>(kResultBadArgument);
    }
    instance->tid_mode = (option & kOptionTid) != 0 ? 1 : 0;
    return static_cast<int>(
        guarded([&] { return open_output(instance, ident, option, facility); }));
}

int KTLORSYM_CloseSysLogInstance(SysLogInstance* instance) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (!is_valid(instance)) {
        return static_cast<int>(kResultBadArgument);
    }
    close_output(instance);
    return static_cast<int>(kResultOk);
}

int KTLORSYM_PutToSysLogInstance(SysLogInstance* instance, int priority, const char* messageId,
                                 const char* text) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (!is_valid(instance)) {
        return static_cast<int>(kResultBadArgument);
    }
    return static_cast<int>(guarded([&] {
        MessageText message;
        if (instance->tid_mode == 1) {
            compose_with_tid(instance, messageId, text, &message);
        } else {
            const bool has_id = messageId != nullptr && *messageId != '\0';
            message.append(messageId);
            if (has_id && text != nullptr && *text != '\0') {
                message.append(" ");
            }
            message.append(text);
        }
        return write_event(instance, priority, message.c_str());
    }));
}

int KTLORSYM_PutToSysLogWithTidInstance(SysLogInstance* instance, int priority,
                                        const char* messageId, const char* text) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (!is_valid(instance)) {
        return static_cast<int>(kResultBadArgument);
    }
    return static_cast<int>(guarded([&] {
        MessageText message;
        compose_with_tid(instance, messageId, text, &message);
        return write_event(instance, priority, message.c_str());
    }));
}

int KTLORSYM_SetLogMaskInstance(SysLogInstance* instance, int mask) {
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    return is_valid(instance) ? set_mask(instance, mask) : 1;
}

int KTLORSYM_SetEventSrcNameInstance(SysLogInstance* instance, const char* sourceName) {
    if (!source_name_acceptable(sourceName)) {
        return static_cast<int>(kResultBadArgument);
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (!is_valid(instance)) {
        return static_cast<int>(kResultBadArgument);
    }
    return guarded([&] { return set_source_name(instance, sourceName); }) == kResultOk
               ? static_cast<int>(kResultOk)
               : static_cast<int>(kResultBadArgument);
}

int KTLORSYM_SetSysLogTidFormatInstance(SysLogInstance* instance, int type, const char* prefix,
                                        const char* suffix) {
    if (!tid_format_acceptable(type, prefix, suffix)) {
        return static_cast<int>(kResultBadArgument);
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (!is_valid(instance)) {
        return static_cast<int>(kResultBadArgument);
    }
    return static_cast<int>(set_tid_format(instance, type, prefix, suffix));
}

int KTLORSYM_SysLogErrApi(int result) {
    const auto code = static_cast<std::uint32_t>(result);
    if (code == kResultOk || code == kResultBadArgument) {
        return result;
    }
    return code <= kLowMask ? -1 : static_cast<int>(code >> 24);
}

int KTLORSYM_SysLogErrCode(int result) {
    const auto code = static_cast<std::uint32_t>(result);
    if (code == kResultOk) {
        return 0;
    }
    if (code == kResultBadArgument) {
        return kInvalidParameterError;
    }
    // Below the tagged range a code is no result of this library: there is no error to give.
    if (code <= kLowMask) {
        return -1;
    }
    return (code & kLowMask) != 0 ? static_cast<int>(code & kLowMask) : -1;
}
