#include "markup_input.h"

#include <algorithm>
#include <cstring>

namespace qac {

namespace {

// Sequence length from the first byte; a byte that starts no sequence counts as the start
// of a 2-byte one, and the bytes that follow are taken unchecked.
int sequence_length(unsigned char first) {
    if ((first & 0x80) == 0x00) {
        return 1;
    }
    if ((first & 0xE0) == 0xC0) {
        return 2;
    }
    if ((first & 0xF0) == 0xE0) {
        return 3;
    }
    if ((first & 0xF8) == 0xF0) {
        return 4;
    }
    if ((first & 0xFC) == 0xF8) {
        return 5;
    }
    if ((first & 0xFE) == 0xFC) {
        return 6;
    }
    return 2;
}

}  // namespace

bool MemoryBlocks::read(char* buffer, std::size_t size, std::size_t* got) {
    const std::size_t n = std::min(size, bytes_.size());
    if (n > 0) {
        std::memcpy(buffer, bytes_.data(), n);
    }
    bytes_.remove_prefix(n);
    *got = n;
    return true;
}

Input::Input(std::string_view text) : data_(text.data()), fill_(text.size()) {}

Input::Input(BlockReader* reader) : data_(block_), fill_(0), reader_(reader) {}

int Input::refill() {
    if (ended_ || reader_ == nullptr) {
        ended_ = true;
        return -1;
    }
    std::size_t got = 0;
    if (!reader_->read(block_, sizeof block_, &got) || got == 0) {
        ended_ = true;
        return -1;
    }
    fill_ = got;
    at_ = 0;
    return static_cast<unsigned char>(block_[at_++]);
}

bool Input::next_char(Character* c) {
    const int first = next_byte();
    if (first < 0) {
        return false;
    }
    c->bytes[0] = static_cast<char>(first);
    c->size = 1;
    const int length = sequence_length(static_cast<unsigned char>(first));
    while (c->size < length) {
        const int b = next_byte();
        if (b < 0) {
            break;
        }
        c->bytes[c->size++] = static_cast<char>(b);
    }
    return true;
}

}  // namespace qac
