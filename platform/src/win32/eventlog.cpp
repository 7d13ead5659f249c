// Events go to the system's event log under a registered source. The log keeps the event id
// and the insertion strings; the viewer renders them with the source's message table, so the
// prepared text and the syslog facility are not used here.
#include "plat/eventlog.h"

#include <windows.h>

namespace plat {

namespace {

// ReportEvent counts insertion strings in a WORD.
constexpr std::size_t kMaxStrings = 0xFFFF;

HANDLE native(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

WORD event_type_of(EventType type) {
    switch (type) {
        case EventType::warning:
            return EVENTLOG_WARNING_TYPE;
        case EventType::information:
            return EVENTLOG_INFORMATION_TYPE;
        case EventType::error:
            break;
    }
    return EVENTLOG_ERROR_TYPE;
}

}  // namespace

EventSource::~EventSource() {
    close();
}

Status EventSource::open(const char* source_name) {
    close();
    const HANDLE handle = RegisterEventSourceA(nullptr, source_name != nullptr ? source_name : "");
    if (handle == nullptr) {
        return Status::failure(static_cast<ErrorCode>(GetLastError()));
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    return Status::success();
}

Status EventSource::report(const EventReport& event) {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    if (event.string_count > kMaxStrings || (event.string_count != 0 && event.strings == nullptr)) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    for (std::size_t i = 0; i < event.string_count; ++i) {
        if (event.strings[i] == nullptr) {
            return Status::failure(ERROR_INVALID_PARAMETER);
        }
    }
    // The API takes the strings as non-const, but only reads them.
    LPCSTR* strings = event.string_count != 0 ? const_cast<LPCSTR*>(event.strings) : nullptr;
    if (!ReportEventA(native(handle_), event_type_of(event.type), 0,
                      static_cast<DWORD>(event.event_id), nullptr,
                      static_cast<WORD>(event.string_count), 0, strings, nullptr)) {
        return Status::failure(static_cast<ErrorCode>(GetLastError()));
    }
    return Status::success();
}

void EventSource::close() {
    if (is_open()) {
        DeregisterEventSource(native(handle_));
        handle_ = kInvalid;
    }
}

}  // namespace plat
