// The reader's input: the bytes of a file, read in blocks, or a NUL-terminated text in
// memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "plat/error.h"
#include "result.h"

namespace qac {

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

enum SourceKind : std::uint32_t { kSourceFile = 1, kSourceMemory = 2 };

// A whole document's bytes: a file read to its end, or a memory text up to its NUL, in place.
class DocumentBytes {
  public:
    // The source is a path for kSourceFile and the text itself for kSourceMemory. 0;
    // QAC_E_PARAM for an unknown kind or a null source; QAC_E_SYSTEM or QAC_E_BUSY with the
    // system error when the file cannot be opened or read, or is held by an exclusive open.
    // Throws std::bad_alloc.
    Result load(std::uint32_t kind, const char* source);
    // Up to the end or the first failed read. Throws std::bad_alloc.
    void load(BlockReader* reader);

    std::string_view bytes() const { return bytes_; }

  private:
    // False when a read failed; the bytes are then those read before it.
    bool read_all(BlockReader* reader, std::size_t expected = 0);

    std::string storage_;
    std::string_view bytes_;
};

}  // namespace qac
