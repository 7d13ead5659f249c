// What the conversion expects among the children of one element.
#pragma once

#include <cstdint>

#include "jovacfg.h"

namespace qac {

enum SchemaKind : std::uint32_t {
    SK_NAME = 1,
    SK_INTEGER = 2,
    SK_STRING = 3,
    SK_BOOLEAN = 4,
    SK_IPADDR = 5,
    SK_ENUMLIST = 6,
    SK_ENUMERATION = 7,
    SK_STRUCTURE = 8,
    SK_TEXT = 9,
};

// One expected child element. Entries of a level form a list in the order given.
struct QAC_SchemaEntry {
    const QAC_SchemaEntry* next = nullptr;
    const char* name = nullptr;         // null matches no element
    std::uint32_t kind = 0;             // a SchemaKind; anything else: such elements are skipped
    std::uint32_t max_occurrences = 0;  // 0: unlimited
    std::uint32_t identifier = 0;
    std::uint32_t necessity = 0;
    // SK_NAME, SK_INTEGER, SK_STRING (length), SK_ENUMLIST (word length).
    std::int64_t minimum = 0;
    std::int64_t maximum = 0;
    const QAC_EnumEntry* words = nullptr;     // SK_ENUMERATION: the allowed words
    const QAC_SchemaEntry* nested = nullptr;  // SK_STRUCTURE: entries of the children
};

}  // namespace qac
