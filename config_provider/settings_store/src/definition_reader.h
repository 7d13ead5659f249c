// Definition files: the converted top level becomes the handle's texts and its definitions.
#pragma once

#include <cstdint>

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

// Builds the definitions from a converted definition file, taking its texts and lists over.
// 0 or QAC_E_NOMEM.
Result build_definitions(Conversion* values, DefinitionFile* file);

}  // namespace qac
