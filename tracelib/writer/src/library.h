// Process-wide state of the trace library and the instance record behind a handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

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

// An object that lives as long as the process: made in place, never destroyed. At exit,
// threads that still put lines go on using what a destructor would free.
template <typename T>
class ProcessLifetime {
  public:
    template <typename... Args>
    explicit ProcessLifetime(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

struct LibraryState {
    plat::RecursiveMutex lock;
    std::atomic<bool> initialized{false};
    TraceWriter* plain_writer = nullptr;
    TraceWriter* managed_writer = nullptr;
    char process_id_text[10];  // "%08X "

    LibraryState();

    TraceWriter* writer() const { return plain_writer != nullptr ? plain_writer : managed_writer; }
    void destroy_writers();

    // The library program id: stored under the lock by the initializations, read by the
    // puts without it.
    void set_program_id(const char* program_id);
    void copy_program_id(char (&out)[kProgramIdWidth + 1]) const;

    // The texts of the process's own ids, made again in the child after a fork.
    void make_id_texts();

  private:
    // Two words and a change count that is odd while they change: a reader never sees
    // half of an old id and half of a new one.
    std::atomic<std::uint32_t> program_id_changes_{0};
    std::atomic<std::uint64_t> program_id_words_[2] = {};
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
