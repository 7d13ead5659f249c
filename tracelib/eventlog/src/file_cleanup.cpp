// Deleting old files that match a wildcard pattern, by number kept or by age. No lock: the
// functions share nothing with the rest of the library.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "ktlorsym_syslog.h"
#include "plat/file.h"
#include "plat/file_search.h"
#include "plat/text.h"
#include "plat/time.h"
#include "syslog_library.h"

namespace {

constexpr std::size_t kMaxPath = 259;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;
constexpr std::int64_t kUnixEpochFileTime = 116444736000000000LL;

struct Candidate {
    plat::FileTime last_write;
    char path[kMaxPath + 1];
    bool too_long;  // not cut: a cut path could name another file
};

std::int64_t unix_seconds(plat::FileTime time) {
    const std::int64_t ticks = time - kUnixEpochFileTime;
    // Floor division, so that a time before 1970 never rounds up towards the limit.
    return ticks >= 0 ? ticks / kFileTimeTicksPerSecond
                      : -((-ticks + kFileTimeTicksPerSecond - 1) / kFileTimeTicksPerSecond);
}

// The checks both functions make before searching; 0 when the pattern is usable.
int pattern_error(const char* pattern) {
    if (pattern == nullptr) {
        return ktl::syslog::kInvalidParameterError;
    }
    if (plat::bounded_length(pattern, kMaxPath + 1) > kMaxPath) {
        return static_cast<int>(plat::path_too_long_error());
    }
    return 0;
}

// Directory part of the pattern followed by the name found; false when it does not fit.
bool join_path(const char* pattern, std::size_t directory_length, const char* name,
               char (&path)[kMaxPath + 1]) {
    const std::size_t name_length = plat::bounded_length(name, kMaxPath + 1);
    if (directory_length + name_length > kMaxPath) {
        path[0] = '\0';
        return false;
    }
    std::memcpy(path, pattern, directory_length);
    std::memcpy(path + directory_length, name, name_length);
    path[directory_length + name_length] = '\0';
    return true;
}

// A file this process holds open (a trace writer's current file) is not deleted, as Windows
// would refuse it.
plat::ErrorCode delete_file(const char* path, bool too_long) {
    return too_long ? plat::path_too_long_error() : plat::remove_unless_open(path).error;
}

int cleanup_by_number(const char* pattern, int keep) {
    plat::FileSearch search;
    plat::FoundFile found;
    plat::Status status = search.first(pattern, &found);
    if (!status.ok()) {
        return static_cast<int>(status.error);
    }
    const std::size_t directory_length = plat::search_directory_length(pattern);
    // In the order found; the newest-first order is made below.
    std::vector<Candidate> found_files;
    do {
        if (!found.is_directory) {
            Candidate candidate;
            candidate.last_write = found.last_write;
            candidate.too_long = !join_path(pattern, directory_length, found.name, candidate.path);
            try {
                found_files.push_back(candidate);
            } catch (const std::bad_alloc&) {
                // A file left out is only kept, never deleted by mistake.
            }
        }
    } while (search.next(&found).ok());
    search.close();

    // Newest first; of two equal times the one found later comes first.
    std::reverse(found_files.begin(), found_files.end());
    std::stable_sort(
        found_files.begin(), found_files.end(),
        [](const Candidate& a, const Candidate& b) { return a.last_write > b.last_write; });

    int result = 0;
    const std::size_t kept = keep > 0 ? static_cast<std::size_t>(keep) : 0;
    for (std::size_t i = kept; i < found_files.size(); ++i) {
        const plat::ErrorCode error = delete_file(found_files[i].path, found_files[i].too_long);
        if (error != 0) {
            result = static_cast<int>(error);
        }
    }
    return result;
}

int cleanup_by_time(const char* pattern, int age_seconds) {
    plat::FileSearch search;
    plat::FoundFile found;
    const plat::Status status = search.first(pattern, &found);
    if (!status.ok()) {
        return static_cast<int>(status.error);
    }
    const std::int64_t limit = unix_seconds(plat::file_time_now()) - age_seconds;
    if (limit < 0) {
        return 0;
    }
    const std::size_t directory_length = plat::search_directory_length(pattern);
    int result = 0;
    do {
        if (!found.is_directory && unix_seconds(found.last_write) <= limit) {
            char path[kMaxPath + 1];
            const bool fits = join_path(pattern, directory_length, found.name, path);
            const plat::ErrorCode error = delete_file(path, !fits);
            if (error != 0) {
                result = static_cast<int>(error);
            }
        }
    } while (search.next(&found).ok());
    return result;
}

}  // namespace

int KTLORSYM_FileCleanupByNum(const char* pattern, int count) {
    if (const int error = pattern_error(pattern)) {
        return error;
    }
    return cleanup_by_number(pattern, count);
}

int KTLORSYM_FileCleanupByTime(const char* pattern, int ageSeconds) {
    if (ageSeconds < 0) {
        return 0;
    }
    if (const int error = pattern_error(pattern)) {
        return error;
    }
    return cleanup_by_time(pattern, ageSeconds);
}
