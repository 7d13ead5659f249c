// Writes trace lines into a set of preallocated files shared by several writers, in one
// process or in many: the lines go through memory mappings, the shared write position
// lives in a 64-byte management file, and a named mutex takes the writers in turn.
#pragma once

#include <cstdint>

#include "ktlor/managed_layout.h"
#include "ktlorsym_trace.h"
#include "plat/file.h"
#include "plat/mapping.h"
#include "plat/sync.h"
#include "trace_line.h"
#include "trace_writer.h"

namespace ktl {

using ktlor::managed::ManagementRecord;

class ManagedTraceWriter final : public TraceWriter {
  public:
    // The config must have passed the managed writer's limits. program_id is the owning
    // instance's id (it must outlive the writer), or null for the library-level writer.
    ManagedTraceWriter(const TraceFileConfig& config, const char* program_id);
    ~ManagedTraceWriter() override;

    // Set between construction and open.
    void set_options(std::uint32_t options);

    // Success, a failure, or kCausePositionFromTraceFiles: opened, with the position
    // taken from the trace files because the management file was new.
    Failure open() override;
    Failure write_line(const char* bytes, std::size_t n) override;
    Failure flush() override;
    Failure backup(const char* file_name, int mode) override;
    Failure close() override;

    bool has_lock_wait_time() const override { return true; }
    int lock_wait_time() const override { return static_cast<int>(wait_ms_); }
    void set_lock_wait_time(int milliseconds) override {
        wait_ms_ = static_cast<std::uint32_t>(milliseconds < 0 ? 0 : milliseconds);
    }

  private:
    enum class Prepare { all, current_only };

    // managed_header.cpp: the lock and the management record.
    Failure lock();
    void unlock();
    Failure apply_stored_flags(std::uint32_t stored);
    Failure read_header(ManagementRecord* copy);
    // Reads the header and rebuilds it from the trace files when it is not valid.
    Failure load_header(ManagementRecord* copy);
    Failure rebuild_header(ManagementRecord* copy);
    Failure store_field(std::size_t offset, std::uint32_t value);
    Failure store_fresh_header(std::uint32_t flags);
    Failure write_open_header_block(ManagementRecord* copy);
    Failure write_short_block(ManagementRecord* copy);

    // managed_files.cpp: the trace files.
    bool rescan();
    std::uint32_t used_length(const char* name) const;
    Failure prepare_files(Prepare which);
    Failure prepare_one(std::uint32_t number, plat::File* file);
    Failure close_trace_file();
    Failure close_management_file();
    void trace_file_name(std::uint32_t number, char* out) const;
    std::uint32_t following(std::uint32_t number, std::uint32_t count) const {
        return number >= count ? 1 : number + 1;
    }
    Failure refuse_own_file(const char* path) const;
    // After a writer died holding the mutex (once the management file is mapped): makes the
    // data of the current file end at the stored offset again.
    void repair_after_abandon();

    // managed_writer.cpp
    Failure open_locked(bool existed, bool* position_from_files);
    Failure write_locked(const char* bytes, std::size_t n, ManagementRecord* copy, bool block);
    Failure put_at(std::uint32_t offset, const char* bytes, std::size_t n);
    Failure copy_backup(plat::File* target, const ManagementRecord& copy);
    Failure view_fault(std::uint32_t code);

    std::uint32_t configured_size_;
    std::uint32_t configured_count_;
    char prefix_[ktlor::managed::kMaxNameLength];
    bool usable_ = false;
    char management_name_[ktlor::managed::kMaxNameLength];
    char management_directory_[ktlor::managed::kMaxNameLength];
    char mutex_name_[ktlor::managed::kMaxNameLength];

    std::uint32_t size_;
    std::uint32_t count_;
    std::uint32_t mapping_size_;
    std::uint32_t current_ = 0;
    std::uint32_t offset_ = 0;
    std::uint32_t flags_;
    std::uint32_t options_ = 0;
    int lock_depth_ = 0;
    bool abandoned_ = false;
    std::uint32_t wait_ms_ = 10;

    plat::File trace_file_;
    plat::FileMapping trace_view_;
    plat::File management_file_;
    plat::FileMapping management_view_;
    plat::NamedMutex mutex_;
    std::uint32_t flushed_up_to_ = 0;

    const char* program_id_;
    HeaderTexts header_;
};

}  // namespace ktl
