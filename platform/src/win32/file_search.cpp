// FindFirstFile does the matching, with the system's rules: names compare without regard to
// case, and a pattern may also match an entry's short (8.3) name.
#include "plat/file_search.h"

#include <windows.h>

#include <cstring>

#include "plat/file.h"
#include "plat/text.h"

namespace plat {

namespace {

// Whether the entry is one to report. A name longer than FoundFile holds is left out: cut,
// it would name another file.
bool fill(const WIN32_FIND_DATAA& data, FoundFile* found) {
    if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0 ||
        bounded_length(data.cFileName, sizeof data.cFileName) > kMaxFileName) {
        return false;
    }
    copy_cut(found->name, sizeof found->name, data.cFileName);
    found->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    found->last_write = static_cast<FileTime>(
        (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime);
    return true;
}

}  // namespace

std::size_t search_directory_length(const char* pattern) {
    std::size_t length = 0;
    const std::size_t n = std::strlen(pattern);
    if (n >= 2 && pattern[1] == ':') {
        length = 2;
    }
    for (std::size_t i = 0; i < n; i += path_character_length(pattern + i)) {
        if (is_path_separator(pattern[i])) {
            length = i + 1;
        }
    }
    return length;
}

FileSearch::~FileSearch() {
    close();
}

Status FileSearch::first(const char* pattern, FoundFile* found) {
    close();
    WIN32_FIND_DATAA data{};
    const HANDLE handle = FindFirstFileA(pattern, &data);
    if (handle == INVALID_HANDLE_VALUE) {
        return Status::failure(GetLastError());
    }
    handle_ = handle;
    if (fill(data, found)) {
        return Status::success();
    }
    const Status status = next(found);
    if (!status.ok()) {
        close();
        return status.error == ERROR_NO_MORE_FILES ? Status::failure(ERROR_FILE_NOT_FOUND) : status;
    }
    return status;
}

Status FileSearch::next(FoundFile* found) {
    if (handle_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    WIN32_FIND_DATAA data{};
    do {
        if (!FindNextFileA(handle_, &data)) {
            return Status::failure(GetLastError());
        }
    } while (!fill(data, found));
    return Status::success();
}

void FileSearch::close() {
    if (handle_ != nullptr) {
        FindClose(handle_);
        handle_ = nullptr;
    }
}

ErrorCode no_more_files_error() {
    return ERROR_NO_MORE_FILES;
}

ErrorCode path_too_long_error() {
    return ERROR_FILENAME_EXCED_RANGE;
}

}  // namespace plat
