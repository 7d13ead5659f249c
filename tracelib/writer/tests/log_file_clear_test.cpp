// Deleting trace files by a pattern: all but the newest, or those old enough; never a file
// a writer holds.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
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
        plat_test::write_text(dir_.path() / name, name);
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

// Ages count in whole seconds: a file written exactly the age before now (to the second) is
// old enough, and age 0 takes a file of this very second.
TEST_F(LogFileClearTest, ByAgeTakesAFileExactlyAtTheLimit) {
    using namespace std::chrono;
    // Early in a second, so that the calls below run within it.
    const auto into_second = system_clock::now().time_since_epoch() % seconds(1);
    if (into_second > milliseconds(700)) {
        std::this_thread::sleep_for(seconds(1) - into_second + milliseconds(10));
    }
    const auto now = floor<seconds>(system_clock::now());
    const auto stamp = [&](const std::string& name, system_clock::duration before_now) {
        plat_test::write_text(dir_.path() / name, name);
        fs::last_write_time(dir_.path() / name, file_clock::from_sys(now - before_now));
    };
    stamp("trace-at-limit.log", seconds(100));
    stamp("trace-at-limit-late.log", seconds(100) - milliseconds(1));
    stamp("trace-younger.log", seconds(99));
    EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), kByAge, 100), 0);
    EXPECT_EQ(left(), (Names{"trace-younger.log"}));

    plat_test::write_text(dir_.path() / "trace-this-second.log", "now");
    stamp("trace-next-second.log", -seconds(1));
    EXPECT_EQ(KTLORSYM_LogFileClear(pattern().c_str(), kByAge, 0), 0);
    EXPECT_EQ(left(), (Names{"trace-next-second.log"}));
    ASSERT_LT(system_clock::now() - now, seconds(1)) << "the second ended during the test";
}

// A writer's current file is never deleted (Windows refuses to delete a file held open):
// the clean-up reports it as a failed deletion, and the writer's lines keep reaching it.
TEST_F(LogFileClearTest, NeverDeletesTheCurrentFileOfAWriter) {
    ktl_test::Instance trace(dir_.prefix("live"), 4096, 2);
    ASSERT_EQ(trace.create_result(), 0);
    const std::string live_pattern = dir_.prefix("live*.log");
    for (const int mode : {kByCount, kByAge}) {
        file("live-old.log", std::chrono::seconds(1000));
        ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "line"), 0);
        std::uint32_t os_error = 0;
        EXPECT_EQ(KTLORSYM_LogFileClear(live_pattern.c_str(), mode, 0), -1);
        EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(kFnLogFileClear, 8));
        EXPECT_EQ(plat::classify_error(os_error), plat::ErrorKind::busy) << os_error;
        EXPECT_EQ(left(), (Names{"live1.log"}));
    }
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "line"), 0);
    EXPECT_EQ(ktl_test::read_lines(dir_.path() / "live1.log").size(), ktl_test::kHeaderLines + 3);
}

TEST_F(LogFileClearTest, FailuresCarryFunctionCauseAndSystemError) {
    std::uint32_t os_error = 99;
    const std::string good = pattern();
    for (int mode : {kByAge, kByCount}) {
        EXPECT_EQ(KTLORSYM_LogFileClear(good.c_str(), mode, 0), -1);
        EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(kFnLogFileClear, 13));
        EXPECT_EQ(plat::classify_error(os_error), plat::ErrorKind::not_found) << os_error;
    }
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
