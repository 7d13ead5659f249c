#include "markup_reader.h"

#include <cstring>
#include <new>

#include "plat/file.h"

namespace qac {

namespace {

class FileBlocks final : public BlockReader {
  public:
    explicit FileBlocks(plat::File* file) : file_(file) {}
    bool read(char* buffer, std::size_t size, std::size_t* got) override {
        return file_->read(buffer, size, got).ok();
    }

  private:
    plat::File* file_;
};

void read_tokens(Input* input, Document* document) {
    Tokenizer tokenizer(input);
    TreeBuilder builder(document);
    Token token;
    while (tokenizer.next(&token)) {
        builder.add(&token);
    }
}

Result convert_root(const Document& document, const QAC_SchemaEntry* entries, Conversion* values) {
    const Node* root = document.root();
    if (root == nullptr) {
        return kOk;
    }
    return convert(root->first_child, entries, values);
}

}  // namespace

void read_document(BlockReader* reader, Document* document) {
    Input input(reader);
    read_tokens(&input, document);
}

Result read_document(std::uint32_t kind, const char* source, Document* document) {
    if (source == nullptr || (kind != kSourceFile && kind != kSourceMemory)) {
        return QAC_E_PARAM;
    }
    if (kind == kSourceMemory) {
        Input input(std::string_view(source, std::strlen(source)));
        read_tokens(&input, document);
        return kOk;
    }
    plat::File file;
    const plat::Status opened = file.open(
        source, plat::Access::read, plat::Disposition::open_existing, plat::Share::read_write);
    if (!opened) {
        return system_result(opened.error);
    }
    FileBlocks blocks(&file);
    read_document(&blocks, document);
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

}  // namespace qac
