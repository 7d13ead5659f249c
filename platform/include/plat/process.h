// Other programs started from this one.
#pragma once

#include <cstdint>

#include "plat/error.h"

namespace plat {

// Runs a command line through the system's command interpreter (/bin/sh -c, cmd.exe /c) and
// waits until it has ended. *exit_code (optional) receives its exit status, -1 when it did
// not end normally.
Status run_command_interpreter(const char* command_line, int* exit_code = nullptr);

// Whether only a trusted user can change the file: its owner is the administrator (root) or
// the calling process's user, and nobody else may write it. On Windows files take their
// access from their directory's rights and this is always true.
Status query_trusted_owner(const char* path, bool* trusted);

// An exclusive lock on a lock file, which is created when missing and kept afterwards.
// lock() waits until no other holder (in any process) has it. A lock file that cannot be
// created where one may not write fails, so the caller decides whether to go on without.
class FileLock {
  public:
    FileLock() = default;
    ~FileLock() { unlock(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    Status lock(const char* path);
    bool locked() const { return handle_ != kInvalid; }
    void unlock();

  private:
    static constexpr std::intptr_t kInvalid = -1;
    std::intptr_t handle_ = kInvalid;
};

}  // namespace plat
