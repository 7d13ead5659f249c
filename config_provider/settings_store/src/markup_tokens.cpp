#include "markup_tokens.h"

#include <new>

#include "value_text.h"

namespace qac {

namespace {

void append(std::string* text, const Character& c) {
    text->append(c.bytes, c.size);
}

}  // namespace

bool Tokenizer::next(Token* token) {
    if (ended_) {
        return false;
    }
    try {
        Character c;
        if (pending_open_) {
            pending_open_ = false;
            c.size = 1;
            c.bytes[0] = '<';
        } else if (!input_->next_char(&c)) {
            ended_ = true;
            return false;
        }
        while (c.size == 1 && is_whitespace(static_cast<unsigned char>(c.bytes[0]))) {
            if (!input_->next_char(&c)) {
                ended_ = true;
                return false;
            }
        }
        token->text.clear();
        if (c.is('<')) {
            token->kind = TokenKind::tag;
            if (!read_tag(token)) {
                ended_ = true;
                return false;
            }
        } else {
            token->kind = TokenKind::text;
            read_text(c, token);
        }
        return true;
    } catch (const std::bad_alloc&) {
        ended_ = true;
        return false;
    }
}

bool Tokenizer::read_tag(Token* token) {
    token->text.push_back('<');
    char quote = 0;
    Character c;
    while (input_->next_char(&c)) {
        append(&token->text, c);
        if (c.size != 1) {
            continue;
        }
        const char ch = c.bytes[0];
        if (quote != 0) {
            if (ch == quote) {
                quote = 0;
            }
        } else if (ch == '\'' || ch == '"') {
            quote = ch;
        } else if (ch == '>') {
            return true;
        }
    }
    return false;
}

void Tokenizer::read_text(const Character& first, Token* token) {
    append(&token->text, first);
    Character c;
    while (input_->next_char(&c)) {
        if (c.is('<')) {
            pending_open_ = true;
            return;
        }
        append(&token->text, c);
    }
}

}  // namespace qac
