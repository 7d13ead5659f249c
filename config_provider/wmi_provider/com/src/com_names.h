// The COM class that WMI creates for the provider, and the WMI class it serves.
#pragma once

#include <windows.h>

namespace jovaprv::com {

// {5A1C3E97-6B2D-4F08-9C4E-2D7B81A6F350}
inline constexpr GUID kProviderClassId = {
    0x5a1c3e97, 0x6b2d, 0x4f08, {0x9c, 0x4e, 0x2d, 0x7b, 0x81, 0xa6, 0xf3, 0x50}};
inline constexpr wchar_t kProviderClassIdText[] = L"{5A1C3E97-6B2D-4F08-9C4E-2D7B81A6F350}";
inline constexpr wchar_t kProviderClassName[] = L"VarmothKTLPVProvider";

}  // namespace jovaprv::com
