#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "plat/file.h"

namespace plat {

// Exclusive opens hold an exclusive flock; a shared one keeps them and this file apart.
Status File::exclude_exclusive() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    int result;
    do {
        result = flock(static_cast<int>(handle_), LOCK_SH | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? Status::success() : Status::failure(static_cast<ErrorCode>(errno));
}

namespace {

// Locks that belong to the open file, not to the process, so that two opens in one
// process exclude each other as they do on Windows; a length of 0 reaches past any end.
Status whole_file_lock(std::intptr_t handle, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 0;
    int result;
    do {
        result = fcntl(static_cast<int>(handle), F_OFD_SETLK, &range);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? Status::success() : Status::failure(static_cast<ErrorCode>(errno));
}

}  // namespace

Status File::try_lock_whole() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    return whole_file_lock(handle_, F_WRLCK);
}

Status File::unlock_whole() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    return whole_file_lock(handle_, F_UNLCK);
}

}  // namespace plat
