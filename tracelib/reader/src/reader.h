// One reader of one managed trace file: its files, mappings, lock settings and position.
#pragma once

#include <cstdint>
#include <string>

#include "ktlor/managed_layout.h"
#include "plat/file.h"
#include "plat/mapping.h"
#include "plat/sync.h"

namespace ktlor::reader {

// Causes, as the export header numbers them.
enum Cause : int {
    kNone = 0,
    kArgument = 1,
    kOpen = 2,
    kClose = 3,
    kMapping = 6,
    kView = 7,
    kMemory = 9,
    kRelease = 10,
    kState = 11,
    kNotFound = 13,
    kSeek = 14,
    kPath = 17,
    kSize = 20,
    kLock = 22,
    kUnmap = 23,
    kRecord = 29,
    kMutex = 30,
};

// Paths longer than this are refused.
constexpr std::size_t kMaxPath = 2048;
// Larger trace files are read only this far.
constexpr std::uint64_t kMaxMappedSize = 16777216;

class Reader {
  public:
    explicit Reader(std::string trace_path) : trace_path_(std::move(trace_path)) {}

    int open_management_file();
    int close_management_file();
    int open();
    int close();
    // Closes whatever is still open; a cause when a step failed.
    int release();

    std::int64_t current_offset();
    std::uint32_t read(void* buffer, std::uint32_t size);
    int get_char();
    std::uint32_t get_line(char* buffer, std::uint32_t size);
    int seek(std::int64_t offset, int origin);
    std::int64_t tell();

    int last_error() const { return last_error_; }
    void clear_error() { last_error_ = kNone; }

    int lock_block_time = 10;
    int lock_sleep_time = 1;
    int lock_retry_times = 20;

    // Stores a cause and returns it.
    int fail(int cause);

  private:
    int find_management_file();
    int map_trace_file();
    // Copies the record under the writers' lock, in this byte order; a cause on failure.
    int locked_record(managed::ManagementRecord* record);
    int take_lock(std::uint32_t version);
    std::uint64_t readable_end() const;
    // The end of the data, or kFaulted.
    std::uint64_t scan_for_end(bool current_file, std::uint32_t write_offset);
    static constexpr std::uint64_t kFaulted = ~std::uint64_t{0};
    // Copies n bytes of the trace view; false (cause 7, the view mapped anew) when the file
    // turned out shorter than the view.
    bool copy_out(void* destination, std::uint64_t from, std::size_t n);

    std::string management_path_;
    std::string trace_path_;
    std::string prefix_;  // the set's prefix, known with the file number
    plat::File management_file_;
    plat::File trace_file_;
    plat::FileMapping management_view_;
    plat::FileMapping trace_view_;
    bool path_known_ = false;
    std::uint32_t file_number_ = 0;
    plat::NamedMutex mutex_;
    int last_error_ = kNone;
    bool open_ = false;
    std::uint64_t mapped_size_ = 0;
    std::uint64_t position_ = 0;
    std::uint64_t data_end_ = 0;
};

// The cause for calls made without an instance.
int process_last_error();
void set_process_last_error(int cause);

}  // namespace ktlor::reader
