// Scratch directories and whole-file text for the platform and event log tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "plat/thread.h"

namespace plat_test {

// A fresh directory per test, removed afterwards.
class ScratchDir {
  public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        const char* base = std::getenv("VM_TEST_TMP");
        const std::filesystem::path root =
            base != nullptr ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // The name stays short: tests bind sockets in here, and a socket path is limited to
        // about a hundred bytes wherever the checkout lives.
        std::string name = info != nullptr ? std::string(info->name()).substr(0, 20) : "test";
        std::replace(name.begin(), name.end(), '/', '_');
        // Unique across the test programs that ctest runs side by side.
        path_ = root / ("pl-" + std::to_string(plat::current_process_id()) + "-" +
                        std::to_string(counter++) + "-" + name);
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline void write_text(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace plat_test
