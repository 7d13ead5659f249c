// Copies into and out of mapped views that survive a failed page-in: a file truncated
// under its mapping, or a read error of the device behind it, fails the one copy instead
// of ending the process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ktl {

// Copies n bytes. False when the access faulted; *code then holds the signal (POSIX) or
// exception code (Windows), and part of the bytes may have been copied.
bool guarded_copy(void* destination, const void* source, std::size_t n, std::uint32_t* code);

}  // namespace ktl
