// The store's result type, and how system errors become results.
#pragma once

#include <cstdint>

#include "jovacfg.h"
#include "plat/error.h"

namespace qac {

using Result = std::uint32_t;

constexpr Result kOk = 0;

// A failed open or read: "busy" errors get their own class, the rest are system failures.
inline Result system_result(plat::ErrorCode error) {
    const Result cls =
        plat::classify_error(error) == plat::ErrorKind::busy ? QAC_E_BUSY : QAC_E_SYSTEM;
    return cls | (error & 0x000FFFFFu);
}

}  // namespace qac
