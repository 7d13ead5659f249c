// Allocation and release of the records that cross the library boundary: texts, enumeration
// entries and definition lists. Every allocation throws std::bad_alloc on failure; every
// release is iterative so that deeply nested definitions cannot exhaust the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "jovacfg.h"

namespace qac {

const char* copy_text(std::string_view text);
// A text of that many spaces.
const char* make_padding(std::size_t length);
void release_text(const char* text) noexcept;

struct TextDeleter {
    void operator()(const char* text) const noexcept { release_text(text); }
};
using OwnedText = std::unique_ptr<const char, TextDeleter>;

inline OwnedText make_text(std::string_view text) {
    return OwnedText(copy_text(text));
}

// The entry and both its texts in one allocation.
QAC_EnumEntry* make_enum_entry(std::string_view word, std::string_view display);
void release_enum_list(QAC_EnumEntry* first) noexcept;

struct EnumListDeleter {
    void operator()(QAC_EnumEntry* first) const noexcept { release_enum_list(first); }
};
using OwnedEnumList = std::unique_ptr<QAC_EnumEntry, EnumListDeleter>;

// Appends entries in order while the list stays owned.
class EnumListBuilder {
  public:
    void append(QAC_EnumEntry* entry) noexcept;
    bool empty() const { return head_ == nullptr; }
    OwnedEnumList take() noexcept;

  private:
    OwnedEnumList head_;
    QAC_EnumEntry* tail_ = nullptr;
};

// Releases the texts a payload of the given type owns (string, enumeration, host name).
void release_payload(std::uint32_t type, QAC_Payload& payload) noexcept;

// The text of a string or enumeration value's payload. One that fits lives in the payload's
// own spare bytes (a large read makes tens of thousands of short ones), a longer one on the
// heap; release_payload tells the two apart by the address. Only for a payload that stays
// where it is, such as a value's record.
void put_payload_text(QAC_Payload* payload, std::string_view text);

// Releases a definition list with everything it owns: texts, enumeration lists, defaults
// and nested members.
void release_contents(QAC_Content* first) noexcept;

struct ContentsDeleter {
    void operator()(QAC_Content* first) const noexcept { release_contents(first); }
};
using OwnedContents = std::unique_ptr<QAC_Content, ContentsDeleter>;

// A copy of a definition list that owns everything the list owns.
OwnedContents copy_contents(const QAC_Content* first);

}  // namespace qac
