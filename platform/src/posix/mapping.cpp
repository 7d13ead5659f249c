#include "plat/mapping.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

namespace {

Status from_errno() {
    return Status::failure(static_cast<ErrorCode>(errno));
}

}  // namespace

std::size_t mapping_granularity() {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

Status FileMapping::map(const File& file, std::uint64_t offset, std::size_t length,
                        MapAccess access) {
    unmap();
    if (!file.is_open()) {
        return Status::failure(EBADF);
    }
    if (length == 0) {
        return Status::failure(EINVAL);
    }
    const int fd = static_cast<int>(file.native_handle());
    const std::uint64_t end = offset + length;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return from_errno();
    }
    if (static_cast<std::uint64_t>(st.st_size) < end) {
        if (access == MapAccess::read) {
            return Status::failure(EINVAL);
        }
        int grown;
        do {
            grown = ftruncate(fd, static_cast<off_t>(end));
        } while (grown != 0 && errno == EINTR);
        if (grown != 0) {
            return from_errno();
        }
    }
    const std::uint64_t aligned = offset - offset % mapping_granularity();
    const auto lead = static_cast<std::size_t>(offset - aligned);
    const int protection = access == MapAccess::read ? PROT_READ : PROT_READ | PROT_WRITE;
    void* base =
        mmap(nullptr, length + lead, protection, MAP_SHARED, fd, static_cast<off_t>(aligned));
    if (base == MAP_FAILED) {
        return from_errno();
    }
    base_ = base;
    base_length_ = length + lead;
    view_ = static_cast<unsigned char*>(base) + lead;
    length_ = length;
    return Status::success();
}

Status FileMapping::flush(std::size_t offset, std::size_t length) {
    if (view_ == nullptr) {
        return Status::failure(EBADF);
    }
    if (offset >= length_ || length == 0) {
        return Status::success();
    }
    if (length > length_ - offset) {
        length = length_ - offset;
    }
    auto* start = view_ + offset;
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    const std::size_t lead = address % mapping_granularity();
    return msync(start - lead, length + lead, MS_SYNC) == 0 ? Status::success() : from_errno();
}

Status FileMapping::unmap() {
    if (base_ == nullptr) {
        return Status::success();
    }
    const int result = munmap(base_, base_length_);
    const Status status = result == 0 ? Status::success() : from_errno();
    base_ = nullptr;
    base_length_ = 0;
    view_ = nullptr;
    length_ = 0;
    return status;
}

}  // namespace plat
