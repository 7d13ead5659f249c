// How a reader finds the managed set a trace file belongs to, and how it reads the set's
// management record whichever byte order wrote it. Shared by the reader library and the
// follower program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ktlor/managed_layout.h"

namespace ktlor::reader {

// One way of splitting a trace file's name: the set's prefix and the file's number in it.
struct SetCandidate {
    std::string prefix;
    std::uint32_t number = 0;
};

// The splits to try, in order, for "<prefix><n>.log": a last digit 1 to 9 alone first, then
// the last two digits when they make 1 to 64 (trc12.log: file 2 of trc1, then file 12 of
// trc). count is 0 when the name cannot be a trace file's (no digit before ".log").
struct SetCandidates {
    SetCandidate candidate[2];
    int count = 0;
};

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Whether path ends in a digit and ".log".
inline bool trace_file_form(const std::string& path) {
    constexpr std::size_t kSuffix = 4;  // ".log"
    return path.size() >= kSuffix + 1 &&
           path.compare(path.size() - kSuffix, kSuffix, ".log") == 0 &&
           is_digit(path[path.size() - kSuffix - 1]);
}

inline SetCandidates set_candidates(const std::string& path) {
    SetCandidates result;
    if (!trace_file_form(path)) {
        return result;
    }
    const std::size_t last = path.size() - 5;
    const int low = path[last] - '0';
    if (low >= 1) {
        result.candidate[result.count++] = {path.substr(0, last), static_cast<std::uint32_t>(low)};
    }
    if (last >= 1 && is_digit(path[last - 1])) {
        const int both = (path[last - 1] - '0') * 10 + low;
        if (both >= 1 && both <= static_cast<int>(managed::kMaxFileCount)) {
            result.candidate[result.count++] = {path.substr(0, last - 1),
                                                static_cast<std::uint32_t>(both)};
        }
    }
    return result;
}

inline std::string management_path_of(const std::string& prefix) {
    char name[4096];
    if (!managed::management_file_name(prefix.c_str(), name, sizeof name)) {
        return {};
    }
    return name;
}

// The mark as a reader on the other byte order sees it.
inline constexpr std::uint32_t kSwappedMark = 0x00BFBBEFu;

inline std::uint32_t swap_bytes(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// Puts a record written in either byte order into this one: the mark says which, and a
// record without a mark is taken as it stands when it is valid so, else swapped. False for
// an unknown mark. *swapped tells whether the fields were turned.
inline bool settle_byte_order(managed::ManagementRecord* record, bool* swapped) {
    *swapped = false;
    const bool turn =
        record->mark == kSwappedMark || (record->mark == 0 && !managed::header_valid(*record));
    if (!turn) {
        return record->mark == managed::kMark || record->mark == 0;
    }
    std::uint32_t* fields[] = {&record->mark,   &record->file_size, &record->file_count,
                               &record->offset, &record->current,   &record->flags,
                               &record->version};
    for (std::uint32_t* field : fields) {
        *field = swap_bytes(*field);
    }
    *swapped = true;
    return true;
}

// The record's lock kind: 1 the whole management file, 2 the writers' mutex, 0 unknown.
// A record without a version is of the older kind when it came in the other byte order.
inline std::uint32_t lock_version(const managed::ManagementRecord& record, bool swapped) {
    if (record.version == 0) {
        return swapped ? 1 : 2;
    }
    return record.version == 1 || record.version == 2 ? record.version : 0;
}

}  // namespace ktlor::reader
