// The writers' mutex, the management record and the header blocks of a managed set.
#include <cstddef>
#include <cstring>

#include "guarded_copy.h"
#include "library.h"
#include "managed_writer.h"
#include "plat/text.h"

namespace ktl {

namespace mg = ktlor::managed;

namespace {

constexpr std::size_t kLongLineLength = 57;

}  // namespace

Failure ManagedTraceWriter::view_fault(std::uint32_t code) {
    return {kCauseMappedAccess, code};
}

Failure ManagedTraceWriter::lock() {
    if ((flags_ & mg::kOptionNoMutex) != 0 || !management_file_.is_open()) {
        return Failure::none();
    }
    if (!mutex_.is_open()) {
        if (const plat::Status opened = mutex_.open(mutex_name_); !opened.ok()) {
            return {kCauseMutexCreateFailed, opened.error};
        }
    }
    if (lock_depth_++ > 0) {
        return Failure::none();
    }
    switch (mutex_.lock(wait_ms_)) {
        case plat::WaitResult::signalled:
            return Failure::none();
        case plat::WaitResult::abandoned:
            abandoned_ = true;
            repair_after_abandon();
            return Failure::none();
        case plat::WaitResult::timed_out:
            --lock_depth_;
            return {kCauseLockTimeout, 0};
        case plat::WaitResult::failed:
            break;
    }
    --lock_depth_;
    return {kCauseLockTimeout, plat::last_error()};
}

void ManagedTraceWriter::unlock() {
    if ((flags_ & mg::kOptionNoMutex) != 0 || !management_file_.is_open() || lock_depth_ == 0) {
        return;
    }
    if (--lock_depth_ == 0) {
        mutex_.unlock();
    }
}

Failure ManagedTraceWriter::apply_stored_flags(std::uint32_t stored) {
    const std::uint32_t combined = flags_ & stored;
    if ((flags_ & mg::kOptionNoMutex) != 0 && (combined & mg::kOptionNoMutex) == 0) {
        // Another writer locks: from now on this one does too.
        unlock();
        flags_ = combined;
        return lock();
    }
    flags_ = combined;
    return Failure::none();
}

Failure ManagedTraceWriter::read_header(ManagementRecord* copy) {
    std::uint32_t code = 0;
    if (!guarded_copy(copy, management_view_.data(), mg::kHeaderCopySize, &code)) {
        // Shortened under the mapping: map it again, brought back to its 64 bytes, so that
        // the next operation finds a header to rebuild.
        management_view_.map(management_file_, 0, mg::kManagementFileSize,
                             plat::MapAccess::read_write);
        return view_fault(code);
    }
    return Failure::none();
}

Failure ManagedTraceWriter::load_header(ManagementRecord* copy) {
    if (const Failure read = read_header(copy); !read.ok()) {
        return read;
    }
    return mg::header_valid(*copy) ? Failure::none() : rebuild_header(copy);
}

Failure ManagedTraceWriter::store_field(std::size_t offset, std::uint32_t value) {
    std::uint32_t code = 0;
    if (!guarded_copy(management_view_.data() + offset, &value, sizeof value, &code)) {
        return view_fault(code);
    }
    return Failure::none();
}

Failure ManagedTraceWriter::rebuild_header(ManagementRecord* copy) {
    rescan();
    ManagementRecord fresh{};
    std::memcpy(fresh.magic, mg::kMagic, sizeof mg::kMagic);
    fresh.mark = mg::kMark;
    fresh.file_size = size_;
    fresh.file_count = count_;
    fresh.flags = flags_;
    fresh.offset = offset_;
    fresh.current = current_;
    fresh.version = mg::kVersion;
    std::uint32_t code = 0;
    if (!guarded_copy(management_view_.data(), &fresh, mg::kHeaderCopySize, &code)) {
        return view_fault(code);
    }
    *copy = fresh;
    return Failure::none();
}

Failure ManagedTraceWriter::store_fresh_header(std::uint32_t flags) {
    ManagementRecord fresh{};
    std::memcpy(fresh.magic, mg::kMagic, sizeof mg::kMagic);
    fresh.mark = mg::kMark;
    fresh.file_size = size_;
    fresh.file_count = count_;
    fresh.offset = offset_;
    fresh.current = current_;
    fresh.flags = flags;
    fresh.version = mg::kVersion;
    std::uint32_t code = 0;
    if (!guarded_copy(management_view_.data(), &fresh, sizeof fresh, &code)) {
        return view_fault(code);
    }
    return Failure::none();
}

Failure ManagedTraceWriter::write_short_block(ManagementRecord* copy) {
    plat::write_time_stamp(header_.creation_time, plat::local_time_now(), '.');
    char block[kHeaderBlockCapacity];
    const std::size_t length = compose_header_block(block, header_);
    return write_locked(block, length, copy, true);
}

Failure ManagedTraceWriter::write_open_header_block(ManagementRecord* copy) {
    if ((options_ & mg::kOptionShortOpenHeader) != 0) {
        if (copy->offset == 0 && (copy->flags & mg::kOptionNoSwitchHeader) == 0) {
            return write_short_block(copy);
        }
        return Failure::none();
    }
    // The long block: a line naming the writer and its settings, then the header block
    // with the writer's creation time.
    char block[kLongLineLength + kHeaderBlockCapacity + 1];
    char program_id[kProgramIdWidth + 1];
    if (program_id_ != nullptr) {
        store_program_id(program_id, program_id_);
    } else {
        library().copy_program_id(program_id);
    }
    std::size_t pos = 0;
    std::memcpy(block, "**** ", 5);
    pos += 5;
    std::memcpy(block + pos, program_id, kProgramIdWidth);
    pos += kProgramIdWidth;
    block[pos++] = ' ';
    std::memcpy(block + pos, library().process_id_text, 9);
    pos += 9;
    pos += plat::format_cut(block + pos, sizeof block - pos, "%010d %04d %08X\r\n",
                            static_cast<int>(configured_size_), static_cast<int>(configured_count_),
                            options_);
    pos += compose_header_block(block + pos, header_);
    return write_locked(block, pos, copy, true);
}

}  // namespace ktl
