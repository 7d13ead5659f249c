// What the front of the library needs from a writer. Every call runs under the library lock.
#pragma once

#include <cstddef>

#include "codes.h"

namespace ktl {

class TraceWriter {
  public:
    virtual ~TraceWriter() = default;

    virtual Failure open() = 0;
    // Writes n bytes as the next line.
    virtual Failure write_line(const char* bytes, std::size_t n) = 0;
    virtual Failure flush() = 0;
    // Copies the writer's files, oldest first, into one file.
    virtual Failure backup(const char* file_name, int mode) = 0;
    virtual Failure close() = 0;

    // Cross-process lock wait time; only writers that share files across processes have one.
    virtual bool has_lock_wait_time() const { return false; }
    virtual int lock_wait_time() const { return 0; }
    virtual void set_lock_wait_time(int /*milliseconds*/) {}
};

}  // namespace ktl
