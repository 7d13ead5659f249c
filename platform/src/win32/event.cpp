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

}  // namespace plat
