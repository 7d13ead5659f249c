// Splits a document's bytes into tags and texts, and tells what a tag is.
#pragma once

#include <cstddef>
#include <string_view>

namespace qac {

enum class TokenKind { tag = 1, text = 2 };

// A view into the document's bytes, cut at its first NUL byte: names and texts are C strings
// where they leave the reader. A tag includes its `<` and `>`.
struct Token {
    TokenKind kind = TokenKind::text;
    std::string_view text;
};

// Characters are UTF-8 sequences as their first byte announces them, taken unchecked; only
// one-byte characters act as markup, so a `<` or `>` inside a sequence is text.
class Tokenizer {
  public:
    explicit Tokenizer(std::string_view bytes);

    // The next token. False when the document ends: at the end of the bytes, or at a tag
    // without its `>`, which the document then ends before.
    bool next(Token* token);

  private:
    std::size_t character_length(const unsigned char* at) const;
    std::string_view token_text(const unsigned char* begin, const unsigned char* end) const;

    const unsigned char* at_;
    const unsigned char* end_;
    const unsigned char* first_nul_;  // end_ when there is none
};

enum class TagKind {
    skipped,  // a comment, declaration or processing instruction
    end,      // closes the current element, whatever the name
    start,    // opens an element
    empty,    // an element without content, `<name/>`
};

struct Tag {
    TagKind kind = TagKind::skipped;
    std::string_view name;  // start and empty tags: up to the first whitespace or `>`
};

Tag classify_tag(std::string_view tag);

}  // namespace qac
