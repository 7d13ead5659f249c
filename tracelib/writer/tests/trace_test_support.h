// Shared helpers of the trace library tests: scratch directories, files read back, instances.
#pragma once

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>

#include <csignal>
#endif

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ktlor/managed_layout.h"
#include "ktlorsym_trace.h"
#include "scratch_dir.h"

namespace ktl_test {

using plat_test::read_text;

struct TempDir : plat_test::ScratchDir {
    std::string prefix(const std::string& name = "trace") const { return *this / name; }
};

// Lines of a trace file, each without its CR LF.
inline std::vector<std::string> read_lines(const std::filesystem::path& path) {
    const std::string all = read_text(path);
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

// The management file of a managed set, and the record it holds now (zeros where it is short).
inline std::string management_path(const std::string& prefix) {
    const std::filesystem::path p(prefix);
    return (p.parent_path() / "mmap" / (p.filename().string() + ".mm")).string();
}
inline ktlor::managed::ManagementRecord stored(const std::string& prefix) {
    const std::string bytes = read_text(management_path(prefix));
    ktlor::managed::ManagementRecord record{};
    std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof record));
    return record;
}

#if !defined(_WIN32)
// A soft file-size limit for this process, with SIGXFSZ ignored so that a write beyond it
// is cut short instead of ending the process.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) : handler(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
    }
    rlimit saved{};
    void (*handler)(int);
};
#endif

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
