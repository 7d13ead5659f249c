// Threads that run one function: Win32 threads, joined by waiting on their handle.
#include <windows.h>

#include <new>

#include "plat/thread.h"
#include "wait.h"

namespace plat {

struct Thread::Impl {
    HANDLE handle;
    DWORD id;
};

namespace {

// The thread owns its body, so the Thread object may go while the thread runs on.
DWORD WINAPI run_thread(void* argument) {
    auto* body = static_cast<std::function<void()>*>(argument);
    (*body)();
    delete body;
    return 0;
}

}  // namespace

Thread::~Thread() {
    if (impl_ != nullptr) {
        CloseHandle(impl_->handle);
        delete impl_;
    }
}

Status Thread::start(std::function<void()> body) {
    if (impl_ != nullptr) {
        return Status::failure(ERROR_BUSY);
    }
    auto* owned = new (std::nothrow) std::function<void()>(std::move(body));
    auto* impl = new (std::nothrow) Impl{};
    if (owned == nullptr || impl == nullptr) {
        delete owned;
        delete impl;
        return Status::failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    impl->handle = CreateThread(nullptr, 0, run_thread, owned, 0, &impl->id);
    if (impl->handle == nullptr) {
        const DWORD error = GetLastError();
        delete owned;
        delete impl;
        return Status::failure(error);
    }
    impl_ = impl;
    return Status::success();
}

std::uint32_t Thread::id() const {
    return impl_ != nullptr ? impl_->id : 0;
}

WaitResult Thread::join(std::uint32_t timeout_ms) {
    if (impl_ == nullptr) {
        return WaitResult::failed;
    }
    return wait_for_handle(impl_->handle, timeout_ms);
}

Status Thread::raise_to_time_critical() {
    if (impl_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    if (!SetThreadPriority(impl_->handle, THREAD_PRIORITY_TIME_CRITICAL)) {
        return Status::failure(GetLastError());
    }
    return Status::success();
}

Status raise_current_thread_to_time_critical() {
    if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
        return Status::failure(GetLastError());
    }
    return Status::success();
}

}  // namespace plat
