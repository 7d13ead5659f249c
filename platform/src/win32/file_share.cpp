#include <windows.h>

#include "plat/file.h"

namespace plat {

// The share mode of the open already keeps this file and exclusive opens apart.
Status File::exclude_exclusive() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    return Status::success();
}

Status File::try_lock_whole() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    OVERLAPPED from_start{};
    return LockFileEx(reinterpret_cast<HANDLE>(handle_),
                      LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                      &from_start)
               ? Status::success()
               : Status::failure(GetLastError());
}

Status File::unlock_whole() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    OVERLAPPED from_start{};
    return UnlockFileEx(reinterpret_cast<HANDLE>(handle_), 0, MAXDWORD, MAXDWORD, &from_start)
               ? Status::success()
               : Status::failure(GetLastError());
}

}  // namespace plat
