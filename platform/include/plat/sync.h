// Locks within one process.
#pragma once

#include <cstddef>

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

}  // namespace plat
