// Helpers shared by the settings store tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace qac::testing {

// A folder of this test process's own, removed with everything in it when the process ends,
// so that programs running side by side never share a file and nothing is left behind.
inline std::filesystem::path temp_dir() {
    struct Folder {
        std::filesystem::path path;
        Folder() {
            const char* base = std::getenv("VM_TEST_TMP");
            const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
            path = (base != nullptr ? std::filesystem::path(base)
                                    : std::filesystem::temp_directory_path()) /
                   ("settings_store-" + std::to_string(std::random_device{}() ^ stamp));
            std::filesystem::create_directories(path);
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Folder folder;
    return folder.path;
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
