// Helpers shared by the settings store tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace qac::testing {

inline std::filesystem::path temp_dir() {
    const char* base = std::getenv("VM_TEST_TMP");
    auto dir = std::filesystem::path(base != nullptr ? base : "/tmp") / "settings_store";
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::string write_file(const std::string& name, std::string_view bytes) {
    const auto path = temp_dir() / name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path.string();
}

inline std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    while (times-- > 0) {
        out += piece;
    }
    return out;
}

}  // namespace qac::testing
