#include "markup_input.h"

#include <algorithm>
#include <cstring>

#include "plat/file.h"

namespace qac {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
constexpr std::uint64_t kSizeHintMax = 256u << 20;  // beyond it the buffer grows as it fills

class FileBlocks final : public BlockReader {
  public:
    explicit FileBlocks(plat::File* file) : file_(file) {}
    bool read(char* buffer, std::size_t size, std::size_t* got) override {
        const plat::Status status = file_->read(buffer, size, got);
        if (!status) {
            error_ = status.error;
        }
        return status.ok();
    }
    plat::ErrorCode error() const { return error_; }

  private:
    plat::File* file_;
    plat::ErrorCode error_ = 0;
};

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

bool DocumentBytes::read_all(BlockReader* reader, std::size_t expected) {
    // Room for the whole file at once when its size is known, so that it is read in one go
    // (one byte more to see its end); a block when it is not. A block for every small file
    // would cost more to clear than the file costs to read.
    storage_.assign(expected != 0 ? expected + 1 : kBlockSize, '\0');
    std::size_t filled = 0;
    bool ok = true;
    while (true) {
        if (filled == storage_.size()) {
            storage_.resize(storage_.size() * 2);
        }
        std::size_t got = 0;
        if (!reader->read(storage_.data() + filled, storage_.size() - filled, &got)) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        filled += got;
    }
    storage_.resize(filled);
    bytes_ = storage_;
    return ok;
}

void DocumentBytes::load(BlockReader* reader) {
    read_all(reader);
}

Result DocumentBytes::load(std::uint32_t kind, const char* source) {
    if (source == nullptr || (kind != kSourceFile && kind != kSourceMemory)) {
        return QAC_E_PARAM;
    }
    if (kind == kSourceMemory) {
        bytes_ = std::string_view(source, std::strlen(source));
        return kOk;
    }
    plat::File file;
    const plat::Status opened = file.open(
        source, plat::Access::read, plat::Disposition::open_existing, plat::Share::read_write);
    if (!opened) {
        return system_result(opened.error);
    }
    // Not while a writer holds the file exclusively, and no writer while it is read.
    const plat::Status shared = file.exclude_exclusive();
    if (!shared) {
        return system_result(shared.error);
    }
    std::uint64_t size = 0;
    file.size(&size);
    FileBlocks blocks(&file);
    // A document cut short by a failed read (a directory, an I/O error) is not the file.
    if (!read_all(&blocks, static_cast<std::size_t>(std::min<std::uint64_t>(size, kSizeHintMax)))) {
        bytes_ = {};
        return system_result(blocks.error());
    }
    return kOk;
}

}  // namespace qac
