#include "markup_tokens.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// What the scans stop at, by byte: whitespace between tokens; in a tag its end, quotes and
// the first bytes of longer sequences; in text `<` and those first bytes. One lookup per
// byte instead of a chain of comparisons.
constexpr unsigned char kSpace = 1;
constexpr unsigned char kTagStop = 2;
constexpr unsigned char kTextStop = 4;

constexpr std::array<unsigned char, 256> kByteClass = [] {
    std::array<unsigned char, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned char c = 0;
        if (is_whitespace(static_cast<unsigned char>(b))) {
            c |= kSpace;
        }
        if (b >= 0x80) {
            c |= kTagStop | kTextStop;
        }
        if (b == '>' || b == '\'' || b == '"') {
            c |= kTagStop;
        }
        if (b == '<') {
            c |= kTextStop;
        }
        table[b] = c;
    }
    return table;
}();

// Eight bytes at a time where they fit: a word's bytes that equal `byte` get their high bit
// set (bytes above one that does may too, which the lowest set bit never sees).
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

constexpr std::uint64_t equal_bytes(std::uint64_t word, unsigned char byte) {
    const std::uint64_t x = word ^ (kOnes * byte);
    return (x - kOnes) & ~x & kHighs;
}

std::uint64_t load_word(const unsigned char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The first byte at or after `at` whose class is in `mask`, or `end`.
template <unsigned char kMask>
const unsigned char* skip_until(const unsigned char* at, const unsigned char* end) {
#if defined(__SSE2__)
    // Sixteen at a time where the processor compares them in one step.
    while (end - at >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        int stops = _mm_movemask_epi8(bytes);  // the first bytes of longer sequences
        if constexpr (kMask == kTextStop) {
            stops |= _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('<')));
        } else {
            stops |= _mm_movemask_epi8(
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('>')),
                                          _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\''))),
                             _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'))));
        }
        if (stops != 0) {
            return at + std::countr_zero(static_cast<unsigned>(stops));
        }
        at += 16;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        while (end - at >= 8) {
            const std::uint64_t word = load_word(at);
            std::uint64_t stops = word & kHighs;  // the first bytes of longer sequences
            if constexpr (kMask == kTextStop) {
                stops |= equal_bytes(word, '<');
            } else {
                stops |= equal_bytes(word, '>') | equal_bytes(word, '\'') | equal_bytes(word, '"');
            }
            if (stops != 0) {
                return at + std::countr_zero(stops) / 8;
            }
            at += 8;
        }
    }
    while (at < end && (kByteClass[*at] & kMask) == 0) {
        ++at;
    }
    return at;
}

const unsigned char* skip_spaces(const unsigned char* at, const unsigned char* end) {
    while (at < end && (kByteClass[*at] & kSpace) != 0) {
        ++at;
    }
    return at;
}

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
    const unsigned char* at = skip_spaces(at_, end_);
    if (at == end_) {
        at_ = at;
        return false;
    }
    const unsigned char* start = at;
    if (*at == '<') {
        unsigned char quote = 0;
        ++at;
        while (true) {
            at = skip_until<kTagStop>(at, end_);
            if (at == end_) {
                break;
            }
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
            } else if (b == '>') {
                token->kind = TokenKind::tag;
                token->text = token_text(start, at);
                at_ = at;
                return true;
            } else {
                quote = b;
            }
        }
        at_ = end_;
        return false;  // the tag has no end: the document ends before it
    }
    // Text up to the next one-byte `<`, which starts the next token.
    while (true) {
        at = skip_until<kTextStop>(at, end_);
        if (at == end_ || *at == '<') {
            break;
        }
        at += character_length(at);
    }
    token->kind = TokenKind::text;
    token->text = token_text(start, at);
    at_ = at;
    return true;
}

Tag classify_tag(std::string_view tag) {
    Tag result;
    const std::size_t size = tag.size();
    if (size >= 2) {
        const char second = tag[1];
        if (second == '?' || (second == '!' && size >= 4 && tag[2] == '-' && tag[3] == '-')) {
            return result;
        }
        if (second == '/') {
            result.kind = TagKind::end;
            return result;
        }
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(tag.data());
    const unsigned char* name_end = bytes + 1;
    while (name_end < bytes + size && *name_end != '>' && (kByteClass[*name_end] & kSpace) == 0) {
        ++name_end;
    }
    const auto end = static_cast<std::size_t>(name_end - bytes);
    std::string_view name = tag.substr(1, end - 1);
    const bool closed = size >= 2 && tag[size - 1] == '>' && tag[size - 2] == '/';
    if (end < size && tag[end] == '>' && !name.empty() && name.back() == '/') {
        name.remove_suffix(1);
    }
    result.name = name;
    result.kind = closed ? TagKind::empty : TagKind::start;
    return result;
}

}  // namespace qac
