// Process and thread identity, and per-thread slots released when their thread ends.
#pragma once

#include <cstdint>
#include <functional>

#include "plat/error.h"
#include "plat/sync.h"

namespace plat {

// In the child of a fork both give the child's ids, also to fork handlers registered after
// the first call of either.
std::uint32_t current_process_id();
std::uint32_t current_thread_id();

// Sleeps the calling thread for that many milliseconds; nothing wakes it earlier.
void sleep_ms(std::uint32_t ms);

// Raises the calling thread to the highest real-time priority; fails without the privilege.
Status raise_current_thread_to_time_critical();

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

// A thread that runs one function. Destroying the object does not stop the thread: one
// that is still running goes on by itself.
class Thread {
  public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    Status start(std::function<void()> body);
    bool started() const { return impl_ != nullptr; }
    // The id current_thread_id() gives inside the thread.
    std::uint32_t id() const;
    // signalled once the thread has ended, timed_out while it runs on.
    WaitResult join(std::uint32_t timeout_ms);
    // The highest real-time priority; fails without the privilege for it.
    Status raise_to_time_critical();

    struct Impl;

  private:
    Impl* impl_ = nullptr;
};

}  // namespace plat
