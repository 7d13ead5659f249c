#include "markup_reader.h"

#include <new>

namespace qac {

namespace {

Result convert_root(const Document& document, const QAC_SchemaEntry* entries, Conversion* values) {
    const Node* root = document.root();
    if (root == nullptr) {
        return kOk;
    }
    return convert(root->first_child, entries, values);
}

}  // namespace

void build_document(std::string_view bytes, Document* document) {
    Tokenizer tokenizer(bytes);
    TreeBuilder builder(document);
    Token token;
    while (tokenizer.next(&token)) {
        builder.add(token);
    }
}

void read_document(BlockReader* reader, Document* document) {
    DocumentBytes bytes;
    try {
        bytes.load(reader);
    } catch (const std::bad_alloc&) {
        return;  // what could not be read is not in the document
    }
    build_document(bytes.bytes(), document);
}

Result read_document(std::uint32_t kind, const char* source, Document* document) {
    DocumentBytes bytes;
    try {
        const Result result = bytes.load(kind, source);
        if (result != kOk) {
            return result;
        }
    } catch (const std::bad_alloc&) {
        return QAC_E_NOMEM;
    }
    build_document(bytes.bytes(), document);
    return kOk;
}

Result read_values(std::uint32_t kind, const char* source, const QAC_SchemaEntry* entries,
                   Conversion* values) {
    Document document;
    const Result result = read_document(kind, source, &document);
    if (result != kOk) {
        return result;
    }
    return convert_root(document, entries, values);
}

Result read_values(BlockReader* reader, const QAC_SchemaEntry* entries, Conversion* values) {
    Document document;
    read_document(reader, &document);
    return convert_root(document, entries, values);
}

Result read_values(std::string_view bytes, const QAC_SchemaEntry* entries, Conversion* values) {
    Document document;
    build_document(bytes, &document);
    return convert_root(document, entries, values);
}

}  // namespace qac
