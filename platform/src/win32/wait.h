// Waiting on one Win32 handle, answered in the platform layer's terms.
#pragma once

#include <windows.h>

#include "plat/sync.h"

namespace plat {

inline WaitResult wait_for_handle(HANDLE handle, std::uint32_t timeout_ms) {
    switch (WaitForSingleObject(handle, timeout_ms == kWaitForever ? INFINITE : timeout_ms)) {
        case WAIT_OBJECT_0:
            return WaitResult::signalled;
        case WAIT_ABANDONED:
            return WaitResult::abandoned;
        case WAIT_TIMEOUT:
            return WaitResult::timed_out;
        default:
            return WaitResult::failed;
    }
}

}  // namespace plat
