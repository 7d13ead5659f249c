// Definition files: the converted top level becomes the handle's texts and its definitions.
#pragma once

#include <cstdint>
#include <string_view>

#include "conversion.h"
#include "markup_input.h"
#include "records.h"
#include "result.h"

namespace qac {

// A string definition's default is padded with spaces up to its minimum length. Beyond this
// length the padding is not made with the definitions, which would cost a whole definition
// file its handle when memory is short, but on first use (Default.Payload.String stays null
// until then).
constexpr std::int64_t kMaxDefaultPadding = std::int64_t{1} << 24;

struct DefinitionFile {
    OwnedText name;
    OwnedText description;
    OwnedText dispstring;
    std::uint32_t hidden = 0;
    OwnedContents definitions;  // top-level definitions in file order
};

// Reads a definition file (kind and source as for read_document). On failure *file is left
// as it was.
Result read_definitions(std::uint32_t kind, const char* source, DefinitionFile* file);
Result read_definitions(BlockReader* reader, DefinitionFile* file);
Result read_definitions(std::string_view bytes, DefinitionFile* file);

// A copy that owns all its texts and definitions. Throws std::bad_alloc.
DefinitionFile copy_definition_file(const DefinitionFile& file);

// Handles are made again and again from the same definition file: at every start and reload
// of the service and at every call of the provider. The definitions of the last few files
// read are kept by their bytes; a handle made from the same bytes copies them instead of
// reading them again.
// Copies the definitions read from the same bytes before into *file; false when none are
// kept. Throws std::bad_alloc.
bool copy_kept_definitions(std::string_view bytes, DefinitionFile* file);
// Keeps a copy of the definitions read from bytes, in place of the least recently used.
// Throws std::bad_alloc.
void keep_definitions(std::string_view bytes, const DefinitionFile& file);

// Builds the definitions from a converted definition file, taking its texts and lists over.
// 0 or QAC_E_NOMEM.
Result build_definitions(Conversion* values, DefinitionFile* file);

}  // namespace qac
