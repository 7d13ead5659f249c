#include "plat/file_search.h"

namespace plat {

namespace {

// Bytes of the UTF-8 character at s: its lead byte and the continuation bytes after it.
std::size_t character_length(const char* s) {
    std::size_t n = 1;
    while (n < 4 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) {
        ++n;
    }
    return n;
}

}  // namespace

bool wildcard_match(const char* pattern, const char* name) {
    // Greedy with one back-tracking point: the last '*' seen and where its match may grow.
    const char* after_star = nullptr;
    const char* star_end = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            after_star = ++pattern;
            star_end = name;
        } else if (*pattern == '?') {
            ++pattern;
            name += character_length(name);
        } else if (*pattern != '\0' && *pattern == *name) {
            ++pattern;
            ++name;
        } else if (after_star != nullptr) {
            pattern = after_star;
            star_end += character_length(star_end);
            name = star_end;
        } else {
            return false;
        }
    }
    while (*pattern == '*') {
        ++pattern;
    }
    return *pattern == '\0';
}

}  // namespace plat
