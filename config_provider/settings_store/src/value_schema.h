// The entries a value file is read with, derived from a definition list: one element name
// per definition, structures nesting their members' entries.
#pragma once

#include <deque>

#include "jovacfg.h"
#include "result.h"
#include "schema_entry.h"

namespace qac {

// Refers to the definitions' names and enumeration lists; they must outlive it.
class ValueSchema {
  public:
    const QAC_SchemaEntry* entries() const { return first_; }

  private:
    friend Result build_value_schema(const QAC_Content* definitions, ValueSchema* schema);

    std::deque<QAC_SchemaEntry> entries_;
    const QAC_SchemaEntry* first_ = nullptr;
};

// 0 or QAC_E_NOMEM. An empty list gives a schema without entries: a value file read with it
// yields no values.
Result build_value_schema(const QAC_Content* definitions, ValueSchema* schema);

}  // namespace qac
