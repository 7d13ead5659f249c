// The built-in description of definition files.
#pragma once

#include "schema_entry.h"

namespace qac {

// Entries of the root's children: name, description, dispstring, hidden, item. The data is
// constant and fully formed before any code runs, so first use from several threads at once
// needs no lock.
const QAC_SchemaEntry* definition_file_schema();

// Entries of the children of every `item`, nested items included.
const QAC_SchemaEntry* item_schema();

}  // namespace qac
