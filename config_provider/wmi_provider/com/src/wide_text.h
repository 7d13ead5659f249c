// Texts cross WMI as UTF-16 strings and the provider's work as UTF-8.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>

namespace jovaprv::com {

// False for text that is not valid UTF-16 (a lone surrogate) or does not fit.
bool utf8_from_wide(const wchar_t* text, std::size_t length, std::string* out);

// A new BSTR of the UTF-8 text (bytes that are not UTF-8 become U+FFFD); nullptr when it
// does not fit or memory is short. An empty text gives an empty string, not nullptr.
BSTR bstr_from_utf8(const std::string& text);

}  // namespace jovaprv::com
