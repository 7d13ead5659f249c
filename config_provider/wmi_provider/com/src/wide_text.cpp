#include "wide_text.h"

#include <climits>

namespace jovaprv::com {

bool utf8_from_wide(const wchar_t* text, std::size_t length, std::string* out) {
    out->clear();
    if (length == 0) {
        return true;
    }
    if (length > INT_MAX) {
        return false;
    }
    const int wide = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wide, nullptr, 0,
                                          nullptr, nullptr);
    if (bytes <= 0) {
        return false;
    }
    out->resize(static_cast<std::size_t>(bytes));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wide, out->data(), bytes,
                               nullptr, nullptr) == bytes;
}

BSTR bstr_from_utf8(const std::string& text) {
    if (text.empty()) {
        return SysAllocStringLen(L"", 0);
    }
    if (text.size() > INT_MAX) {
        return nullptr;
    }
    const int bytes = static_cast<int>(text.size());
    const int wide = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
    if (wide <= 0) {
        return nullptr;
    }
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(wide));
    if (result != nullptr &&
        MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, result, wide) != wide) {
        SysFreeString(result);
        result = nullptr;
    }
    return result;
}

}  // namespace jovaprv::com
