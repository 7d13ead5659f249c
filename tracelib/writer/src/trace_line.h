// The fixed-column trace line and the header block that opens every trace file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plat/time.h"

namespace ktl {

enum class BodyForm { text_only, with_id, with_type };

struct LineFields {
    BodyForm form = BodyForm::text_only;
    const char* program_id = nullptr;       // cut / padded to 16
    bool stored_program_id = false;         // program_id is 16 characters, already padded
    const char* process_id_text = nullptr;  // 8 hex digits and a space, as the library makes it
    const char* thread_id = nullptr;        // cut / padded to 8
    bool own_thread_id = false;             // thread_id is 8 hex digits and a space
    const char* message_id = nullptr;       // 21 (with id) or 16 (with type)
    const char* message_type = nullptr;     // 4
    const char* text = nullptr;             // cut to the body's limit
    bool masked_time = false;               // "****/**/** **:**:**.***" instead of the time
};

constexpr std::size_t kMaxLineLength = 4187;
constexpr std::size_t kTextOnlyMaxText = 4117;
constexpr std::size_t kWithIdMaxText = 4095;

// The date and time to the second of a thread's last line: most lines share it, so their
// digits are made once a second. All zero (as a fresh thread record is) means none yet.
struct StampCache {
    plat::LocalTime second;  // millisecond always 0
    bool filled;
    char text[19];  // "yyyy/mm/dd hh:mm:ss"
};

// Composes one line with its CR LF into buffer (room for kMaxLineLength + 1 bytes) and
// NUL-terminates it. Returns the line's length without the NUL.
std::size_t compose_line(char* buffer, const LineFields& fields, std::uint32_t sequence,
                         const plat::LocalTime& time, StampCache* stamps);

// The next sequence number of this process: 0000 to 9999, then 0000 again.
std::uint32_t next_sequence_number();

constexpr std::size_t kTimeStampLength = plat::kTimeStampLength;

// The texts of a trace file's header block, made once per writer.
struct HeaderTexts {
    char operating_system[61];
    char computer_name[17];
    char time_zone[33];
    char creation_time[kTimeStampLength + 1];
    char language[32];
};

void make_header_texts(HeaderTexts* texts);

// The time-zone text for a bias in minutes (UTC = local + bias).
void format_time_zone(char* out, std::size_t capacity, std::int32_t bias_minutes);

constexpr std::size_t kHeaderBlockCapacity = 320;
// Composes the two header lines into buffer (kHeaderBlockCapacity bytes). Returns the length.
std::size_t compose_header_block(char* buffer, const HeaderTexts& texts);

}  // namespace ktl
