#include "plat/error.h"

#include <cerrno>

namespace plat {

ErrorCode last_error() {
    return static_cast<ErrorCode>(errno);
}

ErrorKind classify_error(ErrorCode error) {
    switch (error) {
        case 0:
            return ErrorKind::none;
        case EBUSY:
        case ETXTBSY:
        case EWOULDBLOCK:
            return ErrorKind::busy;
        case ENOENT:
        case ENOTDIR:
            return ErrorKind::not_found;
        default:
            return ErrorKind::other;
    }
}

ErrorCode invalid_handle_error() {
    return EBADF;
}

}  // namespace plat
