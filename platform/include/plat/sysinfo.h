// Facts about the running system, for headers of files a person reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// The computer's name, cut to fit; false when the platform cannot tell.
bool computer_name(char* buffer, std::size_t capacity);

// A one-line description of the operating system; false when it cannot be told.
bool operating_system_text(char* buffer, std::size_t capacity);

// The system's default language as a Windows language id (0x0409 when unknown).
std::uint16_t default_language_id();

}  // namespace plat
