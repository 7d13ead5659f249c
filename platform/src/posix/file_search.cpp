#include "plat/file_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "plat/text.h"

namespace plat {

namespace {

constexpr std::int64_t kEpochDifferenceSeconds = 11644473600LL;

FileTime file_time_of(const struct stat& st) {
    return (static_cast<std::int64_t>(st.st_mtim.tv_sec) + kEpochDifferenceSeconds) * 10000000LL +
           st.st_mtim.tv_nsec / 100;
}

DIR* directory_of(void* handle) {
    return static_cast<DIR*>(handle);
}

}  // namespace

std::size_t search_directory_length(const char* pattern) {
    const char* last = std::strrchr(pattern, '/');
    return last == nullptr ? 0 : static_cast<std::size_t>(last - pattern) + 1;
}

FileSearch::~FileSearch() {
    close();
}

Status FileSearch::first(const char* pattern, FoundFile* found) {
    close();
    const std::size_t directory_length = search_directory_length(pattern);
    DIR* directory_stream = nullptr;
    try {
        const std::string directory =
            directory_length == 0 ? std::string(".") : std::string(pattern, directory_length);
        name_pattern_ = pattern + directory_length;
        directory_stream = opendir(directory.c_str());
    } catch (const std::bad_alloc&) {
        return Status::failure(ENOMEM);
    }
    if (directory_stream == nullptr) {
        return Status::failure(static_cast<ErrorCode>(errno));
    }
    handle_ = directory_stream;
    const Status status = next(found);
    if (!status.ok()) {
        close();
        // Nothing matched: the same answer as for a missing file.
        return status.error == no_more_files_error() ? Status::failure(ENOENT) : status;
    }
    return status;
}

Status FileSearch::next(FoundFile* found) {
    if (handle_ == nullptr) {
        return Status::failure(EBADF);
    }
    DIR* directory = directory_of(handle_);
    while (true) {
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) {
            return Status::failure(errno != 0 ? static_cast<ErrorCode>(errno)
                                              : no_more_files_error());
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            !wildcard_match(name_pattern_.c_str(), name)) {
            continue;
        }
        struct stat st {};
        // A link reports what it points at, so a link to a directory counts as one; a link
        // that points nowhere reports itself.
        if (fstatat(dirfd(directory), name, &st, 0) != 0 &&
            fstatat(dirfd(directory), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // gone since it was listed
        }
        copy_cut(found->name, sizeof found->name, name);
        found->is_directory = S_ISDIR(st.st_mode);
        found->last_write = file_time_of(st);
        return Status::success();
    }
}

void FileSearch::close() {
    if (handle_ != nullptr) {
        closedir(directory_of(handle_));
        handle_ = nullptr;
    }
}

ErrorCode no_more_files_error() {
    return ENODATA;
}

ErrorCode path_too_long_error() {
    return ENAMETOOLONG;
}

}  // namespace plat
