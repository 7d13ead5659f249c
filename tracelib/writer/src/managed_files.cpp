// The trace files of a managed set: finding where the data ends, bringing files to their
// full size before they are mapped, and closing them.
#include <cstring>

#include "managed_writer.h"
#include "plat/text.h"

namespace ktl {

namespace mg = ktlor::managed;

namespace {

constexpr std::size_t kChunk = 1024;

}  // namespace

void ManagedTraceWriter::trace_file_name(std::uint32_t number, char* out) const {
    mg::trace_file_name(prefix_, number, out, mg::kMaxNameLength);
}

std::uint32_t ManagedTraceWriter::used_length(const char* name) const {
    plat::File file;
    if (!file.open(name, plat::Access::read, plat::Disposition::open_existing,
                   plat::Share::read_write)
             .ok()) {
        return 0;
    }
    mg::EndOfDataScanner scanner;
    char chunk[kChunk];
    std::size_t got = 0;
    while (file.read(chunk, sizeof chunk, &got).ok() && got != 0) {
        if (scanner.feed(chunk, got)) {
            return static_cast<std::uint32_t>(scanner.used_length());
        }
    }
    return 0;
}

bool ManagedTraceWriter::rescan() {
    std::uint32_t newest = 0;
    plat::PathInfo newest_info;
    char name[mg::kMaxNameLength];
    for (std::uint32_t n = 1; n <= count_; ++n) {
        trace_file_name(n, name);
        plat::PathInfo info;
        if (!plat::query_path(name, &info).ok() || info.is_directory) {
            continue;
        }
        // Equal times: the higher number.
        if (newest == 0 || info.written_after(newest_info) || info.written_with(newest_info)) {
            newest = n;
            newest_info = info;
        }
    }
    if (newest == 0) {
        current_ = 1;
        offset_ = 0;
        return false;
    }
    trace_file_name(newest, name);
    offset_ = used_length(name);
    if (offset_ >= size_) {
        current_ = following(newest, count_);
        offset_ = 0;
    } else {
        current_ = newest;
    }
    return true;
}

Failure ManagedTraceWriter::close_trace_file() {
    Failure failure;
    if (const plat::Status unmapped = trace_view_.unmap(); !unmapped.ok()) {
        failure = {kCauseUnmapFailed, unmapped.error};
    }
    if (trace_file_.is_open()) {
        trace_file_.set_last_write_now();
        if (const plat::Status closed = trace_file_.close(); !closed.ok() && failure.ok()) {
            failure = {kCauseCloseFailed, closed.error};
        }
    }
    return failure;
}

Failure ManagedTraceWriter::close_management_file() {
    Failure failure;
    if (const plat::Status unmapped = management_view_.unmap(); !unmapped.ok()) {
        failure = {kCauseUnmapFailed, unmapped.error};
    }
    if (management_file_.is_open()) {
        management_file_.set_last_write_now();
        if (const plat::Status closed = management_file_.close(); !closed.ok() && failure.ok()) {
            failure = {kCauseCloseFailed, closed.error};
        }
    }
    lock_depth_ = 0;
    return failure;
}

// Brings one file to the mapping size unless it is prepared already. *file is left open
// when the file was worked on.
Failure ManagedTraceWriter::prepare_one(std::uint32_t number, plat::File* file) {
    char name[mg::kMaxNameLength];
    trace_file_name(number, name);
    plat::PathInfo info;
    const bool exists = plat::query_path(name, &info).ok() && !info.is_directory;
    if (exists && ((flags_ & mg::kOptionNoSpaceFill) != 0 || info.size >= mapping_size_)) {
        return Failure::none();
    }
    if (const plat::Status opened =
            file->open(name, plat::Access::read_write, plat::Disposition::open_always,
                       plat::Share::read_write);
        !opened.ok()) {
        return {kCauseOpenFailed, opened.error};
    }
    std::uint64_t end = 0;
    if (const plat::Status sized = file->size(&end); !sized.ok()) {
        return {kCauseSeekFailed, sized.error};
    }
    if (end == 0) {
        char tail[mg::kTailLength];
        tail[0] = static_cast<char>(mg::kEndOfFileByte);
        std::memcpy(tail + 1, mg::kEndMark, mg::kEndMarkLength);
        if (const plat::Status wrote = file->write_at(0, tail, sizeof tail, nullptr); !wrote.ok()) {
            return {kCauseWriteFailed, wrote.error};
        }
        end = sizeof tail;
    }
    if ((flags_ & mg::kOptionNoSpaceFill) == 0) {
        char spaces[kChunk];
        std::memset(spaces, ' ', sizeof spaces);
        while (end < mapping_size_) {
            const std::size_t n =
                mapping_size_ - end < sizeof spaces ? mapping_size_ - end : sizeof spaces;
            if (const plat::Status wrote = file->write_at(end, spaces, n, nullptr); !wrote.ok()) {
                return {kCauseWriteFailed, wrote.error};
            }
            end += n;
        }
    }
    return Failure::none();
}

Failure ManagedTraceWriter::prepare_files(Prepare which) {
    if (const Failure closed = close_trace_file(); !closed.ok()) {
        return closed;
    }
    if (current_ < 1 || current_ > count_) {
        current_ = 1;
    }
    const bool all = which == Prepare::all && (flags_ & mg::kOptionPrepareCurrentOnly) == 0;
    std::uint32_t number = all ? current_ : count_;
    const std::uint32_t files = all ? count_ : 1;
    for (std::uint32_t k = 0; k < files; ++k) {
        // The current file comes last.
        number = all ? following(number, count_) : current_;
        if (const plat::Status closed = trace_file_.close(); !closed.ok()) {
            return {kCauseCloseFailed, closed.error};
        }
        if (const Failure prepared = prepare_one(number, &trace_file_); !prepared.ok()) {
            trace_file_.close();
            return prepared;
        }
    }
    // Only the current file may still be open here.
    char name[mg::kMaxNameLength];
    trace_file_name(current_, name);
    if (!trace_file_.is_open()) {
        if (const plat::Status opened =
                trace_file_.open(name, plat::Access::read_write, plat::Disposition::open_always,
                                 plat::Share::read_write);
            !opened.ok()) {
            return {kCauseOpenFailed, opened.error};
        }
    }
    trace_file_.set_last_write_now();
    std::uint64_t size = 0;
    if (const plat::Status sized = trace_file_.size(&size); !sized.ok()) {
        trace_file_.close();
        return {kCauseSeekFailed, sized.error};
    }
    if (size < mapping_size_) {
        const char zero = '\0';
        if (const plat::Status wrote = trace_file_.write_at(mapping_size_ - 1, &zero, 1, nullptr);
            !wrote.ok()) {
            trace_file_.close();
            return {kCauseWriteFailed, wrote.error};
        }
    }
    if (const plat::Status mapped =
            trace_view_.map(trace_file_, 0, mapping_size_, plat::MapAccess::read_write);
        !mapped.ok()) {
        trace_file_.close();
        return {kCauseMappingMapFailed, mapped.error};
    }
    flushed_up_to_ = 0;
    return Failure::none();
}

// The dead writer may have raised the offset and copied part of its line, or none of it:
// an end-of-data mark left before the offset would hide every later line, and the mark
// after the offset may be missing. Blank from an early mark to the offset, ending the blank
// as a line, and put the mark at the offset. Through the file, whichever file the view holds.
void ManagedTraceWriter::repair_after_abandon() {
    if (!abandoned_ || !management_view_.is_mapped()) {
        return;
    }
    abandoned_ = false;
    ManagementRecord copy{};
    if (!read_header(&copy).ok() || !mg::header_valid(copy)) {
        return;  // rebuilt from the files on the next read
    }
    char name[mg::kMaxNameLength];
    trace_file_name(copy.current, name);
    plat::File file;
    std::uint64_t size = 0;
    if (!file.open(name, plat::Access::read_write, plat::Disposition::open_existing,
                   plat::Share::read_write)
             .ok() ||
        !file.size(&size).ok()) {
        return;
    }
    const std::uint64_t end = copy.offset < size ? copy.offset : size;
    mg::EndOfDataScanner scanner;
    char chunk[kChunk];
    std::size_t got = 0;
    while (scanner.used_length() < end && file.read(chunk, sizeof chunk, &got).ok() && got != 0) {
        const std::uint64_t left = end - scanner.used_length();
        if (scanner.feed(chunk, left < got ? static_cast<std::size_t>(left) : got)) {
            break;
        }
    }
    if (scanner.found()) {
        std::memset(chunk, ' ', sizeof chunk);
        for (std::uint64_t at = scanner.used_length(); at < end;) {
            const std::size_t n = end - at < sizeof chunk ? end - at : sizeof chunk;
            if (at + n == end && n >= 2) {
                chunk[n - 2] = '\r';
                chunk[n - 1] = '\n';
            }
            if (!file.write_at(at, chunk, n, nullptr).ok()) {
                return;
            }
            at += n;
        }
    }
    if (copy.offset + mg::kTailLength <= size) {
        char tail[mg::kTailLength];
        tail[0] = static_cast<char>(mg::kEndOfFileByte);
        std::memcpy(tail + 1, mg::kEndMark, mg::kEndMarkLength);
        file.write_at(copy.offset, tail, sizeof tail, nullptr);
    }
}

Failure ManagedTraceWriter::refuse_own_file(const char* path) const {
    char name[mg::kMaxNameLength];
    for (std::uint32_t n = 1; n <= mg::kMaxFileCount; ++n) {
        trace_file_name(n, name);
        if (plat::same_file(path, name)) {
            return {kCauseOpenFailed, plat::sharing_violation_error()};
        }
    }
    if (plat::same_file(path, management_name_)) {
        return {kCauseOpenFailed, plat::sharing_violation_error()};
    }
    return Failure::none();
}

}  // namespace ktl
