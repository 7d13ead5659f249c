#include "markup_tokens.h"

#include <array>
#include <cstring>

#include "value_text.h"

namespace qac {

namespace {

// Sequence length by first byte; a byte that starts no sequence counts as the start of a
// two-byte one.
constexpr std::array<unsigned char, 256> kSequenceLength = [] {
    std::array<unsigned char, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        if ((b & 0x80) == 0x00) {
            table[b] = 1;
        } else if ((b & 0xE0) == 0xC0) {
            table[b] = 2;
        } else if ((b & 0xF0) == 0xE0) {
            table[b] = 3;
        } else if ((b & 0xF8) == 0xF0) {
            table[b] = 4;
        } else if ((b & 0xFC) == 0xF8) {
            table[b] = 5;
        } else if ((b & 0xFE) == 0xFC) {
            table[b] = 6;
        } else {
            table[b] = 2;
        }
    }
    return table;
}();

}  // namespace

// The bytes of the character at `at`, cut where the input ends inside it: a pointer may not
// even be formed past the end.
std::size_t Tokenizer::character_length(const unsigned char* at) const {
    const std::size_t length = kSequenceLength[*at];
    const auto left = static_cast<std::size_t>(end_ - at);
    return length < left ? length : left;
}

Tokenizer::Tokenizer(std::string_view bytes)
    : at_(reinterpret_cast<const unsigned char*>(bytes.data())), end_(at_ + bytes.size()) {
    const void* nul = std::memchr(at_, '\0', bytes.size());
    first_nul_ = nul != nullptr ? static_cast<const unsigned char*>(nul) : end_;
}

// Most documents hold no NUL byte; only tokens past the first one need a look.
std::string_view Tokenizer::token_text(const unsigned char* begin, const unsigned char* end) const {
    const auto* text = reinterpret_cast<const char*>(begin);
    auto size = static_cast<std::size_t>(end - begin);
    if (end > first_nul_) {
        const void* nul = std::memchr(text, '\0', size);
        if (nul != nullptr) {
            size = static_cast<std::size_t>(static_cast<const char*>(nul) - text);
        }
    }
    return std::string_view(text, size);
}

bool Tokenizer::next(Token* token) {
    const unsigned char* at = at_;
    while (at < end_ && is_whitespace(*at)) {
        ++at;
    }
    if (at == end_) {
        at_ = at;
        return false;
    }
    const unsigned char* start = at;
    if (*at == '<') {
        unsigned char quote = 0;
        ++at;
        while (at < end_) {
            const unsigned char b = *at;
            if (b >= 0x80) {
                at += character_length(at);
                continue;
            }
            ++at;
            if (quote != 0) {
                if (b == quote) {
                    quote = 0;
                }
            } else if (b == '\'' || b == '"') {
                quote = b;
            } else if (b == '>') {
                token->kind = TokenKind::tag;
                token->text = token_text(start, at);
                at_ = at;
                return true;
            }
        }
        at_ = end_;
        return false;  // the tag has no end: the document ends before it
    }
    // Text up to the next one-byte `<`, which starts the next token.
    while (at < end_) {
        const unsigned char b = *at;
        if (b < 0x80) {
            if (b == '<') {
                break;
            }
            ++at;
        } else {
            at += character_length(at);
        }
    }
    token->kind = TokenKind::text;
    token->text = token_text(start, at);
    at_ = at;
    return true;
}

Tag classify_tag(std::string_view tag) {
    Tag result;
    if (tag.starts_with("<!--") || tag.starts_with("<?")) {
        return result;
    }
    if (tag.starts_with("</")) {
        result.kind = TagKind::end;
        return result;
    }
    std::size_t end = 1;
    while (end < tag.size() && tag[end] != '>' &&
           !is_whitespace(static_cast<unsigned char>(tag[end]))) {
        ++end;
    }
    std::string_view name = tag.substr(1, end - 1);
    if (end < tag.size() && tag[end] == '>' && !name.empty() && name.back() == '/') {
        name.remove_suffix(1);
    }
    result.name = name;
    result.kind = tag.ends_with("/>") ? TagKind::empty : TagKind::start;
    return result;
}

}  // namespace qac
