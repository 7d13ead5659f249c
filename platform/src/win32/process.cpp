#include "plat/process.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace plat {

namespace {

Status last_failure() {
    return Status::failure(GetLastError());
}

bool to_wide(const char* text, std::vector<wchar_t>* wide) {
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0) {
        return false;
    }
    wide->assign(static_cast<std::size_t>(units), L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide->data(), units) > 0;
}

}  // namespace

Status run_command_interpreter(const char* command_line, int* exit_code) {
    if (exit_code != nullptr) {
        *exit_code = -1;
    }
    std::vector<wchar_t> wide;
    if (command_line == nullptr || !to_wide(command_line, &wide)) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    const int result = _wsystem(wide.data());
    if (result == -1) {
        return Status::failure(ERROR_FILE_NOT_FOUND);
    }
    if (exit_code != nullptr) {
        *exit_code = result;
    }
    return Status::success();
}

Status query_trusted_owner(const char* path, bool* trusted) {
    *trusted = false;
    std::vector<wchar_t> wide;
    if (path == nullptr || !to_wide(path, &wide)) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    if (GetFileAttributesW(wide.data()) == INVALID_FILE_ATTRIBUTES) {
        return last_failure();
    }
    *trusted = true;
    return Status::success();
}

Status FileLock::lock(const char* path) {
    unlock();
    std::vector<wchar_t> wide;
    if (path == nullptr || !to_wide(path, &wide)) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    HANDLE file = CreateFileW(wide.data(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        file = CreateFileW(wide.data(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        return last_failure();
    }
    OVERLAPPED overlapped{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &overlapped)) {
        const Status status = last_failure();
        CloseHandle(file);
        return status;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return Status::success();
}

void FileLock::unlock() {
    if (handle_ != kInvalid) {
        // Closing the handle releases the lock.
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
        handle_ = kInvalid;
    }
}

}  // namespace plat
