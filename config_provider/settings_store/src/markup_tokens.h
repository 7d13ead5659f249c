// Splits the input into tags and texts.
#pragma once

#include <string>

#include "markup_input.h"

namespace qac {

enum class TokenKind { tag = 1, text = 2 };

struct Token {
    TokenKind kind = TokenKind::text;
    std::string text;  // a tag includes its `<` and `>`
};

class Tokenizer {
  public:
    explicit Tokenizer(Input* input) : input_(input) {}

    // The next token. False when the document ends: at the end of input, or at a token that
    // cannot be read (a tag without its `>`, memory exhausted); the document is then what
    // came before it.
    bool next(Token* token);

  private:
    bool read_tag(Token* token);
    void read_text(const Character& first, Token* token);

    Input* input_;
    bool pending_open_ = false;  // a `<` that ended the previous text
    bool ended_ = false;
};

}  // namespace qac
