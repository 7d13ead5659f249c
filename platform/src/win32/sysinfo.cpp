#include "plat/sysinfo.h"

#include <windows.h>

#include "plat/text.h"

namespace plat {

bool computer_name(char* buffer, std::size_t capacity) {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        return false;
    }
    copy_cut(buffer, capacity, name);
    return true;
}

bool operating_system_text(char* buffer, std::size_t capacity) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) {
        return false;
    }
    switch (version.dwPlatformId) {
        case VER_PLATFORM_WIN32_NT:
            format_cut(buffer, capacity, "Microsoft WindowsNT%lu.%lu(Build:%lu) %s",
                       version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
                       version.szCSDVersion);
            return true;
        case VER_PLATFORM_WIN32_WINDOWS:
            // The consumer line keeps its major and minor version in the build number's
            // high word.
            format_cut(buffer, capacity, "Microsoft Windows%lu.%lu(Build:%lu) %s",
                       version.dwMajorVersion, version.dwMinorVersion,
                       version.dwBuildNumber & 0xFFFFu, version.szCSDVersion);
            return true;
        default:
            return false;
    }
}

std::uint16_t default_language_id() {
    return GetSystemDefaultLangID();
}

}  // namespace plat
