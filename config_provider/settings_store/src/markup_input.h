// The reader's input: a file read in blocks, or a NUL-terminated text in memory, taken one
// UTF-8 character at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qac {

constexpr std::size_t kBlockSize = 1024;

// Supplies the bytes of a file, block by block.
class BlockReader {
  public:
    virtual ~BlockReader() = default;
    // Up to size bytes into buffer; *got is 0 at the end. False when the read failed.
    virtual bool read(char* buffer, std::size_t size, std::size_t* got) = 0;
};

// Bytes in memory handed out like a file's, NUL bytes included.
class MemoryBlocks final : public BlockReader {
  public:
    explicit MemoryBlocks(std::string_view bytes) : bytes_(bytes) {}
    bool read(char* buffer, std::size_t size, std::size_t* got) override;

  private:
    std::string_view bytes_;
};

// One UTF-8 sequence as it came: 1 to 6 bytes, fewer when the input ended inside it.
struct Character {
    std::uint8_t size = 0;
    char bytes[8] = {};

    bool is(char c) const { return size == 1 && bytes[0] == c; }
};

class Input {
  public:
    explicit Input(std::string_view text);
    explicit Input(BlockReader* reader);
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // False at the end of input; once the end is reached it stays reached.
    bool next_char(Character* c);

  private:
    int next_byte() {
        if (at_ < fill_) {
            return static_cast<unsigned char>(data_[at_++]);
        }
        return refill();
    }
    int refill();

    const char* data_;
    std::size_t fill_;
    std::size_t at_ = 0;
    BlockReader* reader_ = nullptr;
    bool ended_ = false;
    char block_[kBlockSize];
};

}  // namespace qac
