// Deleting old files that match a pattern, by age or by keeping only the newest ones. Runs
// under the library lock so that no writer of this process switches files meanwhile.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "library.h"
#include "plat/file.h"
#include "plat/file_search.h"
#include "plat/text.h"
#include "plat/time.h"
#include "thread_record.h"

using namespace ktl;

namespace {

constexpr std::size_t kMaxPattern = 520;
constexpr std::size_t kMaxFilePath = kMaxPattern + plat::kMaxFileName;
constexpr int kModeByAge = 1;
constexpr int kModeByCount = 2;
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kUnixEpochFileTime = 116444736000000000LL;

std::int64_t unix_seconds(plat::FileTime time) {
    const std::int64_t ticks = time - kUnixEpochFileTime;
    return ticks >= 0 ? ticks / kTicksPerSecond
                      : -((-ticks + kTicksPerSecond - 1) / kTicksPerSecond);
}

// Deletes directory part + name; a failure is recorded and the walk goes on. A file this
// process holds open (a writer's current file) is not deleted, as Windows would refuse it.
bool delete_match(ThreadRecord* record, const char* pattern, std::size_t directory_length,
                  const char* name) {
    char path[kMaxFilePath + 1];
    std::memcpy(path, pattern, directory_length);
    plat::copy_cut(path + directory_length, sizeof path - directory_length, name);
    const plat::Status removed = plat::remove_unless_open(path);
    if (!removed.ok()) {
        record->fail(kFnLogFileClear, Failure{kCauseDeleteFailed, removed.error});
        return false;
    }
    return true;
}

bool start_search(ThreadRecord* record, plat::FileSearch* search, const char* pattern,
                  plat::FoundFile* found) {
    const plat::Status status = search->first(pattern, found);
    if (!status.ok()) {
        record->fail(kFnLogFileClear, Failure{kCauseSearchFailed, status.error});
        return false;
    }
    return true;
}

int clear_by_age(ThreadRecord* record, const char* pattern, int age) {
    plat::FileSearch search;
    plat::FoundFile found;
    if (!start_search(record, &search, pattern, &found)) {
        return -1;
    }
    const std::int64_t now = unix_seconds(plat::file_time_now());
    if (age > now) {
        return 0;
    }
    const std::int64_t limit = now - age;
    const std::size_t directory_length = plat::search_directory_length(pattern);
    int result = 0;
    do {
        if (!found.is_directory && unix_seconds(found.last_write) <= limit &&
            !delete_match(record, pattern, directory_length, found.name)) {
            result = -1;
        }
    } while (search.next(&found).ok());
    return result;
}

int clear_by_count(ThreadRecord* record, const char* pattern, int keep) {
    plat::FileSearch search;
    plat::FoundFile found;
    if (!start_search(record, &search, pattern, &found)) {
        return -1;
    }
    int result = 0;
    std::vector<plat::FoundFile> files;  // in the order found
    do {
        if (found.is_directory) {
            continue;
        }
        try {
            files.push_back(found);
        } catch (const std::bad_alloc&) {
            // Left out, so kept: fewer deletions than asked for, which the result reports.
            record->fail(kFnLogFileClear, kCauseAllocFailed);
            result = -1;
        }
    } while (search.next(&found).ok());
    search.close();

    // Newest first; of two equal times the one found later comes first.
    std::reverse(files.begin(), files.end());
    std::stable_sort(files.begin(), files.end(),
                     [](const plat::FoundFile& a, const plat::FoundFile& b) {
                         return a.last_write > b.last_write;
                     });
    const std::size_t directory_length = plat::search_directory_length(pattern);
    for (std::size_t i = static_cast<std::size_t>(keep); i < files.size(); ++i) {
        if (!delete_match(record, pattern, directory_length, files[i].name)) {
            result = -1;
        }
    }
    return result;
}

}  // namespace

int KTLORSYM_LogFileClear(const char* pattern, int mode, int value) {
    ThreadRecord* record = current_thread_record();
    if (record == nullptr) {
        return -1;
    }
    record->clear();
    if (pattern == nullptr || plat::bounded_length(pattern, kMaxPattern + 1) > kMaxPattern ||
        value < 0 || (mode != kModeByAge && mode != kModeByCount)) {
        record->fail(kFnLogFileClear, kCauseInvalidArgument);
        return -1;
    }
    std::lock_guard guard(library().lock);
    return mode == kModeByAge ? clear_by_age(record, pattern, value)
                              : clear_by_count(record, pattern, value);
}
