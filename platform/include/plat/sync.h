// Locks and events: within one process, and named ones shared by processes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plat/error.h"

namespace plat {

// A recursive lock (a critical section): the owning thread may take it again.
// Meets the Lockable requirements, so std::lock_guard and std::unique_lock work with it.
class RecursiveMutex {
  public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

  private:
    static constexpr std::size_t kStorageSize = 64;
    alignas(16) unsigned char storage_[kStorageSize];
};

// How a wait ended.
enum class WaitResult {
    signalled,  // the event was set, or the mutex is now ours
    timed_out,
    abandoned,  // the mutex is ours, but its previous owner ended while holding it
    failed,
};

constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// An auto-reset event within one process: set() releases one waiter, or the next one to
// wait, and the event is reset as that waiter returns.
class Event;

// How a wait on several events ended: with signalled, index names the event that was set
// (the first in the list when several were) and only that one is reset.
struct WaitAnyResult {
    WaitResult result = WaitResult::failed;
    std::size_t index = 0;
};
WaitAnyResult wait_any(Event* const* events, std::size_t count, std::uint32_t timeout_ms);

class Event {
  public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool valid() const { return impl_ != nullptr; }
    void set();
    WaitResult wait(std::uint32_t timeout_ms);

    struct Impl;

  private:
    friend WaitAnyResult wait_any(Event* const* events, std::size_t count,
                                  std::uint32_t timeout_ms);
    Impl* impl_;
};

// A mutex shared by the processes of one account that open the same name. Whoever can open
// it can hold it and stall everyone else, so only the account that created it may open it
// (POSIX: mode 0600; Windows: the account, SYSTEM and the administrators). A name taken by
// another account's object fails to open. On POSIX such an object, or one of ours that gives
// others access, is replaced by a new one where this process may remove it.
// It is recursive for its owning thread. When the owner ends while holding it, the next
// waiter gets it with WaitResult::abandoned.
class NamedMutex {
  public:
    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Opens the mutex of that name, creating it when it does not exist yet.
    Status open(const char* name);
    bool is_open() const { return impl_ != nullptr; }
    void close();

    WaitResult lock(std::uint32_t timeout_ms = kWaitForever);
    void unlock();

    // Removes the name, so that the next open anywhere makes a new mutex. Where names vanish
    // with their last handle by themselves this does nothing.
    static void remove(const char* name);

  private:
    struct Impl;
    Impl* impl_ = nullptr;
};

}  // namespace plat
