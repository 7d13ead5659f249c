// Formatting the printf conversions of log messages without the C library's general
// machinery.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace plat {

// Formats into dst of capacity bytes, cut and terminated, and stores the characters written.
// False, with nothing consumed from args, when format uses a conversion this does not write.
bool fast_vformat(char* dst, std::size_t capacity, const char* format, std::va_list args,
                  std::size_t* written);

}  // namespace plat
