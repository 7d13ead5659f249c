#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "ktlorsym_trace.h"
#include "plat/error.h"
#include "trace_test_support.h"

namespace fs = std::filesystem;
using ktl_test::code_word;
using ktl_test::last_code;

namespace {

constexpr std::uint32_t kFnLogFileClear = 12;
constexpr int kByAge = 1;
constexpr int kByCount = 2;

class LogFileClearTest : public ::testing::Test {
  protected:
    // A file last written age ago (negative: in the future).
    void file(const std::string& name, std::chrono::seconds age) {
        std::ofstream(dir_.path() / name) << name;
        fs::last_write_time(dir_.path() / name, std::chrono::file_clock::now() - age);
    }
    // trace1.log is the newest, trace5.log the oldest; a matching directory; a bystander.
    void five_files() {
        for (int i = 1; i <= 5; ++i) {
            file("trace" + std::to_string(i) + ".log", std::chrono::seconds(100 * i));
        }
        fs::create_directory(dir_.path() / "trace-dir.log");
        file("other.txt", std::chrono::seconds(10000));
    }
    std::set<std::string> left() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_.path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    std::string pattern() const { return dir_.prefix("trace*.log"); }

    ktl_test::TempDir dir_;
};

using Names = std::set<std::string>;

TEST_F(LogFileClearTest, ByCountKeepsTheNewestAndNeverDirectories) {
    five_files();
    EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), kByCount, 6), 0);
    EXPECT_EQ(left().size(), 7u);
    EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), kByCount, 2), 0);
    EXPECT_EQ(last_code(), 0u);
    EXPECT_EQ(left(), (Names{"trace1.log", "trace2.log", "trace-dir.log", "other.txt"}));
    EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), kByCount, 0), 0);
    EXPECT_EQ(left(), (Names{"trace-dir.log", "other.txt"}));
}

TEST_F(LogFileClearTest, ByAgeDeletesWhatIsOldEnough) {
    five_files();
    file("trace-future.log", std::chrono::seconds(-1000));
    EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), kByAge, INT_MAX), 0);  // before 1970
    EXPECT_EQ(left().size(), 8u);
    EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), kByAge, 250), 0);
    EXPECT_EQ(left(), (Names{"trace1.log", "trace2.log", "trace-future.log", "trace-dir.log",
                             "other.txt"}));
    EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), kByAge, 0), 0);
    EXPECT_EQ(left(), (Names{"trace-future.log", "trace-dir.log", "other.txt"}));
}

TEST_F(LogFileClearTest, FailuresCarryFunctionCauseAndSystemError) {
    std::uint32_t os_error = 99;
    for (int mode : {kByAge, kByCount}) {
        EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), mode, 0), -1);
        EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(kFnLogFileClear, 13));
        EXPECT_EQ(plat::classify_error(os_error), plat::ErrorKind::not_found) << os_error;
    }

    const std::string good = pattern();
    const std::string long_pattern = dir_.prefix(std::string(521, '*'));
    struct Bad {
        const char* pattern;
        int mode;
        int value;
    };
    for (const Bad bad :
         {Bad{nullptr, kByAge, 0}, Bad{long_pattern.c_str(), kByAge, 0},
          Bad{good.c_str(), kByCount, -1}, Bad{good.c_str(), 3, 0}, Bad{good.c_str(), 0, 0}}) {
        EXPECT_EQ(KTLORSYM_LogFileClear(bad.pattern, bad.mode, bad.value), -1);
        EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(kFnLogFileClear, 1));
        EXPECT_EQ(os_error, 0u);
    }

#if defined(__linux__)
    // Files that cannot be deleted, even by root.
    EXPECT_EQ(KTLORSYM_LogFileClear("/proc/self/fdinfo/*", kByCount, 0), -1);
    EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(kFnLogFileClear, 8));
    EXPECT_TRUE(os_error == EPERM || os_error == EACCES) << os_error;
#endif
}

}  // namespace
