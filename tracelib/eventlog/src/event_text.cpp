#include "event_text.h"

#include <cstring>

#include "plat/text.h"

namespace ktl::syslog {

namespace {

struct MessageEntry {
    std::uint32_t event_id;
    const char* text;
};

// The library's message table; the log viewer shows events through it.
constexpr MessageEntry kMessageTable[] = {
    {kEventWithIdent, "%1 [%2]: %3\r\n"},
    {kEventWithoutIdent, "[%1]: %2\r\n"},
};

}  // namespace

void MessageText::append(const char* piece) {
    if (full_ || piece == nullptr) {
        return;
    }
    const std::size_t room = kMaxMessage - used_;
    const std::size_t length = plat::bounded_length(piece, room + 1);
    const std::size_t taken = plat::utf8_safe_cut(piece, length, room);
    std::memcpy(text_ + used_, piece, taken);
    used_ += taken;
    text_[used_] = '\0';
    if (length >= room) {
        full_ = true;
    }
}

void render_event(std::uint32_t event_id, const char* const* strings, std::size_t count, char* out,
                  std::size_t capacity) {
    if (capacity == 0) {
        return;
    }
    const char* format = "";
    for (const MessageEntry& entry : kMessageTable) {
        if (entry.event_id == event_id) {
            format = entry.text;
        }
    }
    std::size_t used = 0;
    auto put = [&](const char* piece, std::size_t length) {
        const std::size_t taken = plat::utf8_safe_cut(piece, length, capacity - 1 - used);
        std::memcpy(out + used, piece, taken);
        used += taken;
    };
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            const auto index = static_cast<std::size_t>(p[1] - '1');
            const char* insertion =
                index < count && strings[index] != nullptr ? strings[index] : "";
            put(insertion, std::strlen(insertion));
            ++p;
        } else {
            put(p, 1);
        }
    }
    out[used] = '\0';
}

}  // namespace ktl::syslog
