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

}  // namespace plat
