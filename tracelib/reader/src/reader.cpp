#include "reader.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#include "guarded_copy.h"
#include "plat/error.h"
#include "plat/thread.h"
#include "trace_set.h"

namespace ktlor::reader {

namespace {

std::atomic<int> g_process_last_error{kNone};

int open_cause(plat::Status status) {
    return plat::classify_error(status.error) == plat::ErrorKind::not_found ? kNotFound : kOpen;
}

// What a reader needs of the record: valid, in this byte order, and how to lock for it.
struct SettledRecord {
    managed::ManagementRecord record;
    bool swapped = false;
};

// A management file shortened under its mapping faults the copy: no valid record either.
bool copy_record(const plat::FileMapping& view, SettledRecord* out) {
    std::uint32_t code = 0;
    return ktl::guarded_copy(&out->record, view.data(), sizeof out->record, &code) &&
           settle_byte_order(&out->record, &out->swapped) && managed::header_valid(out->record);
}

}  // namespace

int process_last_error() {
    return g_process_last_error.load(std::memory_order_relaxed);
}

void set_process_last_error(int cause) {
    g_process_last_error.store(cause, std::memory_order_relaxed);
}

int Reader::fail(int cause) {
    last_error_ = cause;
    return cause;
}

int Reader::find_management_file() {
    if (!plat::is_full_path(trace_path_.c_str()) || !trace_file_form(trace_path_)) {
        return kPath;
    }
    const SetCandidates candidates = set_candidates(trace_path_);
    for (int i = 0; i < candidates.count; ++i) {
        const SetCandidate& candidate = candidates.candidate[i];
        const std::string path = management_path_of(candidate.prefix);
        if (path.empty()) {
            return kPath;
        }
        const plat::Status opened =
            management_file_.open(path.c_str(), plat::Access::read_write,
                                  plat::Disposition::open_existing, plat::Share::read_write);
        if (opened) {
            management_path_ = path;
            prefix_ = candidate.prefix;
            file_number_ = candidate.number;
            path_known_ = true;
            return kNone;
        }
        if (open_cause(opened) != kNotFound) {
            return kOpen;
        }
    }
    return kNotFound;
}

int Reader::map_trace_file() {
    if (!trace_file_.is_open()) {
        const plat::Status opened =
            trace_file_.open(trace_path_.c_str(), plat::Access::read,
                             plat::Disposition::open_existing, plat::Share::read_write);
        if (!opened) {
            return open_cause(opened);
        }
    }
    std::uint64_t size = 0;
    if (!trace_file_.size(&size)) {
        return kSize;
    }
    size = std::min(size, kMaxMappedSize);
    trace_view_.unmap();
    mapped_size_ = 0;
    if (size == 0) {
        return kMapping;  // nothing to map: an empty file has no mapping
    }
    if (!trace_view_.map(trace_file_, 0, static_cast<std::size_t>(size), plat::MapAccess::read)) {
        return kView;
    }
    mapped_size_ = size;
    return kNone;
}

int Reader::open_management_file() {
    if (management_view_.is_mapped()) {
        return fail(kState);
    }
    bool opened_file = false;
    if (!path_known_) {
        const int found = find_management_file();
        if (found != kNone) {
            return fail(found);
        }
        opened_file = true;
    } else if (!management_file_.is_open()) {
        const plat::Status opened =
            management_file_.open(management_path_.c_str(), plat::Access::read_write,
                                  plat::Disposition::open_existing, plat::Share::read_write);
        if (!opened) {
            return fail(open_cause(opened));
        }
        opened_file = true;
    }
    auto undo = [&](int cause) {
        management_view_.unmap();
        if (opened_file) {
            management_file_.close();
        }
        return fail(cause);
    };

    // A record shorter than its 64 bytes cannot be mapped for reading.
    std::uint64_t size = 0;
    if (!management_file_.size(&size) || size < managed::kManagementFileSize) {
        return undo(kMapping);
    }
    if (!management_view_.map(management_file_, 0, managed::kManagementFileSize,
                              plat::MapAccess::read)) {
        return undo(kView);
    }

    char name[kMaxPath + 1];
    if (!managed::mutex_name(prefix_.c_str(), name, sizeof name)) {
        return undo(kPath);
    }
    if (!mutex_.is_open() && !mutex_.open(name)) {
        return undo(kMutex);
    }
    if (!trace_view_.is_mapped()) {
        // Reading starts only at open, which reports a failure here.
        const int kept = last_error_;
        map_trace_file();
        last_error_ = kept;
    }
    data_end_ = 0;
    return kNone;
}

int Reader::close_management_file() {
    if (open_ ||
        (!management_view_.is_mapped() && !management_file_.is_open() && !mutex_.is_open())) {
        return fail(kState);
    }
    if (!management_view_.unmap()) {
        return fail(kUnmap);
    }
    if (management_file_.is_open() && !management_file_.close()) {
        return fail(kClose);
    }
    mutex_.close();
    data_end_ = 0;
    if (!trace_view_.unmap()) {
        return fail(kUnmap);
    }
    mapped_size_ = 0;
    if (trace_file_.is_open() && !trace_file_.close()) {
        return fail(kClose);
    }
    return kNone;
}

int Reader::open() {
    if (open_ || !management_view_.is_mapped()) {
        return fail(kState);
    }
    if (!trace_view_.is_mapped()) {
        const int mapped = map_trace_file();
        if (mapped != kNone) {
            return fail(mapped);
        }
    }
    open_ = true;
    position_ = 0;
    return kNone;
}

int Reader::close() {
    if (!open_) {
        return fail(kState);
    }
    open_ = false;
    return kNone;
}

int Reader::release() {
    open_ = false;
    if (!trace_view_.unmap()) {
        return fail(kUnmap);
    }
    mapped_size_ = 0;
    if (trace_file_.is_open() && !trace_file_.close()) {
        return fail(kClose);
    }
    if (management_view_.is_mapped() || management_file_.is_open() || mutex_.is_open()) {
        return close_management_file();
    }
    return kNone;
}

int Reader::take_lock(std::uint32_t version) {
    if (version == 2) {
        if (!mutex_.is_open()) {
            return kMutex;
        }
        const plat::WaitResult waited = mutex_.lock(static_cast<std::uint32_t>(lock_block_time));
        return waited == plat::WaitResult::signalled || waited == plat::WaitResult::abandoned
                   ? kNone
                   : kLock;
    }
    for (int attempt = 1;; ++attempt) {
        if (management_file_.try_lock_whole()) {
            return kNone;
        }
        if (attempt >= lock_retry_times) {
            return kLock;
        }
        plat::sleep_ms(static_cast<std::uint32_t>(lock_sleep_time));
    }
}

int Reader::locked_record(managed::ManagementRecord* record) {
    SettledRecord first;
    if (!copy_record(management_view_, &first)) {
        return kRecord;
    }
    // Writers that all run without their mutex leave nothing to wait for.
    const bool lock = (first.record.flags & managed::kOptionNoMutex) == 0;
    const std::uint32_t version = lock_version(first.record, first.swapped);
    if (lock) {
        if (version == 0) {
            return kRecord;
        }
        const int taken = take_lock(version);
        if (taken != kNone) {
            return taken;
        }
    }
    SettledRecord again;
    const bool valid = copy_record(management_view_, &again);
    if (lock) {
        if (version == 2) {
            mutex_.unlock();
        } else if (!management_file_.unlock_whole()) {
            return kLock;
        }
    }
    if (!valid) {
        return kRecord;
    }
    *record = again.record;
    return kNone;
}

std::int64_t Reader::current_offset() {
    if (!management_view_.is_mapped()) {
        fail(kState);
        return -1;
    }
    managed::ManagementRecord record;
    const int copied = locked_record(&record);
    if (copied != kNone) {
        fail(copied);
        return -1;
    }
    const bool current_file = record.current == file_number_;
    if (current_file) {
        if (mapped_size_ < record.offset) {
            const int mapped = map_trace_file();  // it has grown
            if (mapped != kNone) {
                fail(mapped);
            }
        }
        if (record.offset >= data_end_) {
            data_end_ = record.offset;
            return static_cast<std::int64_t>(data_end_);
        }
    }
    // An older file of the set, or the current one begun again: its own bytes say where
    // the data ends.
    if (!trace_view_.is_mapped() || mapped_size_ < record.file_size ||
        mapped_size_ < record.offset) {
        const int mapped = map_trace_file();
        if (mapped != kNone) {
            fail(mapped);
        }
    }
    if (!trace_view_.is_mapped()) {
        return -1;
    }
    const std::uint64_t end = scan_for_end(current_file, record.offset);
    return end == kFaulted ? -1 : static_cast<std::int64_t>(end);
}

std::uint64_t Reader::scan_for_end(bool current_file, std::uint32_t write_offset) {
    // The current file with its write offset below what was seen of it has been begun
    // anew: its data is what the writers have written since, whatever stands at the old
    // end (the new end mark, older lines or fill).
    if (current_file) {
        data_end_ = write_offset;
        return data_end_;
    }
    unsigned char chunk[4096];
    if (data_end_ < mapped_size_) {
        if (!copy_out(chunk, data_end_, 1)) {
            return kFaulted;
        }
        if (chunk[0] == managed::kEndOfFileByte) {
            return data_end_;
        }
    }
    // Lines end in CR LF; a 0x1A after a line end, or after a byte-order mark there, ends
    // the data.
    enum class State { in_line, after_cr, after_line_end, after_fe, after_ff, after_order_mark };
    State state = data_end_ == 0 ? State::after_line_end : State::in_line;
    std::uint64_t at = data_end_;
    bool end = false;
    while (!end && at < mapped_size_) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, mapped_size_ - at));
        if (!copy_out(chunk, at, n)) {
            return kFaulted;
        }
        std::size_t i = 0;
        for (; i < n && !end; ++i) {
            const unsigned char c = chunk[i];
            if (c == '\r') {
                state = State::after_cr;
                continue;
            }
            switch (state) {
                case State::in_line:
                    break;
                case State::after_cr:
                    if (c == '\n') {
                        state = State::after_line_end;
                    }
                    break;
                case State::after_line_end:
                    if (c == managed::kEndOfFileByte) {
                        end = true;
                    } else if (c == 0xFE) {
                        state = State::after_fe;
                    } else if (c == 0xFF) {
                        state = State::after_ff;
                    }
                    break;
                case State::after_fe:
                    if (c == 0xFF) {
                        state = State::after_order_mark;
                    }
                    break;
                case State::after_ff:
                    if (c == 0xFE) {
                        state = State::after_order_mark;
                    }
                    break;
                case State::after_order_mark:
                    end = c == managed::kEndOfFileByte;
                    break;
            }
        }
        at += end ? i - 1 : i;
    }
    data_end_ = std::max<std::uint64_t>(at, std::min(data_end_, mapped_size_));
    return data_end_;
}

bool Reader::copy_out(void* destination, std::uint64_t from, std::size_t n) {
    std::uint32_t code = 0;
    if (ktl::guarded_copy(destination, trace_view_.data() + from, n, &code)) {
        return true;
    }
    // The file was shortened under the view: map what is left of it.
    const int kept = last_error_;
    map_trace_file();
    last_error_ = kept;
    fail(kView);
    return false;
}

std::uint64_t Reader::readable_end() const {
    return std::min(data_end_, mapped_size_);
}

std::uint32_t Reader::read(void* buffer, std::uint32_t size) {
    if (!open_) {
        fail(kState);
        return 0;
    }
    if (buffer == nullptr) {
        fail(kArgument);
        return 0;
    }
    const std::uint64_t end = readable_end();
    if (position_ >= end) {
        return 0;
    }
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, end - position_));
    if (!copy_out(buffer, position_, count)) {
        return 0;
    }
    position_ += count;
    return count;
}

int Reader::get_char() {
    if (!open_) {
        fail(kState);
        return -1;
    }
    if (position_ >= readable_end()) {
        return -1;
    }
    unsigned char byte = 0;
    if (!copy_out(&byte, position_, 1)) {
        return -1;
    }
    ++position_;
    return byte;
}

std::uint32_t Reader::get_line(char* buffer, std::uint32_t size) {
    if (!open_) {
        fail(kState);
        return 0;
    }
    if (buffer == nullptr) {
        fail(kArgument);
        return 0;
    }
    if (size == 0) {
        return 0;
    }
    const std::uint64_t end = readable_end();
    const std::uint64_t available = position_ < end ? end - position_ : 0;
    const auto limit = static_cast<std::size_t>(std::min<std::uint64_t>(size - 1, available));
    if (limit != 0 && !copy_out(buffer, position_, limit)) {
        buffer[0] = '\0';
        return 0;
    }
    const void* lf = limit == 0 ? nullptr : std::memchr(buffer, '\n', limit);
    const std::size_t count =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - buffer) + 1 : limit;
    buffer[count] = '\0';
    position_ += count;
    return static_cast<std::uint32_t>(count);
}

int Reader::seek(std::int64_t offset, int origin) {
    if (!open_) {
        return fail(kState);
    }
    std::uint64_t target = 0;
    switch (origin) {
        case 0:
            if (offset < 0) {
                return fail(kSeek);
            }
            target = static_cast<std::uint64_t>(offset);
            break;
        case 1: {
            const auto here = static_cast<std::int64_t>(position_);
            if ((offset > 0 && here > std::numeric_limits<std::int64_t>::max() - offset) ||
                here + offset < 0) {
                return fail(kSeek);
            }
            target = static_cast<std::uint64_t>(here + offset);
            break;
        }
        case 2: {
            if (offset > 0) {
                return fail(kSeek);
            }
            // -offset, kept clear of the overflow at the smallest value.
            const std::uint64_t back = static_cast<std::uint64_t>(-(offset + 1)) + 1;
            if (back > mapped_size_) {
                return fail(kSeek);
            }
            target = mapped_size_ - back;
            break;
        }
        default:
            return fail(kArgument);
    }
    if (target > mapped_size_) {
        return fail(kSeek);
    }
    position_ = target;
    return kNone;
}

std::int64_t Reader::tell() {
    if (!open_) {
        fail(kState);
        return -1;
    }
    if (position_ > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return -1;
    }
    return static_cast<std::int64_t>(position_);
}

}  // namespace ktlor::reader
