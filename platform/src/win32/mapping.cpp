#include "plat/mapping.h"

#include <windows.h>

namespace plat {

namespace {

Status from_last_error() {
    return Status::failure(static_cast<ErrorCode>(GetLastError()));
}

}  // namespace

std::size_t mapping_granularity() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity;
}

Status FileMapping::map(const File& file, std::uint64_t offset, std::size_t length,
                        MapAccess access) {
    unmap();
    if (!file.is_open()) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    if (length == 0) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    const std::uint64_t end = offset + length;
    const DWORD protection = access == MapAccess::read ? PAGE_READONLY : PAGE_READWRITE;
    // A read/write mapping larger than the file makes the file that long.
    const HANDLE mapping = CreateFileMappingA(reinterpret_cast<HANDLE>(file.native_handle()),
                                              nullptr, protection, static_cast<DWORD>(end >> 32),
                                              static_cast<DWORD>(end & 0xFFFFFFFFu), nullptr);
    if (mapping == nullptr) {
        return from_last_error();
    }
    const std::uint64_t aligned = offset - offset % mapping_granularity();
    const auto lead = static_cast<std::size_t>(offset - aligned);
    const DWORD view_access = access == MapAccess::read ? FILE_MAP_READ : FILE_MAP_WRITE;
    void* base = MapViewOfFile(mapping, view_access, static_cast<DWORD>(aligned >> 32),
                               static_cast<DWORD>(aligned & 0xFFFFFFFFu), length + lead);
    if (base == nullptr) {
        const Status failed = from_last_error();
        CloseHandle(mapping);
        return failed;
    }
    mapping_ = reinterpret_cast<std::intptr_t>(mapping);
    base_ = base;
    base_length_ = length + lead;
    view_ = static_cast<unsigned char*>(base) + lead;
    length_ = length;
    return Status::success();
}

Status FileMapping::flush(std::size_t offset, std::size_t length) {
    if (view_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    if (offset >= length_ || length == 0) {
        return Status::success();
    }
    if (length > length_ - offset) {
        length = length_ - offset;
    }
    return FlushViewOfFile(view_ + offset, length) ? Status::success() : from_last_error();
}

Status FileMapping::unmap() {
    if (base_ == nullptr) {
        return Status::success();
    }
    Status status;
    if (!UnmapViewOfFile(base_)) {
        status = from_last_error();
    }
    if (mapping_ != 0 && !CloseHandle(reinterpret_cast<HANDLE>(mapping_)) && status.ok()) {
        status = from_last_error();
    }
    base_ = nullptr;
    base_length_ = 0;
    view_ = nullptr;
    length_ = 0;
    mapping_ = 0;
    return status;
}

}  // namespace plat
