#include "trace_line.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "plat/sysinfo.h"
#include "plat/text.h"

namespace ktl {

namespace {

constexpr std::uint32_t kSequenceModulus = 10000;
std::atomic<std::uint32_t> g_sequence{0};

constexpr char kMaskedTime[] = "****/**/** **:**:**.***";
static_assert(sizeof kMaskedTime - 1 == kTimeStampLength);

// Column positions of a line.
constexpr std::size_t kTimePos = 5;
constexpr std::size_t kProgramIdPos = 33;
constexpr std::size_t kProcessIdPos = 50;
constexpr std::size_t kThreadIdPos = 59;
constexpr std::size_t kBodyPos = 68;

constexpr std::size_t kSecondLength = sizeof StampCache::text;
static_assert(kSecondLength + 4 == kTimeStampLength);

// "00" to "99", so that a line's numbers cost a division and two lookups each.
constexpr auto kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

inline void put_two_digits(char* out, std::uint32_t value) {
    std::memcpy(out, &kDigitPairs[2 * value], 2);
}

// The lowest four digits of value.
inline void put_four_digits(char* out, std::uint32_t value) {
    value %= 10000;
    put_two_digits(out, value / 100);
    put_two_digits(out + 2, value % 100);
}

// The lowest three digits of value.
inline void put_three_digits(char* out, std::uint32_t value) {
    value %= 1000;
    out[0] = static_cast<char>('0' + value / 100);
    put_two_digits(out + 1, value % 100);
}

// Fills width bytes with text cut to width and padded with spaces (null gives spaces).
inline void fill_column(char* out, std::size_t width, const char* text) {
    std::size_t n = 0;
    if (text != nullptr) {
        n = strnlen(text, width);
        std::memcpy(out, text, n);
    }
    std::memset(out + n, ' ', width - n);
}

std::size_t append_text(char* buffer, std::size_t pos, const char* text, std::size_t max) {
    const std::size_t n = strnlen(text, max);
    std::memcpy(buffer + pos, text, n);
    pos += n;
    buffer[pos++] = '\r';
    buffer[pos++] = '\n';
    buffer[pos] = '\0';
    return pos;
}

// Every field but the millisecond, which comes last.
bool same_second(const plat::LocalTime& a, const plat::LocalTime& b) {
    static_assert(offsetof(plat::LocalTime, millisecond) == 6 * sizeof(std::uint16_t));
    return std::memcmp(&a, &b, offsetof(plat::LocalTime, millisecond)) == 0;
}

void write_stamp(char* out, const plat::LocalTime& time, StampCache* stamps) {
    if (!stamps->filled || !same_second(stamps->second, time)) {
        char whole[kTimeStampLength];
        plat::write_time_stamp(whole, time, '.');
        std::memcpy(stamps->text, whole, kSecondLength);
        stamps->second = time;
        stamps->second.millisecond = 0;
        stamps->filled = true;
    }
    std::memcpy(out, stamps->text, kSecondLength);
    out[kSecondLength] = '.';
    put_three_digits(out + kSecondLength + 1, time.millisecond);
}

}  // namespace

std::uint32_t next_sequence_number() {
    // A compare-and-swap loop rather than increment-then-reset, so that concurrent puts
    // never see a number twice or skip one around the wrap.
    std::uint32_t current = g_sequence.load(std::memory_order_relaxed);
    while (!g_sequence.compare_exchange_weak(
        current, current + 1 >= kSequenceModulus ? 0 : current + 1, std::memory_order_relaxed)) {
    }
    return current;
}

std::size_t compose_line(char* buffer, const LineFields& f, std::uint32_t sequence,
                         const plat::LocalTime& time, StampCache* stamps) {
    put_four_digits(buffer, sequence);
    buffer[4] = ' ';
    if (f.masked_time) {
        std::memcpy(buffer + kTimePos, kMaskedTime, kTimeStampLength);
    } else {
        write_stamp(buffer + kTimePos, time, stamps);
    }
    std::memset(buffer + kTimePos + kTimeStampLength, ' ',
                kProgramIdPos - kTimePos - kTimeStampLength);
    if (f.stored_program_id) {
        std::memcpy(buffer + kProgramIdPos, f.program_id, 16);
    } else {
        fill_column(buffer + kProgramIdPos, 16, f.program_id);
    }
    buffer[kProcessIdPos - 1] = ' ';
    // The id texts the library makes carry their separating space: nine bytes each.
    std::memcpy(buffer + kProcessIdPos, f.process_id_text, 9);
    static_assert(kProcessIdPos + 9 == kThreadIdPos);
    if (f.own_thread_id) {
        std::memcpy(buffer + kThreadIdPos, f.thread_id, 9);
        static_assert(kThreadIdPos + 9 == kBodyPos);
    } else {
        fill_column(buffer + kThreadIdPos, 8, f.thread_id);
        buffer[kBodyPos - 1] = ' ';
    }

    switch (f.form) {
        case BodyForm::text_only:
            return append_text(buffer, kBodyPos, f.text, kTextOnlyMaxText);
        case BodyForm::with_id:
            fill_column(buffer + kBodyPos, 21, f.message_id);
            buffer[89] = ' ';
            return append_text(buffer, 90, f.text, kWithIdMaxText);
        case BodyForm::with_type:
            fill_column(buffer + kBodyPos, 16, f.message_id);
            buffer[84] = ' ';
            fill_column(buffer + 85, 4, f.message_type);
            buffer[89] = ' ';
            return append_text(buffer, 90, f.text, kWithIdMaxText);
    }
    return 0;
}

void format_time_zone(char* out, std::size_t capacity, std::int32_t bias) {
    const long hours = bias / 60;  // truncates toward zero
    const long minutes = bias - 60 * hours;
    if (hours >= 0) {
        plat::format_cut(out, capacity, "TZ=(local)+%ld:%02ld", hours, minutes);
    } else {
        plat::format_cut(out, capacity, "TZ=(local)%ld:%02ld", hours, minutes);
    }
}

void make_header_texts(HeaderTexts* texts) {
    if (!plat::operating_system_text(texts->operating_system, sizeof texts->operating_system)) {
        plat::copy_cut(texts->operating_system, sizeof texts->operating_system, "Unknown");
    }
    if (!plat::computer_name(texts->computer_name, sizeof texts->computer_name)) {
        plat::copy_cut(texts->computer_name, sizeof texts->computer_name, "Unknown");
    }
    if (const auto bias = plat::time_zone_bias_minutes()) {
        format_time_zone(texts->time_zone, sizeof texts->time_zone, *bias);
    } else {
        plat::copy_cut(texts->time_zone, sizeof texts->time_zone, "TZ=Unknown");
    }
    plat::write_time_stamp(texts->creation_time, plat::local_time_now(), '.');
    texts->creation_time[kTimeStampLength] = '\0';
    plat::format_cut(texts->language, sizeof texts->language, "message(LANG=0x%04x)",
                     static_cast<unsigned>(plat::default_language_id()));
}

std::size_t compose_header_block(char* buffer, const HeaderTexts& texts) {
    static constexpr char kTitles[] =
        "\r\n     yyyy/mm/dd hh:mm:ss.sss                      pid      tid      message-id      "
        "      ";
    static_assert(sizeof kTitles - 1 == 2 + 90);

    std::size_t pos = 0;
    std::memcpy(buffer, "**** ", 5);
    pos = 5;
    plat::fill_field(buffer + pos, 60, texts.operating_system);
    pos += 60;
    buffer[pos++] = ' ';
    plat::fill_field(buffer + pos, 16, texts.computer_name);
    pos += 16;
    buffer[pos++] = ' ';
    plat::fill_field(buffer + pos, 32, texts.time_zone);
    pos += 32;
    buffer[pos++] = ' ';
    std::memcpy(buffer + pos, texts.creation_time, kTimeStampLength);
    pos += kTimeStampLength;
    std::memcpy(buffer + pos, kTitles, sizeof kTitles - 1);
    pos += sizeof kTitles - 1;
    const std::size_t language = plat::bounded_length(texts.language, sizeof texts.language);
    std::memcpy(buffer + pos, texts.language, language);
    pos += language;
    buffer[pos++] = '\r';
    buffer[pos++] = '\n';
    return pos;
}

}  // namespace ktl
