// The tree the reader builds: elements and texts. All nodes belong to their document and
// are released together, so no depth of nesting costs stack.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "markup_tokens.h"

namespace qac {

enum class NodeKind : std::uint32_t { element = 1, text = 2 };

struct Node {
    Node* next = nullptr;    // next sibling
    Node* parent = nullptr;  // null at top level
    NodeKind kind = NodeKind::element;
    std::string text;  // an element's name, or a text node's text
    Node* first_child = nullptr;
    Node* last_child = nullptr;

    bool is_element() const { return kind == NodeKind::element; }
};

// An element's value: its first text child, or null when it has none.
const Node* first_text(const Node* element);

class Document {
  public:
    Document() = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    Document(Document&&) = default;
    Document& operator=(Document&&) = default;

    // The first top-level element; the others are ignored.
    const Node* root() const { return first_top_; }
    const Node* first_top_level() const { return first_top_; }

  private:
    friend class TreeBuilder;

    std::deque<Node> nodes_;
    Node* first_top_ = nullptr;
    Node* last_top_ = nullptr;
};

// Builds a document token by token. Comments, declarations and processing instructions are
// skipped; an end tag closes the current element whatever its name.
class TreeBuilder {
  public:
    explicit TreeBuilder(Document* document) : document_(document) {}

    void add(const Token& token);

  private:
    Node* append_node(NodeKind kind, std::string_view text);

    Document* document_;
    Node* current_ = nullptr;
};

}  // namespace qac
