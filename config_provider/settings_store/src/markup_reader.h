// Reads a definition or value document: a file, or a NUL-terminated text in memory. What
// cannot be read ends the document; it never fails the read.
#pragma once

#include <cstdint>

#include "conversion.h"
#include "element_tree.h"
#include "markup_input.h"
#include "result.h"
#include "schema_entry.h"

namespace qac {

enum SourceKind : std::uint32_t { kSourceFile = 1, kSourceMemory = 2 };

// The source is a path for kSourceFile and the text itself for kSourceMemory. Results: 0;
// QAC_E_PARAM for an unknown kind or a null source; QAC_E_SYSTEM or QAC_E_BUSY with the
// system error when the file cannot be opened.
Result read_document(std::uint32_t kind, const char* source, Document* document);
void read_document(BlockReader* reader, Document* document);

// Reads a document and converts the children of its root with the given entries. Without
// a root element the result is 0 and no values.
Result read_values(std::uint32_t kind, const char* source, const QAC_SchemaEntry* entries,
                   Conversion* values);
Result read_values(BlockReader* reader, const QAC_SchemaEntry* entries, Conversion* values);

}  // namespace qac
