// The order of values within a set, which also decides which values are equal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "value_node.h"

namespace qac {

// Negative, zero or positive. A total order: values that compare equal are duplicates, and
// values that can never be equal (an empty address, a structure lacking an identifier
// member) are set apart by their addresses. Structures compare by their identifier members,
// or, without such, by all members: definition by definition in definition order, the
// members of one definition in list order. Nesting costs no call stack; a deep one may
// throw std::bad_alloc.
int compare_values(const ValueNode* a, const ValueNode* b);

// Two addresses: host names before numeric ones, IPv4 before IPv6; masks play no part.
// Empty ones are set apart by their values' addresses.
int compare_addresses(const ValueNode* a, const ValueNode* b);

// Values of one definition, as compare_values orders them, quicker for the common types.
inline int compare_integer_values(const ValueNode* a, const ValueNode* b) {
    const std::int64_t x = a->data.Payload.Integer;
    const std::int64_t y = b->data.Payload.Integer;
    return (x > y) - (x < y);
}
inline const char* text_of(const ValueNode* n) {
    return n->data.Payload.String != nullptr ? n->data.Payload.String : "";
}
inline int compare_text_values(const ValueNode* a, const ValueNode* b) {
    return std::strcmp(text_of(a), text_of(b));
}

// Calls visit with the order of values of one definition of that type.
template <typename Visit>
decltype(auto) with_order(std::uint32_t type, Visit&& visit) {
    switch (type) {
        case QAC_TYPE_INTEGER:
            return visit(compare_integer_values);
        case QAC_TYPE_STRING:
        case QAC_TYPE_ENUMERATION:
            return visit(compare_text_values);
        case QAC_TYPE_IPADDR:
            return visit(compare_addresses);
        default:
            return visit(compare_values);
    }
}

// Values of one definition in ascending order, the first of each run of equal ones kept at
// the front: returns how many are kept. The others follow them, in no order. Equal values
// are taken in the order given. May throw std::bad_alloc as compare_values does.
std::size_t sort_distinct(ValueNode** first, ValueNode** last);

}  // namespace qac
