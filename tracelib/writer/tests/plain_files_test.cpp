// The plain writer against real files: which file an open continues, switching at the size
// limit, backups, and failures to create directories and files.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "trace_test_support.h"

namespace {

namespace fs = std::filesystem;
using ktl_test::code_word;
using ktl_test::last_code;
using ktl_test::read_file;
using ktl_test::read_lines;
using ktl_test::TempDir;

constexpr std::size_t kHeaderBytes = 253;

// Trace file n of the prefix "trace" in dir.
fs::path nth(const TempDir& dir, int n) {
    return dir.path() / ("trace" + std::to_string(n) + ".log");
}

// A file left by an earlier run, last written an hour ago plus seconds.
void old_file(const fs::path& path, const std::string& content, int seconds = 0) {
    std::ofstream(path, std::ios::binary) << content;
    const auto base = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(path, base + std::chrono::seconds(seconds));
}

// Which file an open continues: the newest (the higher number among equal times), unless
// it is full, when the next one is started afresh. Other files are left alone.
TEST(PlainOpen, ContinuesTheNewestFileOrStartsTheNextWhenItIsFull) {
    const struct {
        std::string content[4];  // "": no such file
        int age[4];
        int chosen;
        bool emptied;
    } cases[] = {
        {{}, {}, 1, true},
        {{"old1", "old2", "old3", "old4"}, {1, 30, 2, 3}, 2, false},
        {{"one", "", "three", ""}, {5, 0, 5, 0}, 3, false},
        {{std::string(100, 'a'), "", "", std::string(4096, 'd')}, {1, 0, 0, 9}, 1, true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        for (int n = 1; n <= 4; ++n) {
            if (!c.content[n - 1].empty()) {
                old_file(nth(dir, n), c.content[n - 1], c.age[n - 1]);
            }
        }
        {
            ktl_test::Instance trace(dir.prefix(), 4096, 4);
            ASSERT_EQ(trace.create_result(), 0);
            ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "appended"), 0);
        }
        for (int n = 1; n <= 4; ++n) {
            const std::string now = read_file(nth(dir, n));
            if (n != c.chosen) {
                EXPECT_EQ(now, c.content[n - 1]) << n;
                continue;
            }
            const std::string kept = c.emptied ? "" : c.content[n - 1];
            EXPECT_EQ(now.substr(0, kept.size() + 5), kept + "**** ") << n;
            EXPECT_EQ(now.substr(kept.size() + kHeaderBytes + 68), "appended\r\n") << n;
        }
    }
}

TEST(PlainWrite, SwitchesOnceTheLimitIsPassedAndReusesFileOneAfterTheLast) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix(), 4096, 3);
    ASSERT_EQ(trace.create_result(), 0);
    const auto put = [&](const std::string& text) {
        return KTLORSYM_PutInstanceLine(trace.get(), 0, text.c_str());
    };
    // Each line is 70 + 30 bytes; after the 253-byte header the 39th line crosses 4096 and
    // still goes to the old file.
    int lines_in_first = 0;
    while (fs::file_size(nth(dir, 1)) <= 4096) {
        ASSERT_EQ(put(std::string(30, 'x')), 0);
        ++lines_in_first;
    }
    EXPECT_EQ(lines_in_first, 39);
    EXPECT_FALSE(fs::exists(nth(dir, 2)));
    // The next line opens file 2; a long line fills it, so file 3 follows, then file 1 afresh.
    ASSERT_EQ(put(std::string(4000, 'y')), 0);
    ASSERT_EQ(put(std::string(4000, 'z')), 0);
    ASSERT_EQ(put("latest"), 0);
    const std::string last[] = {"latest", std::string(4000, 'y'), std::string(4000, 'z')};
    for (int n = 1; n <= 3; ++n) {
        const auto lines = read_lines(nth(dir, n));
        ASSERT_EQ(lines.size(), 3u) << n;
        EXPECT_EQ(lines[0].substr(0, 5), "**** ");
        EXPECT_EQ(lines[2].substr(68), last[n - 1]);
    }
}

TEST(PlainBackup, ConcatenatesOldestFirstSkipsMissingFilesAndMakesItsDirectories) {
    TempDir dir;
    // The open below continues file 2, the newest with room; file 4 is missing.
    for (const auto& [n, text, age] :
         {std::tuple{1, "ONE|", 3}, {2, "TWO|", 4}, {3, "THREE|", 1}}) {
        old_file(nth(dir, n), text, age);
    }
    ktl_test::Instance trace(dir.prefix(), 4096, 4);
    ASSERT_EQ(trace.create_result(), 0);
    const fs::path backup = dir.path() / "saved" / "deeper" / "backup.log";
    ASSERT_EQ(KTLORSYM_InstanceTraceBackup(trace.get(), backup.string().c_str()), 0);
    const std::string two = read_file(nth(dir, 2));
    EXPECT_EQ(read_file(backup), "THREE|ONE|" + two);
    EXPECT_EQ(two.substr(0, 4), "TWO|");
    // A path component that is a file, not a directory.
    old_file(dir.path() / "plainfile", "x");
    const fs::path through_file = dir.path() / "plainfile" / "b.log";
    EXPECT_EQ(KTLORSYM_InstanceTraceBackup(trace.get(), through_file.string().c_str()), -1);
    EXPECT_EQ(last_code(), code_word(25, 17));
}

TEST(PlainDirectories, MadeWhenMissingElseTheCauseIsKept) {
    TempDir dir;
    ASSERT_EQ(ktl_test::Instance((dir.path() / "a" / "b" / "c" / "svc").string()).create_result(),
              0);
    EXPECT_TRUE(fs::exists(dir.path() / "a" / "b" / "c" / "svc1.log"));
    // A prefix without a directory writes into the working directory.
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(ktl_test::Instance("bare", 4096, 1).create_result(), 0);
    fs::current_path(previous);
    EXPECT_TRUE(fs::exists(dir.path() / "bare1.log"));

    // A path component that is a file, not a directory.
    old_file(dir.path() / "plainfile", "x");
    const std::string through_file = (dir.path() / "plainfile" / "sub" / "trace").string();
    const TraceFileConfig config{4096, 2, through_file.c_str()};
    TraceInstance* handle = nullptr;
    EXPECT_EQ(KTLORSYM_CreateInstance(&handle, &config, "P"), -1);
    EXPECT_EQ(last_code(), code_word(19, 17));
    EXPECT_EQ(handle, nullptr);

    // The trace file's name is taken by a directory: the open fails with its OS error.
    fs::create_directories(dir.path() / "taken1.log");
    const std::string taken = dir.prefix("taken");
    const TraceFileConfig blocked{4096, 1, taken.c_str()};
    EXPECT_EQ(KTLORSYM_Initialize(&blocked, "P"), -1);
    std::uint32_t os_error = 0;
    EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(6, 2));
    EXPECT_NE(os_error, 0u);
    EXPECT_EQ(KTLORSYM_Finalize(), -1) << "a failed initialization leaves nothing open";

#if !defined(_WIN32)
    // Nobody, root included, can make a directory in /proc.
    const TraceFileConfig in_proc{4096, 1, "/proc/ktl-no-such-dir/sub/trace"};
    EXPECT_EQ(KTLORSYM_CreateInstance(&handle, &in_proc, "P"), -1);
    EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(19, 21));
    EXPECT_NE(os_error, 0u);
#endif
}

}  // namespace
