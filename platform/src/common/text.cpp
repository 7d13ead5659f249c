#include "plat/text.h"

#include "fast_format.h"

#include <cstdio>
#include <cstring>

namespace plat {

std::size_t bounded_length(const char* s, std::size_t max) {
    if (s == nullptr) {
        return 0;
    }
    const void* end = std::memchr(s, '\0', max);
    return end == nullptr ? max : static_cast<std::size_t>(static_cast<const char*>(end) - s);
}

std::size_t copy_cut(char* dst, std::size_t capacity, const char* src) {
    if (capacity == 0) {
        return 0;
    }
    const std::size_t n = bounded_length(src, capacity - 1);
    if (n != 0) {
        std::memcpy(dst, src, n);
    }
    dst[n] = '\0';
    return n;
}

void fill_field(char* dst, std::size_t width, const char* src) {
    const std::size_t n = bounded_length(src, width);
    if (n != 0) {
        std::memcpy(dst, src, n);
    }
    std::memset(dst + n, ' ', width - n);
}

std::size_t vformat_cut(char* dst, std::size_t capacity, const char* format, std::va_list args) {
    if (capacity == 0) {
        return 0;
    }
    std::size_t written = 0;
    if (fast_vformat(dst, capacity, format, args, &written)) {
        return written;
    }
    const int n = std::vsnprintf(dst, capacity, format, args);
    if (n < 0) {
        dst[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < capacity ? static_cast<std::size_t>(n) : capacity - 1;
}

std::size_t format_cut(char* dst, std::size_t capacity, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::size_t n = vformat_cut(dst, capacity, format, args);
    va_end(args);
    return n;
}

std::size_t utf8_safe_cut(const char* s, std::size_t length, std::size_t max) {
    if (length <= max) {
        return length;
    }
    // Step back over continuation bytes to the start of the sequence that would be split.
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

}  // namespace plat
