// A formatter for the conversions log messages use (%s %d %i %u %x %X %c %%, with a zero
// flag and a width), several times faster than the C library's general one. Formats with
// anything else are left to the C library.
#include "fast_format.h"

#include <cstring>

namespace plat {

namespace {

// The next '%' of the format from p on, or null.
const char* next_percent(const char* p, const char* end) {
    return static_cast<const char*>(std::memchr(p, '%', static_cast<std::size_t>(end - p)));
}

// Whether every conversion of format is one this formatter writes.
bool supported(const char* format, const char* end) {
    for (const char* p = next_percent(format, end); p != nullptr; p = next_percent(p, end)) {
        ++p;
        if (*p == '0') {
            ++p;
        }
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
        switch (*p) {
            case 's':
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'c':
            case '%':
                ++p;
                break;
            default:
                return false;  // precision, length modifiers, other flags, floats, or the end
        }
    }
    return true;
}

class Output {
  public:
    Output(char* dst, std::size_t capacity) : dst_(dst), room_(capacity - 1) {}
    void put(char c) {
        if (used_ < room_) {
            dst_[used_++] = c;
        }
    }
    void put(const char* text, std::size_t length) {
        const std::size_t n = length < room_ - used_ ? length : room_ - used_;
        std::memcpy(dst_ + used_, text, n);
        used_ += n;
    }
    void fill(char c, std::size_t count) {
        for (; count > 0 && used_ < room_; --count) {
            dst_[used_++] = c;
        }
    }
    std::size_t finish() {
        dst_[used_] = '\0';
        return used_;
    }

  private:
    char* dst_;
    std::size_t room_;
    std::size_t used_ = 0;
};

// Digits are taken from the lowest up; a constant base lets the compiler divide cheaply.
template <unsigned kBase>
std::size_t digits_of(unsigned long magnitude, const char* alphabet, char* digits) {
    std::size_t n = 0;
    do {
        digits[n++] = alphabet[magnitude % kBase];
        magnitude /= kBase;
    } while (magnitude != 0);
    return n;
}

void put_number(Output& out, unsigned long magnitude, bool negative, unsigned base, bool upper,
                bool zero_pad, std::size_t width) {
    char digits[24];
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::size_t n = base == 16 ? digits_of<16>(magnitude, alphabet, digits)
                               : digits_of<10>(magnitude, alphabet, digits);
    const std::size_t length = n + (negative ? 1 : 0);
    const std::size_t pad = width > length ? width - length : 0;
    if (!zero_pad) {
        out.fill(' ', pad);
    }
    if (negative) {
        out.put('-');
    }
    if (zero_pad) {
        out.fill('0', pad);
    }
    while (n > 0) {
        out.put(digits[--n]);
    }
}

}  // namespace

bool fast_vformat(char* dst, std::size_t capacity, const char* format, std::va_list args,
                  std::size_t* written) {
    const char* const end = format + std::strlen(format);
    if (capacity == 0 || !supported(format, end)) {
        return false;
    }
    Output out(dst, capacity);
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            const char* percent = next_percent(p, end);
            const char* run_end = percent != nullptr ? percent : end;
            out.put(p, static_cast<std::size_t>(run_end - p));
            p = run_end - 1;
            continue;
        }
        ++p;
        const bool zero_pad = *p == '0';
        if (zero_pad) {
            ++p;
        }
        std::size_t width = 0;
        while (*p >= '0' && *p <= '9') {
            width = width * 10 + static_cast<std::size_t>(*p - '0');
            ++p;
        }
        switch (*p) {
            case 's': {
                const char* text = va_arg(args, const char*);
                if (text == nullptr) {
                    text = "(null)";
                }
                const std::size_t length = std::strlen(text);
                out.fill(' ', width > length ? width - length : 0);
                out.put(text, length);
                break;
            }
            case 'd':
            case 'i': {
                const int value = va_arg(args, int);
                const unsigned long magnitude =
                    value < 0 ? 0ul - static_cast<unsigned long>(static_cast<long>(value))
                              : static_cast<unsigned long>(value);
                put_number(out, magnitude, value < 0, 10, false, zero_pad, width);
                break;
            }
            case 'u':
                put_number(out, va_arg(args, unsigned int), false, 10, false, zero_pad, width);
                break;
            case 'x':
            case 'X':
                put_number(out, va_arg(args, unsigned int), false, 16, *p == 'X', zero_pad, width);
                break;
            case 'c': {
                const char c = static_cast<char>(va_arg(args, int));
                out.fill(' ', width > 1 ? width - 1 : 0);
                out.put(c);
                break;
            }
            default:  // '%'
                out.put('%');
                break;
        }
    }
    *written = out.finish();
    return true;
}

}  // namespace plat
