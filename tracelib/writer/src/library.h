// Process-wide state of the trace library and the instance record behind a handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "codes.h"
#include "ktlorsym_trace.h"
#include "plat/sync.h"
#include "trace_writer.h"

// The record an instance handle points to.
struct TraceInstance {
    char magic[4];  // "LIVE" while usable, "DEAD" just before release
    ktl::TraceWriter* plain_writer;
    ktl::TraceWriter* managed_writer;
    char program_id[17];
    std::int32_t max_level;
    std::int32_t file_threshold;
    std::int32_t shm_threshold;
};

namespace ktl {

constexpr int kMinLevel = -1;
constexpr int kMaxLevel = 1000;
constexpr int kProgramIdWidth = 16;

inline bool level_in_range(int level) {
    return level >= kMinLevel && level <= kMaxLevel;
}

inline bool is_live(const TraceInstance* instance) {
    return std::memcmp(instance->magic, "LIVE", 4) == 0;
}

inline TraceWriter* writer_of(const TraceInstance* instance) {
    return instance->plain_writer != nullptr ? instance->plain_writer : instance->managed_writer;
}

// Fields that callers may store into without a lock (exported blocks, instance levels)
// are read and written as relaxed atomics.
inline std::int32_t load_relaxed(std::int32_t& field) {
    return std::atomic_ref<std::int32_t>(field).load(std::memory_order_relaxed);
}
inline void store_relaxed(std::int32_t& field, std::int32_t value) {
    std::atomic_ref<std::int32_t>(field).store(value, std::memory_order_relaxed);
}

struct LibraryState {
    plat::RecursiveMutex lock;
    std::atomic<bool> initialized{false};
    char program_id[kProgramIdWidth + 1];
    TraceWriter* plain_writer = nullptr;
    TraceWriter* managed_writer = nullptr;
    char process_id_text[10];  // "%08X "

    LibraryState();
    ~LibraryState();

    TraceWriter* writer() const { return plain_writer != nullptr ? plain_writer : managed_writer; }
    void destroy_writers();
};

LibraryState& library();

// Stores a program id cut at 16 characters and padded with spaces (none gives spaces).
void store_program_id(char (&out)[kProgramIdWidth + 1], const char* program_id);

// Limits of the two kinds of writer, checked before anything is created.
struct ConfigLimits {
    std::int32_t max_file_size;
    std::int32_t max_file_count;
    std::size_t max_prefix;
};
constexpr ConfigLimits kPlainLimits{2147483647, 16, 514};
constexpr ConfigLimits kManagedLimits{16777216, 64, 512};
bool config_within(const TraceFileConfig* config, const ConfigLimits& limits);

}  // namespace ktl
