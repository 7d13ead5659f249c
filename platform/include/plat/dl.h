// Shared libraries loaded at run time by path, their exports found by name.
#pragma once

#include "plat/error.h"

namespace plat {

class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    Status load(const char* path);
    bool is_loaded() const { return handle_ != nullptr; }
    // The export of that exact name, or null.
    void* symbol(const char* name) const;
    void unload();

    // Why the last load failed, in the loader's words (empty when it gave none).
    const char* error_text() const { return error_text_; }

  private:
    void* handle_ = nullptr;
    char error_text_[256] = {};
};

// The file name of a shared library called base on this platform: "lib<base>.so" or
// "<base>.dll".
const char* shared_library_file_name(const char* base, char* buffer, unsigned capacity);

}  // namespace plat
