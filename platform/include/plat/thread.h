// Process and thread identity, and per-thread slots released when their thread ends.
#pragma once

#include <cstdint>

namespace plat {

std::uint32_t current_process_id();
std::uint32_t current_thread_id();

// One pointer per thread. When a thread that stored a non-null pointer ends, the release
// function is called with it on that thread. Destroying the slot does not call it.
class ThreadSlot {
  public:
    using Release = void (*)(void*);

    explicit ThreadSlot(Release release);
    ~ThreadSlot();
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    bool valid() const { return valid_; }
    void* get() const;
    bool set(void* value);

  private:
    std::uint64_t key_ = 0;
    bool valid_ = false;
};

}  // namespace plat
