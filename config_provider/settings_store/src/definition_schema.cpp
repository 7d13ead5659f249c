#include "definition_schema.h"

#include <cstdint>
#include <limits>

namespace qac {

namespace {

constexpr std::int64_t kLengthMax = 2147483646;  // 0x7FFFFFFE
constexpr std::int64_t kNumberMax = 2147483647;  // 0x7FFFFFFF
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

constinit QAC_EnumEntry kTypeWords[6] = {
    {&kTypeWords[1], "integer", ""},     {&kTypeWords[2], "string", ""},
    {&kTypeWords[3], "boolean", ""},     {&kTypeWords[4], "ipaddr", ""},
    {&kTypeWords[5], "enumeration", ""}, {nullptr, "structure", ""},
};

constexpr QAC_SchemaEntry entry(const QAC_SchemaEntry* next, const char* name, std::uint32_t kind,
                                std::uint32_t max_occurrences, std::uint32_t identifier,
                                std::uint32_t necessity, std::int64_t minimum = 0,
                                std::int64_t maximum = 0) {
    QAC_SchemaEntry e;
    e.next = next;
    e.name = name;
    e.kind = kind;
    e.max_occurrences = max_occurrences;
    e.identifier = identifier;
    e.necessity = necessity;
    e.minimum = minimum;
    e.maximum = maximum;
    return e;
}

constexpr QAC_SchemaEntry with_words(QAC_SchemaEntry e, const QAC_EnumEntry* words) {
    e.words = words;
    return e;
}

constexpr QAC_SchemaEntry with_nested(QAC_SchemaEntry e, const QAC_SchemaEntry* nested) {
    e.nested = nested;
    return e;
}

constinit const QAC_SchemaEntry kItemEntries[13] = {
    entry(&kItemEntries[1], "name", SK_NAME, 1, 1, 1, 1, kLengthMax),
    entry(&kItemEntries[2], "description", SK_STRING, 1, 0, 0, 0, kLengthMax),
    entry(&kItemEntries[3], "dispstring", SK_STRING, 1, 0, 0, 0, kLengthMax),
    entry(&kItemEntries[4], "identifier", SK_BOOLEAN, 1, 0, 0),
    entry(&kItemEntries[5], "necessity", SK_BOOLEAN, 1, 0, 0),
    entry(&kItemEntries[6], "hidden", SK_BOOLEAN, 1, 0, 0),
    entry(&kItemEntries[7], "number", SK_INTEGER, 1, 0, 0, 0, kNumberMax),
    with_words(entry(&kItemEntries[8], "type", SK_ENUMERATION, 1, 0, 1), kTypeWords),
    entry(&kItemEntries[9], "enum", SK_ENUMLIST, 1, 0, 0, 1, kLengthMax),
    entry(&kItemEntries[10], "default", SK_TEXT, 1, 0, 0),
    entry(&kItemEntries[11], "minimum", SK_INTEGER, 1, 0, 0, kInt64Min, kInt64Max),
    entry(&kItemEntries[12], "maximum", SK_INTEGER, 1, 0, 0, kInt64Min, kInt64Max),
    with_nested(entry(nullptr, "item", SK_STRUCTURE, 0, 0, 0), &kItemEntries[0]),
};

constinit const QAC_SchemaEntry kRootEntries[5] = {
    entry(&kRootEntries[1], "name", SK_NAME, 1, 0, 1, 1, kLengthMax),
    entry(&kRootEntries[2], "description", SK_STRING, 1, 0, 0, 0, kLengthMax),
    entry(&kRootEntries[3], "dispstring", SK_STRING, 1, 0, 0, 0, kLengthMax),
    entry(&kRootEntries[4], "hidden", SK_BOOLEAN, 1, 0, 0),
    with_nested(entry(nullptr, "item", SK_STRUCTURE, 0, 0, 0), &kItemEntries[0]),
};

}  // namespace

const QAC_SchemaEntry* definition_file_schema() {
    return kRootEntries;
}

const QAC_SchemaEntry* item_schema() {
    return kItemEntries;
}

}  // namespace qac
