// Helpers shared by the settings store tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "element_tree.h"
#include "markup_reader.h"

namespace qac::testing {

// The tree as text: elements as name[children], texts quoted. Walks the parent links so
// that any depth can be shown.
inline std::string dump(const Document& document) {
    std::string out;
    const Node* n = document.first_top_level();
    while (n != nullptr) {
        out += n->is_element() ? n->text : "'" + n->text + "'";
        if (n->first_child != nullptr) {
            out += "[";
            n = n->first_child;
            continue;
        }
        while (n != nullptr && n->next == nullptr) {
            n = n->parent;
            if (n != nullptr) {
                out += "]";
            }
        }
        if (n != nullptr) {
            out += " ";
            n = n->next;
        }
    }
    return out;
}

inline std::string dump_text(const std::string& text) {
    Document document;
    read_document(kSourceMemory, text.c_str(), &document);
    return dump(document);
}

inline std::filesystem::path temp_dir() {
    const char* base = std::getenv("VM_TEST_TMP");
    auto dir = std::filesystem::path(base != nullptr ? base : "/tmp") / "settings_store";
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::string write_file(const std::string& name, std::string_view bytes) {
    const auto path = temp_dir() / name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path.string();
}

inline std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

}  // namespace qac::testing
