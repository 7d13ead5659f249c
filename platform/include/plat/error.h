// Operating-system errors in one portable convention: the platform's own error number
// (errno on POSIX, GetLastError on Windows), 0 meaning success.
#pragma once

#include <cstdint>

namespace plat {

using ErrorCode = std::uint32_t;

// Result of a platform call: success, or the error number that made it fail.
struct Status {
    ErrorCode error = 0;

    constexpr bool ok() const { return error == 0; }
    constexpr explicit operator bool() const { return ok(); }
    static constexpr Status success() { return {}; }
    static constexpr Status failure(ErrorCode e) { return {e}; }
};

// The calling thread's last error number, as the platform reports it.
ErrorCode last_error();

// Error numbers grouped the way callers react to them: "busy" covers sharing and lock
// conflicts, "not found" a missing file or directory.
enum class ErrorKind { none, busy, not_found, other };
ErrorKind classify_error(ErrorCode error);

// The error number a call on a closed or invalid handle reports.
ErrorCode invalid_handle_error();

}  // namespace plat
