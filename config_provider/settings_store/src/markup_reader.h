// Reads a definition or value document into a tree: a file, or a NUL-terminated text in
// memory. Markup that cannot be read ends the document; it never fails the read.
#pragma once

#include <cstdint>
#include <string_view>

#include "conversion.h"
#include "element_tree.h"
#include "markup_input.h"
#include "result.h"
#include "schema_entry.h"

namespace qac {

// Results as for DocumentBytes::load.
Result read_document(std::uint32_t kind, const char* source, Document* document);
void read_document(BlockReader* reader, Document* document);
void build_document(std::string_view bytes, Document* document);

// Reads a document and converts the children of its root with the given entries. Without
// a root element the result is 0 and no values.
Result read_values(std::uint32_t kind, const char* source, const QAC_SchemaEntry* entries,
                   Conversion* values);
Result read_values(BlockReader* reader, const QAC_SchemaEntry* entries, Conversion* values);
Result read_values(std::string_view bytes, const QAC_SchemaEntry* entries, Conversion* values);

}  // namespace qac
