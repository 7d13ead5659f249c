// Bounded text helpers: every copy or format into a fixed buffer is cut to fit and, where
// the buffer holds a C string, terminated. Nothing here ever writes past the given size.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace plat {

// Length of s, looking at most at max characters.
std::size_t bounded_length(const char* s, std::size_t max);

// Copies src (null counts as empty) into dst of capacity bytes, cut to capacity - 1
// characters and NUL-terminated. Returns the characters copied. capacity 0 writes nothing.
std::size_t copy_cut(char* dst, std::size_t capacity, const char* src);

// Fills exactly width bytes of dst with src cut to width and padded with spaces.
// No terminator is written. Null src gives spaces.
void fill_field(char* dst, std::size_t width, const char* src);

// snprintf into dst of capacity bytes: cut and terminated. Returns the characters written.
std::size_t format_cut(char* dst, std::size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
std::size_t vformat_cut(char* dst, std::size_t capacity, const char* format, std::va_list args);

// Writes value as exactly width decimal digits with leading zeros (only the lowest digits
// when it has more), without a terminator. For fixed columns on hot paths.
inline void put_digits(char* out, std::size_t width, unsigned long value) {
    for (std::size_t i = width; i > 0; --i) {
        out[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// Number of bytes of the first max bytes of s that end on a whole UTF-8 sequence, so
// that a cut there never splits a character.
std::size_t utf8_safe_cut(const char* s, std::size_t length, std::size_t max);

}  // namespace plat
