#include "plat/dl.h"

#include <windows.h>

#include "plat/text.h"

namespace plat {

SharedLibrary::~SharedLibrary() {
    unload();
}

Status SharedLibrary::load(const char* path) {
    unload();
    error_text_[0] = '\0';
    handle_ = LoadLibraryA(path);
    if (handle_ == nullptr) {
        const DWORD error = GetLastError();
        format_cut(error_text_, sizeof error_text_, "LoadLibraryA failed with error %lu",
                   static_cast<unsigned long>(error));
        return Status::failure(error);
    }
    return Status::success();
}

void* SharedLibrary::symbol(const char* name) const {
    if (handle_ == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void SharedLibrary::unload() {
    if (handle_ != nullptr) {
        FreeLibrary(static_cast<HMODULE>(handle_));
        handle_ = nullptr;
    }
}

const char* shared_library_file_name(const char* base, char* buffer, unsigned capacity) {
    format_cut(buffer, capacity, "%s.dll", base);
    return buffer;
}

}  // namespace plat
