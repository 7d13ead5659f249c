#include "plat/file.h"

#include <windows.h>

#include <cstring>
#include <utility>

namespace plat {

namespace {

// ReadFile and WriteFile take a 32-bit count.
constexpr std::size_t kMaxChunk = 0x40000000;

Status from_last_error() {
    return Status::failure(static_cast<ErrorCode>(GetLastError()));
}

HANDLE native(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

DWORD desired_access(Access access) {
    switch (access) {
        case Access::read:
            return GENERIC_READ;
        case Access::write:
            return GENERIC_WRITE;
        case Access::read_write:
            return GENERIC_READ | GENERIC_WRITE;
    }
    return 0;
}

DWORD creation_disposition(Disposition disposition) {
    switch (disposition) {
        case Disposition::open_always:
            return OPEN_ALWAYS;
        case Disposition::create_always:
            return CREATE_ALWAYS;
        case Disposition::open_existing:
            return OPEN_EXISTING;
    }
    return OPEN_EXISTING;
}

Status write_all(HANDLE handle, const void* data, std::size_t size, std::size_t* written) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    Status status;
    while (done < size) {
        const std::size_t chunk = size - done < kMaxChunk ? size - done : kMaxChunk;
        DWORD n = 0;
        if (!WriteFile(handle, bytes + done, static_cast<DWORD>(chunk), &n, nullptr)) {
            status = from_last_error();
            break;
        }
        done += n;
    }
    if (written != nullptr) {
        *written = done;
    }
    return status;
}

// Volume and file index of an existing file or directory, whatever path reaches it.
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE handle =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool got = GetFileInformationByHandle(handle, info) != FALSE;
    CloseHandle(handle);
    return got;
}

}  // namespace

File::~File() {
    close();
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kInvalid)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalid);
    }
    return *this;
}

Status File::open(const char* path, Access access, Disposition disposition, Share share) {
    close();
    const DWORD share_mode = share == Share::read_write ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    const HANDLE handle = CreateFileA(path, desired_access(access), share_mode, nullptr,
                                      creation_disposition(disposition),
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return from_last_error();
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    return Status::success();
}

Status File::write(const void* data, std::size_t size, std::size_t* written) {
    if (!is_open()) {
        if (written != nullptr) {
            *written = 0;
        }
        return Status::failure(invalid_handle_error());
    }
    return write_all(native(handle_), data, size, written);
}

Status File::read(void* data, std::size_t size, std::size_t* got) {
    *got = 0;
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    DWORD n = 0;
    const DWORD wanted = static_cast<DWORD>(size < kMaxChunk ? size : kMaxChunk);
    if (!ReadFile(native(handle_), data, wanted, &n, nullptr)) {
        return from_last_error();
    }
    *got = n;
    return Status::success();
}

Status File::seek_to_end() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    LARGE_INTEGER zero{};
    return SetFilePointerEx(native(handle_), zero, nullptr, FILE_END) ? Status::success()
                                                                      : from_last_error();
}

Status File::cut_back(std::uint64_t bytes) {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    LARGE_INTEGER zero{};
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(native(handle_), zero, &end, FILE_CURRENT)) {
        return from_last_error();
    }
    if (bytes > static_cast<std::uint64_t>(end.QuadPart)) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    LARGE_INTEGER start{};
    start.QuadPart = end.QuadPart - static_cast<LONGLONG>(bytes);
    if (!SetFilePointerEx(native(handle_), start, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(native(handle_))) {
        return from_last_error();
    }
    return Status::success();
}

Status File::flush() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    return FlushFileBuffers(native(handle_)) ? Status::success() : from_last_error();
}

Status File::size(std::uint64_t* bytes) const {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(native(handle_), &size)) {
        return from_last_error();
    }
    *bytes = static_cast<std::uint64_t>(size.QuadPart);
    return Status::success();
}

bool File::unlinked() const {
    return false;
}

Status File::close() {
    if (!is_open()) {
        return Status::success();
    }
    const HANDLE handle = native(std::exchange(handle_, kInvalid));
    return CloseHandle(handle) ? Status::success() : from_last_error();
}

Status File::write_at(std::uint64_t position, const void* data, std::size_t size,
                      std::size_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(native(handle_), to, nullptr, FILE_BEGIN)) {
        return from_last_error();
    }
    return write_all(native(handle_), data, size, written);
}

Status File::set_last_write_now() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return SetFileTime(native(handle_), nullptr, nullptr, &now) ? Status::success()
                                                                : from_last_error();
}

bool full_path(const char* path, char* out, std::size_t capacity) {
    if (capacity == 0) {
        return false;
    }
    out[0] = '\0';
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    const DWORD n = GetFullPathNameA(path, static_cast<DWORD>(capacity), out, nullptr);
    if (n == 0 || n >= capacity) {
        out[0] = '\0';
        return false;
    }
    return true;
}

Status query_path(const char* path, PathInfo* info) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        return from_last_error();
    }
    info->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info->last_write = static_cast<FileTime>(
        (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime);
    info->last_write_nanoseconds = 0;
    return Status::success();
}

bool same_file(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION ia{};
    BY_HANDLE_FILE_INFORMATION ib{};
    const bool a_exists = file_identity(a, &ia);
    const bool b_exists = file_identity(b, &ib);
    if (a_exists || b_exists) {
        return a_exists && b_exists && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
               ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
    }
    char full_a[MAX_PATH];
    char full_b[MAX_PATH];
    const DWORD na = GetFullPathNameA(a, MAX_PATH, full_a, nullptr);
    const DWORD nb = GetFullPathNameA(b, MAX_PATH, full_b, nullptr);
    return na != 0 && na < MAX_PATH && nb != 0 && nb < MAX_PATH &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, full_a, -1, full_b, -1) == CSTR_EQUAL;
}

ErrorCode sharing_violation_error() {
    return ERROR_SHARING_VIOLATION;
}

// Files are opened without delete sharing, so the delete itself refuses a held one.
Status remove_unless_open(const char* path) {
    return remove_file(path);
}

Status make_directory(const char* path) {
    return CreateDirectoryA(path, nullptr) ? Status::success() : from_last_error();
}

Status remove_file(const char* path) {
    return DeleteFileA(path) ? Status::success() : from_last_error();
}

// A new file inherits the access of its directory, as the old one did.
Status refuse_read_only(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0
               ? Status::failure(ERROR_ACCESS_DENIED)
               : Status::success();
}

Status copy_file_access(const char*, const char*) {
    return Status::success();
}

Status replace_file(const char* source, const char* target, File* target_hold) {
    // An open file cannot be replaced, not even by its holder.
    if (target_hold != nullptr) {
        target_hold->close();
    }
    if (MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return Status::success();
    }
    const DWORD error = GetLastError();
    // A target that another process holds open refuses the move as access denied; unless it
    // is a directory or read-only, that is a file in use.
    const DWORD attributes = GetFileAttributesA(target);
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0) {
        return Status::failure(ERROR_SHARING_VIOLATION);
    }
    return Status::failure(error);
}

bool is_path_separator(char c) {
    return c == '\\' || c == '/';
}

std::size_t path_character_length(const char* s) {
    // A trail byte of a double-byte character may equal a backslash.
    return IsDBCSLeadByte(static_cast<BYTE>(s[0])) && s[1] != '\0' ? 2 : 1;
}

bool is_full_path(const char* path) {
    return path != nullptr && std::strchr(path, ':') != nullptr;
}

bool path_root_usable(const char* path) {
    // The first component, leading separators skipped, names the drive or share.
    while (is_path_separator(*path)) {
        ++path;
    }
    char root[MAX_PATH];
    std::size_t length = 0;
    while (path[length] != '\0' && !is_path_separator(path[length]) && length + 2 < sizeof root) {
        root[length] = path[length];
        ++length;
    }
    if (length == 0) {
        return false;
    }
    root[length++] = '\\';
    root[length] = '\0';
    const UINT type = GetDriveTypeA(root);
    return type != DRIVE_UNKNOWN && type != DRIVE_NO_ROOT_DIR;
}

bool standard_output_available() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE;
}

Status write_standard_output(const void* data, std::size_t size) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return Status::failure(invalid_handle_error());
    }
    return write_all(out, data, size, nullptr);
}

}  // namespace plat
