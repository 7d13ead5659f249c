#include "managed_writer.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "guarded_copy.h"
#include "plat/text.h"

namespace ktl {

namespace mg = ktlor::managed;

namespace {

constexpr std::uint32_t kFlagsAboveOptions = ~mg::kOptionMask;
// Room kept for the short header block that starts the next file.
constexpr std::uint64_t kSwitchBlockRoom = 317;
constexpr std::size_t kChunk = 1024;

// Another process may create the directory between our look and our attempt.
Failure make_directory_with_retry(const char* path, bool parent_only) {
    const auto attempt = [&] {
        return parent_only ? plat::ensure_parent_directory(path) : plat::ensure_directory(path);
    };
    plat::EnsureDirectory made = attempt();
    if (made.result == plat::DirectoryResult::create_failed) {
        made = attempt();
    }
    switch (made.result) {
        case plat::DirectoryResult::ok:
            return Failure::none();
        case plat::DirectoryResult::not_a_directory:
            return {kCauseNotADirectory, 0};
        case plat::DirectoryResult::create_failed:
            break;
    }
    return {kCauseMakeDirectoryFailed, made.error};
}

}  // namespace

ManagedTraceWriter::ManagedTraceWriter(const TraceFileConfig& config, const char* program_id)
    : configured_size_(static_cast<std::uint32_t>(config.FileSize)),
      configured_count_(static_cast<std::uint32_t>(config.FileCount)),
      size_(configured_size_),
      count_(configured_count_),
      mapping_size_(configured_size_),
      flags_(kFlagsAboveOptions),
      program_id_(program_id) {
    // The full prefix must leave room for every name of the set; a drive alone names no
    // directory.
    usable_ =
        config.PathPrefix != nullptr &&
        plat::full_path(config.PathPrefix, prefix_, mg::kFullPrefixLimit) &&
        !mg::drive_only(config.PathPrefix) && !mg::drive_only(prefix_) &&
        mg::management_file_name(prefix_, management_name_, sizeof management_name_) &&
        mg::management_directory(prefix_, management_directory_, sizeof management_directory_) &&
        mg::mutex_name(prefix_, mutex_name_, sizeof mutex_name_);
    if (!usable_) {
        prefix_[0] = '\0';
    }
    make_header_texts(&header_);
}

ManagedTraceWriter::~ManagedTraceWriter() {
    close_trace_file();
    close_management_file();
    mutex_.close();
}

void ManagedTraceWriter::set_options(std::uint32_t options) {
    options_ = options & mg::kOptionMask;
    flags_ = options_ | kFlagsAboveOptions;
}

Failure ManagedTraceWriter::open() {
    if (!usable_) {
        return {kCauseInvalidArgument, 0};
    }
    if (management_file_.is_open()) {
        return {kCauseBadState, 0};
    }
    if (const Failure made = make_directory_with_retry(prefix_, true); !made.ok()) {
        return made;
    }
    current_ = 0;
    offset_ = 0;
    if (const Failure made = make_directory_with_retry(management_directory_, false); !made.ok()) {
        return made;
    }
    plat::PathInfo info;
    const bool existed = plat::query_path(management_name_, &info).ok();
    if (const plat::Status opened =
            management_file_.open(management_name_, plat::Access::read_write,
                                  plat::Disposition::open_always, plat::Share::read_write);
        !opened.ok()) {
        return {kCauseOpenFailed, opened.error};
    }
    if (const Failure locked = lock(); !locked.ok()) {
        management_file_.close();
        return locked;
    }
    bool position_from_files = false;
    const Failure opened = open_locked(existed, &position_from_files);
    unlock();
    if (!opened.ok()) {
        close_trace_file();
        close_management_file();
        return opened;
    }
    return position_from_files ? Failure{kCausePositionFromTraceFiles, 0} : Failure::none();
}

// Steps of the open that run under the lock, with the management file open.
Failure ManagedTraceWriter::open_locked(bool existed, bool* position_from_files) {
    management_file_.set_last_write_now();
    std::uint64_t stored_size = 0;
    if (const plat::Status sized = management_file_.size(&stored_size); !sized.ok()) {
        return {kCauseManagementSizeFailed, sized.error};
    }
    const bool has_content = existed || stored_size != 0;
    if (const plat::Status mapped = management_view_.map(
            management_file_, 0, mg::kManagementFileSize, plat::MapAccess::read_write);
        !mapped.ok()) {
        return {kCauseMappingMapFailed, mapped.error};
    }
    ManagementRecord copy{};
    bool valid = false;
    if (has_content) {
        if (const Failure read = read_header(&copy); !read.ok()) {
            return read;
        }
        valid = mg::header_valid(copy);
    }
    if (valid) {
        if (const Failure applied = apply_stored_flags(copy.flags); !applied.ok()) {
            return applied;
        }
        const bool larger = (flags_ & mg::kOptionTakeLarger) != 0;
        size_ = larger && size_ > copy.file_size ? size_ : copy.file_size;
        count_ = larger && count_ > copy.file_count ? count_ : copy.file_count;
        mapping_size_ = size_;
        current_ = copy.current;
        offset_ = copy.offset;
    } else {
        const bool found = rescan();
        *position_from_files = found && !existed;
        if (const Failure stored = store_fresh_header(mg::kFlagsUnset); !stored.ok()) {
            return stored;
        }
    }
    if (const Failure prepared = prepare_files(Prepare::all); !prepared.ok()) {
        return prepared;
    }
    if (valid) {
        for (const auto& [field, value] :
             {std::pair{offsetof(ManagementRecord, mark), mg::kMark},
              std::pair{offsetof(ManagementRecord, file_size), size_},
              std::pair{offsetof(ManagementRecord, file_count), count_},
              std::pair{offsetof(ManagementRecord, version), mg::kVersion}}) {
            if (const Failure stored = store_field(field, value); !stored.ok()) {
                return stored;
            }
        }
    }
    if (const Failure loaded = load_header(&copy); !loaded.ok()) {
        return loaded;
    }
    repair_after_abandon();
    if (const Failure applied = apply_stored_flags(copy.flags); !applied.ok()) {
        return applied;
    }
    if (const Failure stored = store_field(offsetof(ManagementRecord, flags), flags_);
        !stored.ok()) {
        return stored;
    }
    copy.flags = flags_;
    return write_open_header_block(&copy);
}

Failure ManagedTraceWriter::write_line(const char* bytes, std::size_t n) {
    if (n == 0) {
        return Failure::none();
    }
    if (bytes == nullptr) {
        return {kCauseInvalidArgument, 0};
    }
    if (!management_view_.is_mapped()) {
        return {kCauseBadState, 0};
    }
    if (const Failure locked = lock(); !locked.ok()) {
        return locked;
    }
    ManagementRecord copy{};
    Failure failure = load_header(&copy);
    if (failure.ok()) {
        failure = apply_stored_flags(copy.flags);
    }
    if (failure.ok()) {
        failure = write_locked(bytes, n, &copy, false);
    }
    unlock();
    return failure;
}

// Writes a line (or a header block) at the stored position of copy, switching to the
// next file when it does not fit. The caller holds the lock.
Failure ManagedTraceWriter::write_locked(const char* bytes, std::size_t n, ManagementRecord* copy,
                                         bool block) {
    if (!trace_view_.is_mapped()) {
        if (const Failure prepared = prepare_files(Prepare::current_only); !prepared.ok()) {
            return prepared;
        }
    }
    count_ = copy->file_count;
    bool change = false;
    if (copy->file_size != size_) {
        size_ = copy->file_size;
        mapping_size_ = size_;
        change = true;
    }
    if (copy->current != current_) {
        current_ = copy->current;
        change = true;
    }
    bool reserve_block = false;
    const std::uint64_t needed = mg::kTailLength + static_cast<std::uint64_t>(n);
    if (copy->file_size < copy->offset + needed) {
        change = true;
        const std::uint32_t next = following(copy->current, copy->file_count);
        reserve_block = !block && (flags_ & mg::kOptionNoSwitchHeader) == 0;
        const std::uint64_t room = needed + (reserve_block ? kSwitchBlockRoom : 0);
        // A line longer than a file gets a file of its own size.
        mapping_size_ = room > copy->file_size ? static_cast<std::uint32_t>(room) : size_;
        current_ = next;
        copy->current = next;
        copy->offset = 0;
        if (const Failure stored = store_field(offsetof(ManagementRecord, current), next);
            !stored.ok()) {
            return stored;
        }
        if (const Failure stored = store_field(offsetof(ManagementRecord, offset), 0);
            !stored.ok()) {
            return stored;
        }
    }
    if (change) {
        if (const Failure prepared = prepare_files(Prepare::current_only); !prepared.ok()) {
            return prepared;
        }
    }
    if (reserve_block) {
        if (const Failure written = write_short_block(copy); !written.ok()) {
            return written;
        }
    }
    if (copy->offset + needed > trace_view_.size()) {
        return {kCauseBadState, 0};  // the view does not reach the stored offset
    }
    const std::uint32_t end = copy->offset + static_cast<std::uint32_t>(n);
    if (const Failure stored = store_field(offsetof(ManagementRecord, offset), end); !stored.ok()) {
        return stored;
    }
    if (const Failure put = put_at(copy->offset, bytes, n); !put.ok()) {
        return put;
    }
    copy->offset = end;
    return Failure::none();
}

// The bytes, then the 0x1A byte and the end mark after them.
Failure ManagedTraceWriter::put_at(std::uint32_t offset, const char* bytes, std::size_t n) {
    static constexpr auto kTail = [] {
        std::array<char, mg::kTailLength> tail{};
        tail[0] = static_cast<char>(mg::kEndOfFileByte);
        for (std::size_t i = 0; i < mg::kEndMarkLength; ++i) {
            tail[i + 1] = mg::kEndMark[i];
        }
        return tail;
    }();
    unsigned char* at = trace_view_.data() + offset;
    std::uint32_t code = 0;
    if (!guarded_copy(at, bytes, n, &code) ||
        !guarded_copy(at + n, kTail.data(), kTail.size(), &code)) {
        // The file shrank under the mapping: map it again, brought back to size, next time.
        close_trace_file();
        return view_fault(code);
    }
    return Failure::none();
}

Failure ManagedTraceWriter::flush() {
    if (!management_view_.is_mapped()) {
        return {kCauseBadState, 0};
    }
    if (const Failure locked = lock(); !locked.ok()) {
        return locked;
    }
    ManagementRecord copy{};
    Failure failure = load_header(&copy);
    if (failure.ok()) {
        failure = apply_stored_flags(copy.flags);
    }
    if (failure.ok()) {
        failure = read_header(&copy);
    }
    unlock();
    if (!failure.ok()) {
        return failure;
    }
    if (!mg::header_valid(copy)) {
        return {kCauseMappedAccess, 0};
    }
    if (copy.current != current_ || !trace_view_.is_mapped()) {
        return Failure::none();
    }
    if (flushed_up_to_ > copy.offset) {
        flushed_up_to_ = 0;
    }
    const std::size_t through = copy.offset + mg::kTailLength;
    if (const plat::Status flushed = trace_view_.flush(flushed_up_to_, through - flushed_up_to_);
        !flushed.ok()) {
        return {kCauseFlushFailed, flushed.error};
    }
    flushed_up_to_ = copy.offset;
    return Failure::none();
}

Failure ManagedTraceWriter::backup(const char* file_name, int mode) {
    if (const Failure made = make_directory_with_retry(file_name, true); !made.ok()) {
        return made;
    }
    if (!usable_) {
        return Failure::none();
    }
    if (!management_view_.is_mapped()) {
        return {kCauseBadState, 0};
    }
    // One of the set's own files as the target would be emptied under the writers and
    // then copied into itself.
    if (const Failure own = refuse_own_file(file_name); !own.ok()) {
        return own;
    }
    if (!trace_view_.is_mapped()) {
        if (const Failure prepared = prepare_files(Prepare::current_only); !prepared.ok()) {
            return prepared;
        }
    }
    if (const Failure locked = lock(); !locked.ok()) {
        return locked;
    }
    ManagementRecord copy{};
    Failure failure = load_header(&copy);
    if (failure.ok()) {
        failure = apply_stored_flags(copy.flags);
    }
    const bool keep_lock = mode == 0;
    if (!failure.ok() || !keep_lock) {
        unlock();
        if (!failure.ok()) {
            return failure;
        }
    }
    plat::File target;
    if (const plat::Status created =
            target.open(file_name, plat::Access::read_write, plat::Disposition::create_always,
                        plat::Share::read_write);
        !created.ok()) {
        failure = {kCauseOpenFailed, created.error};
    } else {
        failure = copy_backup(&target, copy);
        const plat::Status closed = target.close();
        if (failure.ok() && !closed.ok()) {
            failure = {kCauseCloseFailed, closed.error};
        }
        if (!failure.ok()) {
            // A partial copy would pass for the whole set.
            plat::remove_file(file_name);
        }
    }
    if (keep_lock) {
        unlock();
    }
    return failure;
}

// Oldest first: the file after the current one, round to the current one, each up to its
// end of data; the current file exactly up to the stored offset.
Failure ManagedTraceWriter::copy_backup(plat::File* target, const ManagementRecord& copy) {
    char name[mg::kMaxNameLength];
    char chunk[kChunk];
    std::uint32_t number = copy.current;
    for (std::uint32_t k = 1; k <= copy.file_count; ++k) {
        number = following(number, copy.file_count);
        trace_file_name(number, name);
        plat::File source;
        if (!source
                 .open(name, plat::Access::read, plat::Disposition::open_existing,
                       plat::Share::read_write)
                 .ok()) {
            continue;
        }
        const bool current = number == copy.current;
        std::uint64_t left = copy.offset;
        mg::EndOfDataScanner scanner;
        std::size_t got = 0;
        while (source.read(chunk, sizeof chunk, &got).ok() && got != 0) {
            std::size_t take = got;
            bool last = false;
            if (current) {
                take = left < got ? static_cast<std::size_t>(left) : got;
                left -= take;
                last = left == 0;
            } else {
                const std::uint64_t before = scanner.used_length();
                last = scanner.feed(chunk, got);
                take = static_cast<std::size_t>(scanner.used_length() - before);
                if (const void* zero = std::memchr(chunk, '\0', take)) {
                    take = static_cast<std::size_t>(static_cast<const char*>(zero) - chunk);
                    last = true;
                }
            }
            if (const plat::Status wrote = target->write(chunk, take, nullptr); !wrote.ok()) {
                return {kCauseWriteFailed, wrote.error};
            }
            if (last) {
                break;
            }
        }
    }
    return Failure::none();
}

Failure ManagedTraceWriter::close() {
    if (!usable_) {
        return Failure::none();
    }
    if (const Failure locked = lock(); !locked.ok()) {
        return locked;
    }
    const Failure closed = close_trace_file();
    unlock();
    if (!closed.ok()) {
        return closed;
    }
    return close_management_file();
}

}  // namespace ktl
