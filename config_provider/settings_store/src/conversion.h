// Schema-driven conversion: the children of an element become typed values, as the entries
// of their level say. What does not fit is skipped without a word.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "element_tree.h"
#include "jovacfg.h"
#include "records.h"
#include "result.h"
#include "schema_entry.h"

namespace qac {

enum class ValueKind : std::uint32_t {
    identifier = 1,
    integer = 2,
    text = 3,
    boolean = 4,
    ipaddr = 5,
    enum_list = 6,
    enum_word = 7,
    structure = 8,
};

struct Converted {
    const QAC_SchemaEntry* entry = nullptr;
    ValueKind kind = ValueKind::text;
    OwnedText text;  // identifier, text, enumeration word, or the address's host name
    std::int64_t integer = 0;
    std::uint32_t boolean = 0;
    QAC_IpAddr address{};
    OwnedEnumList enum_list;
    std::vector<Converted*> members;  // structure members in document order

    // Values that compare equal share an identity; 0 is equal to nothing, itself included.
    std::uint64_t identity = 0;
    std::uint32_t entry_index = 0;  // the entry's position in its level

    std::string_view text_view() const { return text ? std::string_view(text.get()) : ""; }
};

// Owns every value made by one conversion until the read ends.
class Conversion {
  public:
    Conversion();
    ~Conversion();
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;

    // The converted children of the converted element, in document order.
    const std::vector<Converted*>& values() const { return top_; }

  private:
    friend class Converter;

    std::deque<Converted> store_;
    std::vector<Converted*> top_;
};

// Converts the element whose first child is given with the entry list. 0, or QAC_E_NOMEM
// when not even the top level could be set up.
Result convert(const Node* first_child, const QAC_SchemaEntry* entries, Conversion* out);

}  // namespace qac
