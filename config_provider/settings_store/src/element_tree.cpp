#include "element_tree.h"

#include <new>
#include <utility>

#include "value_text.h"

namespace qac {

namespace {

// Names and texts are C strings where they leave the reader, so a NUL byte from a file ends
// them here already.
std::string_view up_to_nul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

std::string_view element_name(std::string_view tag) {
    std::size_t end = 1;
    while (end < tag.size() && tag[end] != '>' &&
           !is_whitespace(static_cast<unsigned char>(tag[end]))) {
        ++end;
    }
    std::string_view name = tag.substr(1, end - 1);
    if (end < tag.size() && tag[end] == '>' && !name.empty() && name.back() == '/') {
        name.remove_suffix(1);
    }
    return name;
}

}  // namespace

const Node* first_text(const Node* element) {
    for (const Node* child = element->first_child; child != nullptr; child = child->next) {
        if (child->kind == NodeKind::text) {
            return child;
        }
    }
    return nullptr;
}

void TreeBuilder::add(Token* token) {
    try {
        if (token->kind == TokenKind::tag) {
            add_tag(up_to_nul(token->text));
        } else {
            add_text(token);
        }
    } catch (const std::bad_alloc&) {
        // A node that cannot be had is left out; the build goes on.
    }
}

void TreeBuilder::add_tag(std::string_view tag) {
    if (tag.starts_with("<!--") || tag.starts_with("<?")) {
        return;
    }
    if (tag.starts_with("</")) {
        if (current_ != nullptr) {
            current_ = current_->parent;
        }
        return;
    }
    Node* element = append_node(NodeKind::element, std::string(element_name(tag)));
    if (!tag.ends_with("/>")) {
        current_ = element;
    }
}

void TreeBuilder::add_text(Token* token) {
    if (current_ == nullptr) {
        return;
    }
    std::string text = std::move(token->text);
    text.resize(up_to_nul(text).size());
    append_node(NodeKind::text, std::move(text));
}

Node* TreeBuilder::append_node(NodeKind kind, std::string text) {
    Node* node = &document_->nodes_.emplace_back();
    node->kind = kind;
    node->text = std::move(text);
    node->parent = current_;
    if (current_ != nullptr) {
        if (current_->last_child == nullptr) {
            current_->first_child = node;
        } else {
            current_->last_child->next = node;
        }
        current_->last_child = node;
    } else {
        if (document_->last_top_ == nullptr) {
            document_->first_top_ = node;
        } else {
            document_->last_top_->next = node;
        }
        document_->last_top_ = node;
    }
    return node;
}

}  // namespace qac
