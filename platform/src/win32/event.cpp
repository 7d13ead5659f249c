// Auto-reset events: Win32 event objects.
#include <windows.h>

#include "plat/sync.h"
#include "wait.h"

namespace plat {

struct Event::Impl {
    HANDLE handle;
};

Event::Event() : impl_(nullptr) {
    HANDLE handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (handle != nullptr) {
        impl_ = new Impl{handle};
    }
}

Event::~Event() {
    if (impl_ != nullptr) {
        CloseHandle(impl_->handle);
        delete impl_;
    }
}

void Event::set() {
    SetEvent(impl_->handle);
}

WaitResult Event::wait(std::uint32_t timeout_ms) {
    return wait_for_handle(impl_->handle, timeout_ms);
}

WaitAnyResult wait_any(Event* const* events, std::size_t count, std::uint32_t timeout_ms) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    if (events == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return {};
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (events[i] == nullptr || !events[i]->valid()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return {};
        }
        handles[i] = events[i]->impl_->handle;
    }
    const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE,
                                              timeout_ms == kWaitForever ? INFINITE : timeout_ms);
    if (woke < WAIT_OBJECT_0 + count) {
        return {WaitResult::signalled, static_cast<std::size_t>(woke - WAIT_OBJECT_0)};
    }
    return {woke == WAIT_TIMEOUT ? WaitResult::timed_out : WaitResult::failed, 0};
}

}  // namespace plat
