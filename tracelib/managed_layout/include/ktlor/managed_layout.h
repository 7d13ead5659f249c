// The files of a managed trace set: the 64-byte management record that holds the shared
// write position, the names of the trace files, the management file and the writers'
// mutex, and the end-of-data mark that follows the last line of the current file.
#pragma once

#include <bit>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "plat/file.h"

namespace ktlor::managed {

static_assert(std::endian::native == std::endian::little, "the record is stored little-endian");

inline constexpr char kMagic[4] = {'Z', 'U', 'N', 'O'};
inline constexpr std::uint32_t kMark = 0xEFBBBF00u;  // bytes 00 BF BB EF
inline constexpr std::uint32_t kVersion = 2;
inline constexpr std::uint32_t kFlagsUnset = 0xFFFFFFFFu;  // before the first writer opened

inline constexpr std::uint32_t kMinFileSize = 4096;
inline constexpr std::uint32_t kMaxFileSize = 16777216;
inline constexpr std::uint32_t kMinFileCount = 1;
inline constexpr std::uint32_t kMaxFileCount = 64;

// Writer options; the flags field holds their AND over the writers, all higher bits set.
inline constexpr std::uint32_t kOptionTakeLarger = 1;   // larger of own / stored size, count
inline constexpr std::uint32_t kOptionNoSpaceFill = 2;  // new files: mark + one 0x00 at the end
inline constexpr std::uint32_t kOptionPrepareCurrentOnly =
    4;                                                     // open prepares the current file only
inline constexpr std::uint32_t kOptionNoSwitchHeader = 8;  // no header block at a switch
inline constexpr std::uint32_t kOptionNoMutex = 16;        // the writer never locks
inline constexpr std::uint32_t kOptionShortOpenHeader =
    32;  // short block at open, at offset 0 only
inline constexpr std::uint32_t kOptionMask = 63;

// After the last line of the current file: this byte, then the end mark.
inline constexpr unsigned char kEndOfFileByte = 0x1A;
inline constexpr char kEndMark[] = "\r\n\r\n\r\n\r\n----------< End of Data >----------\r\n\r\n";
inline constexpr std::size_t kEndMarkLength = sizeof kEndMark - 1;
static_assert(kEndMarkLength == 47);
// What a line needs beyond its own bytes: the 0x1A byte and the end mark.
inline constexpr std::size_t kTailLength = 1 + kEndMarkLength;

// The management file, exactly as stored.
struct ManagementRecord {
    char magic[4];
    std::uint32_t mark;
    std::uint32_t file_size;
    std::uint32_t file_count;
    std::uint32_t offset;   // where the next line goes in the current file (the 0x1A stands there)
    std::uint32_t current;  // 1 to file_count
    std::uint32_t flags;
    std::uint32_t version;
    unsigned char unused[32];
};
static_assert(sizeof(ManagementRecord) == 64);
static_assert(offsetof(ManagementRecord, magic) == 0);
static_assert(offsetof(ManagementRecord, mark) == 4);
static_assert(offsetof(ManagementRecord, file_size) == 8);
static_assert(offsetof(ManagementRecord, file_count) == 12);
static_assert(offsetof(ManagementRecord, offset) == 16);
static_assert(offsetof(ManagementRecord, current) == 20);
static_assert(offsetof(ManagementRecord, flags) == 24);
static_assert(offsetof(ManagementRecord, version) == 28);
static_assert(offsetof(ManagementRecord, unused) == 32);

inline constexpr std::size_t kManagementFileSize = sizeof(ManagementRecord);
// Writers and readers work on a copy of the first 32 bytes.
inline constexpr std::size_t kHeaderCopySize = offsetof(ManagementRecord, unused);

inline bool header_valid(const ManagementRecord& header) {
    return std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 &&
           header.file_size >= kMinFileSize && header.file_size <= kMaxFileSize &&
           header.file_count >= kMinFileCount && header.file_count <= kMaxFileCount &&
           header.current >= 1 && header.current <= header.file_count;
}

// The full prefix must be shorter than this.
inline constexpr std::size_t kFullPrefixLimit = 514;
// Room for any name of the set built from a usable full prefix, with its NUL.
inline constexpr std::size_t kMaxNameLength = kFullPrefixLimit + 32;

// A prefix that is only a drive ("D:") names no directory and no file.
inline bool drive_only(const char* prefix) {
    return prefix[0] != '\0' && prefix[1] == ':' && prefix[2] == '\0';
}

// Length of the directory part of a prefix (up to its last separator, excluded), or
// npos when it has no separator.
inline constexpr std::size_t kNoSeparator = static_cast<std::size_t>(-1);
inline std::size_t directory_length(const char* prefix) {
    std::size_t last = kNoSeparator;
    for (std::size_t i = 0; prefix[i] != '\0';) {
        if (plat::is_path_separator(prefix[i])) {
            last = i;
        }
        const std::size_t step = plat::path_character_length(prefix + i);
        i += step == 0 ? 1 : step;
    }
    return last;
}

namespace detail {
// snprintf that tells whether the whole text fitted (a cut text is still terminated).
__attribute__((format(printf, 3, 4))) inline bool format(char* out, std::size_t capacity,
                                                         const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(out, capacity, format, args);
    va_end(args);
    return written >= 0 && static_cast<std::size_t>(written) < capacity;
}
}  // namespace detail

// Trace file n: "<prefix><n>.log". False when it does not fit (out is then cut).
inline bool trace_file_name(const char* prefix, std::uint32_t n, char* out, std::size_t capacity) {
    return detail::format(out, capacity, "%s%u.log", prefix, n);
}

// "<directory>/mmap", the folder of the management file ("." without a directory).
inline bool management_directory(const char* prefix, char* out, std::size_t capacity) {
    const std::size_t dir = directory_length(prefix);
    return dir == kNoSeparator ? detail::format(out, capacity, ".%cmmap", plat::kPathSeparator)
                               : detail::format(out, capacity, "%.*s%cmmap", static_cast<int>(dir),
                                                prefix, plat::kPathSeparator);
}

// "<directory>/mmap/<base>.mm": D/trace/svc gives D/trace/mmap/svc.mm.
inline bool management_file_name(const char* prefix, char* out, std::size_t capacity) {
    const std::size_t dir = directory_length(prefix);
    const char* base = dir == kNoSeparator ? prefix : prefix + dir + 1;
    return dir == kNoSeparator
               ? detail::format(out, capacity, ".%cmmap%c%s.mm", plat::kPathSeparator,
                                plat::kPathSeparator, base)
               : detail::format(out, capacity, "%.*s%cmmap%c%s.mm", static_cast<int>(dir), prefix,
                                plat::kPathSeparator, plat::kPathSeparator, base);
}

// The writers' mutex: "Global\" and the prefix with every backslash and colon turned into
// a slash (D:\trace\svc gives Global\D//trace/svc). Old systems outside a remote session
// leave "Global\" out.
inline bool mutex_name(const char* prefix, char* out, std::size_t capacity,
                       bool global_namespace = true) {
    if (!detail::format(out, capacity, "%s%s", global_namespace ? "Global\\" : "", prefix)) {
        return false;
    }
    for (char* c = out + (global_namespace ? 7 : 0); *c != '\0'; ++c) {
        if (*c == '\\' || *c == ':') {
            *c = '/';
        }
    }
    return true;
}

// Finds the end of a file's data: the first 0x1A that stands at the start of the file or
// right after CR LF. Fed the file in pieces, in order.
class EndOfDataScanner {
  public:
    // Scans the next n bytes. True when the mark was found; used_length() is then the
    // data's length and later feeds change nothing.
    bool feed(const void* bytes, std::size_t n) {
        const auto* p = static_cast<const unsigned char*>(bytes);
        for (std::size_t i = 0; i < n && !found_; ++i) {
            const unsigned char c = p[i];
            if (c == kEndOfFileByte && (scanned_ == 0 || (before_ == '\r' && last_ == '\n'))) {
                found_ = true;
                return true;
            }
            before_ = last_;
            last_ = c;
            ++scanned_;
        }
        return found_;
    }
    bool found() const { return found_; }
    // Bytes before the mark (all bytes scanned while it has not been found).
    std::uint64_t used_length() const { return scanned_; }

  private:
    std::uint64_t scanned_ = 0;
    unsigned char before_ = 0;
    unsigned char last_ = 0;
    bool found_ = false;
};

}  // namespace ktlor::managed
