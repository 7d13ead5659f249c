// Reads a value document straight into a group. The root's children are the group's
// values, each named after its definition; a structure's children are its members, to any
// depth. Elements of unknown names, texts that do not convert and a definition's elements
// beyond its number are skipped; a value equal to one read before it in the same document
// is dropped.
#pragma once

#include <string_view>

#include "result.h"
#include "value_node.h"

namespace qac {

// 0, or the first failure (QAC_E_EXIST: a value equal to one the group held before;
// QAC_E_NOMEM), after which every value of the group is released, those held before
// included.
Result read_value_document(HandleState* handle, QAC_DataGroup* group, std::string_view bytes);

}  // namespace qac
