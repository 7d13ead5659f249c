#include "plat/error.h"

#include <windows.h>

namespace plat {

ErrorCode last_error() {
    return static_cast<ErrorCode>(GetLastError());
}

ErrorKind classify_error(ErrorCode error) {
    switch (error) {
        case ERROR_SUCCESS:
            return ErrorKind::none;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_BUSY:
            return ErrorKind::busy;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ErrorKind::not_found;
        default:
            return ErrorKind::other;
    }
}

ErrorCode invalid_handle_error() {
    return ERROR_INVALID_HANDLE;
}

}  // namespace plat
