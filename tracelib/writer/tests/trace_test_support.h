// Shared helpers of the trace library tests: temporary directories and reading files back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ktlorsym_trace.h"

namespace ktl_test {

// A fresh directory per test, removed afterwards.
class TempDir {
  public:
    TempDir() {
        static std::atomic<int> counter{0};
        const char* base = std::getenv("VM_TEST_TMP");
        std::filesystem::path root =
            base != nullptr ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info != nullptr
                               ? std::string(info->test_suite_name()) + "." + info->name()
                               : std::string("trace");
        std::replace(name.begin(), name.end(), '/', '_');
        path_ = root / ("ktl-" + std::to_string(counter++) + "-" + name);
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string prefix(const std::string& name = "trace") const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Lines of a trace file, each without its CR LF.
inline std::vector<std::string> read_lines(const std::filesystem::path& path) {
    const std::string all = read_file(path);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < all.size();) {
        const std::size_t end = std::min(all.find("\r\n", start), all.size());
        lines.push_back(all.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

inline std::uint32_t code_word(std::uint32_t function, std::uint32_t cause) {
    return (function << 24) | cause;
}

inline std::uint32_t last_code() {
    return KTLORSYM_GetLastError(nullptr);
}

constexpr std::size_t kHeaderLines = 2;

// An instance writing to prefix, deleted at the end of the scope.
class Instance {
  public:
    explicit Instance(const std::string& prefix, std::int32_t size = 65536, std::int32_t count = 4,
                      const char* program_id = "TESTPROG") {
        const TraceFileConfig config{size, count, prefix.c_str()};
        result_ = KTLORSYM_CreateInstance(&handle_, &config, program_id);
    }
    ~Instance() {
        if (handle_ != nullptr) {
            KTLORSYM_DeleteInstance(handle_);
        }
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    TraceInstance* get() const { return handle_; }
    int create_result() const { return result_; }

  private:
    TraceInstance* handle_ = nullptr;
    int result_ = -1;
};

}  // namespace ktl_test
