#include "element_tree.h"

#include <new>
#include <utility>

namespace qac {

const Node* first_text(const Node* element) {
    for (const Node* child = element->first_child; child != nullptr; child = child->next) {
        if (child->kind == NodeKind::text) {
            return child;
        }
    }
    return nullptr;
}

void TreeBuilder::add(const Token& token) {
    try {
        if (token.kind == TokenKind::text) {
            if (current_ != nullptr) {
                append_node(NodeKind::text, token.text);
            }
            return;
        }
        const Tag tag = classify_tag(token.text);
        if (tag.kind == TagKind::end) {
            if (current_ != nullptr) {
                current_ = current_->parent;
            }
        } else if (tag.kind != TagKind::skipped) {
            Node* element = append_node(NodeKind::element, tag.name);
            if (tag.kind == TagKind::start) {
                current_ = element;
            }
        }
    } catch (const std::bad_alloc&) {
        // A node that cannot be had is left out; the build goes on.
    }
}

Node* TreeBuilder::append_node(NodeKind kind, std::string_view text) {
    std::string copy(text);
    Node* node = &document_->nodes_.emplace_back();
    node->kind = kind;
    node->text = std::move(copy);
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
