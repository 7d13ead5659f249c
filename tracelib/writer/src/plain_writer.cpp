#include "plain_writer.h"

#include <cstring>

#include "plat/text.h"
#include "plat/time.h"

namespace ktl {

namespace {

constexpr std::uint64_t kMaxOffset = 2147483647u;
constexpr std::size_t kBackupChunk = 1024;
constexpr std::size_t kMaxFileName = kPlainMaxPrefix + 16;

}  // namespace

Failure create_directory_of(const char* path) {
    const plat::EnsureDirectory made = plat::ensure_parent_directory(path);
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

PlainTraceWriter::PlainTraceWriter(const TraceFileConfig& config)
    : size_limit_(static_cast<std::uint32_t>(config.FileSize)),
      file_count_(static_cast<std::uint32_t>(config.FileCount)) {
    plat::copy_cut(prefix_, sizeof prefix_, config.PathPrefix);
    make_header_texts(&header_);
}

void PlainTraceWriter::file_name(std::uint32_t number, char* out, std::size_t capacity) const {
    plat::format_cut(out, capacity, "%s%u.log", prefix_, number);
}

Failure PlainTraceWriter::open() {
    if (file_.is_open()) {
        return {kCauseBadState, 0};
    }
    if (const Failure made = create_directory_of(prefix_); !made.ok()) {
        return made;
    }
    unconfirmed_size_ = 0;
    checked_at_ = plat::tick_count_ms();

    // The newest existing file is where the previous run stopped. Times that tie (file
    // times move in steps of milliseconds, a quick writer fills several files in one) prefer
    // a file with room over a full one, as only the file last written can have room; then
    // the higher number wins.
    std::uint32_t newest = 0;
    plat::PathInfo newest_info;
    char name[kMaxFileName];
    for (std::uint32_t n = 1; n <= file_count_; ++n) {
        file_name(n, name, sizeof name);
        plat::PathInfo info;
        if (!plat::query_path(name, &info).ok() || info.is_directory) {
            continue;
        }
        const bool better = newest == 0 || info.written_after(newest_info) ||
                            (info.written_with(newest_info) && (!full(info) || full(newest_info)));
        if (better) {
            newest = n;
            newest_info = info;
        }
    }
    const auto newest_size = static_cast<std::uint32_t>(newest_info.size);

    if (newest == 0) {
        current_ = 1;
        offset_ = 0;
        return open_current(plat::Disposition::open_always);
    }
    if (newest_size >= size_limit_) {
        current_ = following(newest);
        offset_ = 0;
        return open_current(plat::Disposition::create_always);
    }
    current_ = newest;
    offset_ = newest_size;
    return open_current(plat::Disposition::open_always);
}

Failure PlainTraceWriter::open_current(plat::Disposition disposition) {
    file_.close();
    char name[kMaxFileName];
    file_name(current_, name, sizeof name);
    const plat::Status opened =
        file_.open(name, plat::Access::write, disposition, plat::Share::read_write);
    if (!opened.ok()) {
        return {kCauseOpenFailed, opened.error};
    }
    if (disposition == plat::Disposition::create_always) {
        offset_ = 0;
    } else if (const plat::Status moved = file_.seek_to_end(); !moved.ok()) {
        file_.close();
        return {kCauseSeekFailed, moved.error};
    }
    return write_header_block();
}

Failure PlainTraceWriter::start_next_file() {
    file_.close();
    unconfirmed_size_ = 0;
    current_ = following(current_);
    offset_ = 0;
    return open_current(plat::Disposition::create_always);
}

Failure PlainTraceWriter::write_header_block() {
    char block[kHeaderBlockCapacity];
    const std::size_t length = compose_header_block(block, header_);
    if (offset_ + static_cast<std::uint64_t>(length) > kMaxOffset) {
        return start_next_file();
    }
    return write_whole(block, length);
}

Failure PlainTraceWriter::write_whole(const char* bytes, std::size_t n) {
    std::size_t written = 0;
    const plat::Status status = file_.write(bytes, n, &written);
    if (status.ok()) {
        offset_ += static_cast<std::uint32_t>(n);
        return Failure::none();
    }
    // A cut-short write (size limit, full disk) leaves part of a line, which the next line
    // would be glued to: take it back, so that only this line is lost.
    if (written != 0 && !file_.cut_back(written).ok()) {
        offset_ += static_cast<std::uint32_t>(written);
    }
    return {kCauseWriteFailed, status.error};
}

Failure PlainTraceWriter::reopen_removed() {
    char name[kMaxFileName];
    file_name(current_, name, sizeof name);
    plat::PathInfo info;
    offset_ = plat::query_path(name, &info).ok() ? static_cast<std::uint32_t>(info.size) : 0;
    return open_current(plat::Disposition::open_always);
}

bool PlainTraceWriter::check_due(std::size_t n) const {
    return unconfirmed_size_ + n > kUnconfirmedCapacity || plat::tick_count_ms() != checked_at_;
}

Failure PlainTraceWriter::confirm_file() {
    checked_at_ = plat::tick_count_ms();
    if (!file_.unlinked()) {
        unconfirmed_size_ = 0;
        return Failure::none();
    }
    // Deleted under the writer: go on under the same name. The writer cannot tell which of
    // the lines since the last check came after the deletion, so all of them go again.
    const std::size_t replay = unconfirmed_size_;
    if (const Failure reopened = reopen_removed(); !reopened.ok()) {
        return reopened;
    }
    unconfirmed_size_ = replay;  // the new file may go the same way before the next check
    return replay == 0 ? Failure::none() : write_whole(unconfirmed_, replay);
}

void PlainTraceWriter::keep_unconfirmed(const char* bytes, std::size_t n) {
    if (unconfirmed_size_ + n <= kUnconfirmedCapacity) {
        std::memcpy(unconfirmed_ + unconfirmed_size_, bytes, n);
        unconfirmed_size_ += n;
    }
}

Failure PlainTraceWriter::write_line(const char* bytes, std::size_t n) {
    if (bytes == nullptr || n > kUnconfirmedCapacity) {
        return {kCauseInvalidArgument, 0};
    }
    if (!file_.is_open()) {
        // A previous open, switch or reopen failed: start this number afresh, with the lines
        // that reached no file for sure.
        offset_ = 0;
        if (const Failure reopened = open_current(plat::Disposition::create_always);
            !reopened.ok()) {
            return reopened;
        }
        checked_at_ = plat::tick_count_ms();
        if (unconfirmed_size_ != 0) {
            if (const Failure wrote = write_whole(unconfirmed_, unconfirmed_size_); !wrote.ok()) {
                return wrote;
            }
        }
    }
    // Switch only once the offset has passed the limit: the crossing line stays behind. The
    // file left behind is checked first, so that its last lines are not lost with it.
    const auto must_switch = [this, n] {
        return offset_ > size_limit_ || offset_ + static_cast<std::uint64_t>(n) > kMaxOffset;
    };
    if (must_switch() || check_due(n)) {
        if (const Failure confirmed = confirm_file(); !confirmed.ok()) {
            return confirmed;
        }
    }
    if (must_switch()) {
        if (const Failure switched = start_next_file(); !switched.ok()) {
            return switched;
        }
    }
    const Failure wrote = write_whole(bytes, n);
    if (wrote.ok()) {
        keep_unconfirmed(bytes, n);
    }
    return wrote;
}

Failure PlainTraceWriter::flush() {
    if (file_.is_open()) {
        if (const Failure confirmed = confirm_file(); !confirmed.ok()) {
            return confirmed;
        }
    }
    const plat::Status flushed = file_.flush();
    if (!flushed.ok()) {
        return {kCauseFlushFailed, flushed.error};
    }
    return Failure::none();
}

Failure PlainTraceWriter::backup(const char* backup_name, int /*mode*/) {
    if (const Failure made = create_directory_of(backup_name); !made.ok()) {
        return made;
    }
    if (!file_.is_open()) {
        return {kCauseBadState, 0};
    }
    if (const Failure confirmed = confirm_file(); !confirmed.ok()) {
        return confirmed;
    }
    // One of the writer's own files as the target would be emptied and then copied into
    // itself: refused as an open that its sharing does not allow, before anything is touched.
    if (const Failure own = refuse_own_file(backup_name); !own.ok()) {
        return own;
    }
    plat::File target;
    if (const plat::Status created = target.open(
            backup_name, plat::Access::write, plat::Disposition::create_always, plat::Share::none);
        !created.ok()) {
        return {kCauseOpenFailed, created.error};
    }
    // Oldest first: the file after the current one, round to the current one.
    char name[kMaxFileName];
    char chunk[kBackupChunk];
    std::uint32_t n = current_;
    for (std::uint32_t k = 1; k <= file_count_; ++k) {
        n = following(n);
        file_name(n, name, sizeof name);
        if (plat::same_file(backup_name, name)) {
            // Checked again as the copy goes: a file copied into itself grows without end.
            return {kCauseOpenFailed, plat::sharing_violation_error()};
        }
        plat::File source;
        if (!source
                 .open(name, plat::Access::read, plat::Disposition::open_existing,
                       plat::Share::read_write)
                 .ok()) {
            continue;  // a missing file is skipped
        }
        std::size_t got = 0;
        while (source.read(chunk, sizeof chunk, &got).ok() && got != 0) {
            if (const plat::Status wrote = target.write(chunk, got, nullptr); !wrote.ok()) {
                return {kCauseWriteFailed, wrote.error};
            }
        }
    }
    if (const plat::Status closed = target.close(); !closed.ok()) {
        return {kCauseCloseFailed, closed.error};
    }
    return Failure::none();
}

Failure PlainTraceWriter::refuse_own_file(const char* path) const {
    char name[kMaxFileName];
    for (std::uint32_t n = 1; n <= file_count_; ++n) {
        file_name(n, name, sizeof name);
        if (plat::same_file(path, name)) {
            return {kCauseOpenFailed, plat::sharing_violation_error()};
        }
    }
    return Failure::none();
}

Failure PlainTraceWriter::close() {
    if (!file_.is_open()) {
        offset_ = 0;
        return Failure::none();
    }
    // The last lines, if the file went since the last check; a failure here must not keep
    // the writer from closing.
    (void)confirm_file();
    offset_ = 0;
    unconfirmed_size_ = 0;
    if (const plat::Status closed = file_.close(); !closed.ok()) {
        return {kCauseCloseFailed, closed.error};
    }
    return Failure::none();
}

}  // namespace ktl
