#include "trace_line.h"

#include <atomic>
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

std::size_t append_text(char* buffer, std::size_t pos, const char* text, std::size_t max) {
    const std::size_t n = plat::bounded_length(text, max);
    std::memcpy(buffer + pos, text, n);
    pos += n;
    buffer[pos++] = '\r';
    buffer[pos++] = '\n';
    buffer[pos] = '\0';
    return pos;
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
                         const plat::LocalTime& time) {
    plat::put_digits(buffer, 4, sequence);
    buffer[4] = ' ';
    if (f.masked_time) {
        std::memcpy(buffer + kTimePos, kMaskedTime, kTimeStampLength);
    } else {
        plat::write_time_stamp(buffer + kTimePos, time, '.');
    }
    std::memset(buffer + kTimePos + kTimeStampLength, ' ',
                kProgramIdPos - kTimePos - kTimeStampLength);
    plat::fill_field(buffer + kProgramIdPos, 16, f.program_id);
    buffer[kProcessIdPos - 1] = ' ';
    plat::fill_field(buffer + kProcessIdPos, 8, f.process_id_text);
    buffer[kThreadIdPos - 1] = ' ';
    plat::fill_field(buffer + kThreadIdPos, 8, f.thread_id);
    buffer[kBodyPos - 1] = ' ';

    switch (f.form) {
        case BodyForm::text_only:
            return append_text(buffer, kBodyPos, f.text, kTextOnlyMaxText);
        case BodyForm::with_id:
            plat::fill_field(buffer + kBodyPos, 21, f.message_id);
            buffer[89] = ' ';
            return append_text(buffer, 90, f.text, kWithIdMaxText);
        case BodyForm::with_type:
            plat::fill_field(buffer + kBodyPos, 16, f.message_id);
            buffer[84] = ' ';
            plat::fill_field(buffer + 85, 4, f.message_type);
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
