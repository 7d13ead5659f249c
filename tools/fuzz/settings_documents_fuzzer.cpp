// Definition and value documents: the reader, the conversion of definition files, the
// definitions built from it and a value document read with the schema they give.
//
// Input: a definition document, optionally followed by "\n%%\n" and a value document. Both
// are read as files (NUL bytes included); the NUL-free start of the definition document is
// also read as a memory text, which must give the same tree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "definition_reader.h"
#include "markup_reader.h"
#include "value_schema.h"

namespace {

// Walks the tree through its parent links, so any depth is fine.
std::string shape(const qac::Document& document) {
    std::string out;
    const qac::Node* n = document.first_top_level();
    while (n != nullptr) {
        out += n->is_element() ? "<" : "'";
        out += n->text;
        if (n->first_child != nullptr) {
            n = n->first_child;
            continue;
        }
        while (n != nullptr && n->next == nullptr) {
            n = n->parent;
            out += ">";
        }
        if (n != nullptr) {
            n = n->next;
        }
    }
    return out;
}

// Touches every converted value, members included, without recursion.
std::size_t visit(const std::vector<qac::Converted*>& top) {
    std::vector<const qac::Converted*> pending(top.begin(), top.end());
    std::size_t bytes = 0;
    while (!pending.empty()) {
        const qac::Converted* v = pending.back();
        pending.pop_back();
        bytes += v->text_view().size();
        for (const qac::Converted* m : v->members) {
            pending.push_back(m);
        }
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find("\n%%\n");
    const std::string_view definitions = input.substr(0, split);
    const std::string_view values =
        split == std::string_view::npos ? input : input.substr(split + 4);

    const std::string text(definitions.substr(0, definitions.find('\0')));
    qac::Document from_memory;
    qac::Document from_blocks;
    qac::MemoryBlocks text_blocks(text);
    if (qac::read_document(qac::kSourceMemory, text.c_str(), &from_memory) != 0) {
        std::abort();
    }
    qac::read_document(&text_blocks, &from_blocks);
    if (shape(from_memory) != shape(from_blocks)) {
        std::abort();
    }

    qac::MemoryBlocks definition_blocks(definitions);
    qac::DefinitionFile file;
    if (qac::read_definitions(&definition_blocks, &file) != 0) {
        return 0;
    }
    qac::ValueSchema schema;
    if (qac::build_value_schema(file.definitions.get(), &schema) != 0) {
        return 0;
    }
    qac::MemoryBlocks value_blocks(values);
    qac::Conversion converted;
    if (qac::read_values(&value_blocks, schema.entries(), &converted) == 0) {
        visit(converted.values());
    }
    return 0;
}
