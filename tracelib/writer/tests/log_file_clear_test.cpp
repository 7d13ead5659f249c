#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

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

TEST_F(LogFileClearTest, ByCountKeepsTheNewestByAgeTheYoungerNeitherDirectories) {
    const auto clear = [&](int mode, int value) {
        EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), mode, value), 0);
        EXPECT_EQ(last_code(), 0u);
        return left();
    };
    five_files();
    EXPECT_EQ(clear(kByCount, 6).size(), 7u);
    EXPECT_EQ(clear(kByCount, 2),
              (Names{"trace1.log", "trace2.log", "trace-dir.log", "other.txt"}));
    EXPECT_EQ(clear(kByCount, 0), (Names{"trace-dir.log", "other.txt"}));

    five_files();
    file("trace-future.log", std::chrono::seconds(-1000));
    EXPECT_EQ(clear(kByAge, INT_MAX).size(), 8u);  // before 1970
    EXPECT_EQ(clear(kByAge, 250), (Names{"trace1.log", "trace2.log", "trace-future.log",
                                         "trace-dir.log", "other.txt"}));
    EXPECT_EQ(clear(kByAge, 0), (Names{"trace-future.log", "trace-dir.log", "other.txt"}));
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
    const std::tuple<const char*, int, int> refused[] = {{nullptr, kByAge, 0},
                                                         {long_pattern.c_str(), kByAge, 0},
                                                         {good.c_str(), kByCount, -1},
                                                         {good.c_str(), 3, 0},
                                                         {good.c_str(), 0, 0}};
    for (const auto& [bad, mode, value] : refused) {
        EXPECT_EQ(KTLORSYM_LogFileClear(bad, mode, value), -1);
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
