#include "plat/dl.h"

#include <dlfcn.h>

#include <cerrno>

#include "plat/text.h"

namespace plat {

SharedLibrary::~SharedLibrary() {
    unload();
}

Status SharedLibrary::load(const char* path) {
    unload();
    error_text_[0] = '\0';
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        copy_cut(error_text_, sizeof error_text_, dlerror());
        // dlopen gives no error number; a missing file is by far the commonest cause.
        return Status::failure(ENOENT);
    }
    return Status::success();
}

void* SharedLibrary::symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void SharedLibrary::unload() {
    if (handle_ != nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

const char* shared_library_file_name(const char* base, char* buffer, unsigned capacity) {
    format_cut(buffer, capacity, "lib%s.so", base);
    return buffer;
}

}  // namespace plat
