#include <cstring>

#include "plat/file.h"
#include "plat/text.h"

namespace plat {

namespace {

constexpr std::size_t kMaxPath = 1024;

bool is_bare_drive(const char* path, std::size_t length) {
    return length == 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// Makes one directory whose parents already exist.
EnsureDirectory ensure_one(const char* path, std::size_t length) {
    if (length == 0 || is_bare_drive(path, length)) {
        return {};
    }
    PathInfo info;
    const Status found = query_path(path, &info);
    if (found.ok()) {
        return info.is_directory ? EnsureDirectory{}
                                 : EnsureDirectory{DirectoryResult::not_a_directory, 0};
    }
    const Status made = make_directory(path);
    if (made.ok()) {
        return {};
    }
    // Another thread or process may have made it in the meantime.
    if (query_path(path, &info).ok() && info.is_directory) {
        return {};
    }
    return {DirectoryResult::create_failed, made.error};
}

}  // namespace

EnsureDirectory ensure_directory(const char* directory) {
    char path[kMaxPath];
    const std::size_t length = bounded_length(directory, sizeof path);
    if (length == sizeof path) {
        return {DirectoryResult::create_failed, 0};
    }
    std::memcpy(path, directory, length + 1);

    // Parents first: cut the path at each separator that ends a component, and at its end.
    bool in_component = false;
    for (std::size_t i = 0;; i += path_character_length(path + i)) {
        const bool at_end = i >= length;
        const bool separator = at_end || is_path_separator(path[i]);
        if (separator && in_component) {
            const char saved = path[i];
            path[i] = '\0';
            const EnsureDirectory step = ensure_one(path, i);
            path[i] = saved;
            if (step.result != DirectoryResult::ok) {
                return step;
            }
        }
        if (at_end) {
            return {};
        }
        in_component = !separator;
    }
}

EnsureDirectory ensure_parent_directory(const char* path) {
    const std::size_t length = bounded_length(path, kMaxPath);
    std::size_t last = length;
    for (std::size_t i = 0; i < length; i += path_character_length(path + i)) {
        if (is_path_separator(path[i])) {
            last = i;
        }
    }
    // No separator, or only a leading one: nothing to create.
    if (last == length || last == 0) {
        return {};
    }
    char directory[kMaxPath];
    std::memcpy(directory, path, last);
    directory[last] = '\0';
    return ensure_directory(directory);
}

}  // namespace plat
