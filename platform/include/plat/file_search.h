// Listing the files whose names match a wildcard pattern, as the clean-up functions need.
#pragma once

#include <cstddef>
#include <string>

#include "plat/error.h"
#include "plat/time.h"

namespace plat {

constexpr std::size_t kMaxFileName = 255;

struct FoundFile {
    char name[kMaxFileName + 1] = {};  // the entry's name, without its directory
    bool is_directory = false;
    FileTime last_write = 0;
};

// A search over one directory: the pattern's directory part names the directory, its last
// component is matched against each entry ('*' any run of characters, '?' one character).
// "." and ".." are never reported.
class FileSearch {
  public:
    FileSearch() = default;
    ~FileSearch();
    FileSearch(const FileSearch&) = delete;
    FileSearch& operator=(const FileSearch&) = delete;

    // The first match; fails with the platform's "not found" error when nothing matches.
    Status first(const char* pattern, FoundFile* found);
    // The next match; fails with no_more_files_error() after the last one.
    Status next(FoundFile* found);
    void close();

  private:
    void* handle_ = nullptr;
    std::string name_pattern_;
};

// Bytes of pattern that form its directory part: up to and including the last separator,
// or a leading drive where the platform has drives; 0 means the current directory.
std::size_t search_directory_length(const char* pattern);

// Whether name matches pattern: '*' matches any run of characters, '?' exactly one UTF-8
// character, anything else itself (byte for byte, so case matters).
bool wildcard_match(const char* pattern, const char* name);

ErrorCode no_more_files_error();
ErrorCode path_too_long_error();

}  // namespace plat
