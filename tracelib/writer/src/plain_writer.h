// Appends trace lines to numbered files with ordinary writes, moving on to the next number
// once the current file has passed its size limit.
#pragma once

#include <cstdint>

#include "ktlorsym_trace.h"
#include "plat/file.h"
#include "trace_line.h"
#include "trace_writer.h"

namespace ktl {

constexpr std::size_t kPlainMaxPrefix = 514;
constexpr std::size_t kUnconfirmedCapacity = 64 * 1024;
static_assert(kUnconfirmedCapacity >= kMaxLineLength, "a line fits the unconfirmed buffer");

class PlainTraceWriter final : public TraceWriter {
  public:
    // The config must have passed the plain writer's limits.
    explicit PlainTraceWriter(const TraceFileConfig& config);

    Failure open() override;
    Failure write_line(const char* bytes, std::size_t n) override;
    Failure flush() override;
    Failure backup(const char* file_name, int mode) override;
    Failure close() override;

    std::uint32_t current_number() const { return current_; }

  private:
    void file_name(std::uint32_t number, char* out, std::size_t capacity) const;
    std::uint32_t following(std::uint32_t number) const {
        return number >= file_count_ ? 1 : number + 1;
    }
    bool full(const plat::PathInfo& info) const {
        return static_cast<std::uint32_t>(info.size) >= size_limit_;
    }
    Failure open_current(plat::Disposition disposition);
    Failure start_next_file();
    Failure write_header_block();
    // Writes bytes at the end as one piece: a write cut short is taken back.
    Failure write_whole(const char* bytes, std::size_t n);
    // Opens the current number again after its file was deleted.
    Failure reopen_removed();
    // Asking for the link count costs about as much as the write itself, so it is asked at
    // most once per millisecond tick, or once the unconfirmed lines would fill their buffer.
    bool check_due(std::size_t n) const;
    // Asks whether the current file is still linked. If it was deleted since the last
    // check, the file is made again under the same name and the lines written since are
    // written into it again: lines written after the deletion would otherwise be lost.
    Failure confirm_file();
    void keep_unconfirmed(const char* bytes, std::size_t n);
    Failure refuse_own_file(const char* path) const;

    std::uint32_t size_limit_;
    std::uint32_t file_count_;
    char prefix_[kPlainMaxPrefix + 1];
    plat::File file_;
    std::uint32_t current_ = 0;
    std::uint32_t offset_ = 0;
    HeaderTexts header_;
    std::uint32_t checked_at_ = 0;  // millisecond tick of the last check
    std::size_t unconfirmed_size_ = 0;
    // The lines written since the file was last found linked.
    char unconfirmed_[kUnconfirmedCapacity];
};

// Makes sure the directory part of path exists, with the trace library's causes.
Failure create_directory_of(const char* path);

}  // namespace ktl
