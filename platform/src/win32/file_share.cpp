#include "plat/file.h"

namespace plat {

// The share mode of the open already keeps this file and exclusive opens apart.
Status File::exclude_exclusive() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    return Status::success();
}

}  // namespace plat
