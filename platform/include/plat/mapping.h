// Shared memory mappings of files: what one process writes into a read/write view the
// others see in theirs at once, and the file holds once the view is flushed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plat/error.h"
#include "plat/file.h"

namespace plat {

enum class MapAccess { read, read_write };

class FileMapping {
  public:
    FileMapping() = default;
    ~FileMapping();
    FileMapping(FileMapping&& other) noexcept;
    FileMapping& operator=(FileMapping&& other) noexcept;
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    // Maps length bytes of the file from offset (any offset; no alignment needed). The file
    // must be open with matching access. A read/write mapping of a shorter file makes the
    // file that long first (zero bytes), as a Windows mapping does; a read mapping must lie
    // within the file. Accesses beyond the file's end after it shrank fault (SIGBUS, or an
    // in-page error on Windows).
    Status map(const File& file, std::uint64_t offset, std::size_t length, MapAccess access);
    bool is_mapped() const { return view_ != nullptr; }
    unsigned char* data() const { return view_; }
    std::size_t size() const { return length_; }

    // Writes the changed pages of [offset, offset + length) of the view to the file.
    Status flush(std::size_t offset, std::size_t length);
    // Unmaps the view (and closes the mapping object). Nothing when not mapped.
    Status unmap();

  private:
    unsigned char* view_ = nullptr;  // the first byte asked for
    std::size_t length_ = 0;
    void* base_ = nullptr;  // the start of the system's view (aligned)
    std::size_t base_length_ = 0;
    std::intptr_t mapping_ = 0;  // Windows: the mapping object
};

// The system's granularity of view offsets.
std::size_t mapping_granularity();

}  // namespace plat
