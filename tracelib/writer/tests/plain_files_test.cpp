// The plain writer against real files: which file an open continues, switching at the size
// limit, backups, and failures to create directories and files.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "trace_test_support.h"

namespace {

namespace fs = std::filesystem;
using ktl_test::code_word;
using ktl_test::last_code;
using ktl_test::read_file;
using ktl_test::read_lines;
using ktl_test::TempDir;

constexpr std::size_t kHeaderBytes = 253;

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Gives file n of the set a last-write time of base + seconds.
void set_age(const fs::path& path, int seconds) {
    const auto base = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(path, base + std::chrono::seconds(seconds));
}

TEST(PlainOpen, NoFilesStartsFileOneWithAHeader) {
    TempDir dir;
    {
        ktl_test::Instance trace(dir.prefix(), 4096, 4);
        ASSERT_EQ(trace.create_result(), 0);
    }
    EXPECT_EQ(fs::file_size(dir.path() / "trace1.log"), kHeaderBytes);
    EXPECT_FALSE(fs::exists(dir.path() / "trace2.log"));
}

TEST(PlainOpen, ContinuesTheNewestFileWhenItHasRoom) {
    TempDir dir;
    for (int n = 1; n <= 4; ++n) {
        write_file(dir.path() / ("trace" + std::to_string(n) + ".log"), "old" + std::to_string(n));
    }
    set_age(dir.path() / "trace1.log", 1);
    set_age(dir.path() / "trace2.log", 30);
    set_age(dir.path() / "trace3.log", 2);
    set_age(dir.path() / "trace4.log", 3);
    {
        ktl_test::Instance trace(dir.prefix(), 4096, 4);
        ASSERT_EQ(trace.create_result(), 0);
        ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "appended"), 0);
    }
    const std::string two = read_file(dir.path() / "trace2.log");
    EXPECT_EQ(two.substr(0, 4), "old2");
    EXPECT_EQ(two.substr(4, 5), "**** ");
    EXPECT_EQ(read_lines(dir.path() / "trace2.log").back().substr(68), "appended");
    EXPECT_EQ(read_file(dir.path() / "trace1.log"), "old1");
}

TEST(PlainOpen, EqualTimesPickTheHigherNumber) {
    TempDir dir;
    write_file(dir.path() / "trace1.log", "one");
    write_file(dir.path() / "trace3.log", "three");
    set_age(dir.path() / "trace1.log", 5);
    set_age(dir.path() / "trace3.log", 5);
    {
        ktl_test::Instance trace(dir.prefix(), 4096, 4);
        ASSERT_EQ(trace.create_result(), 0);
    }
    EXPECT_EQ(read_file(dir.path() / "trace1.log"), "one");
    EXPECT_EQ(read_file(dir.path() / "trace3.log").substr(0, 5), "three");
    EXPECT_GT(fs::file_size(dir.path() / "trace3.log"), 5u);
}

TEST(PlainOpen, FullNewestLastFileWrapsToFileOneAndEmptiesIt) {
    TempDir dir;
    write_file(dir.path() / "trace1.log", std::string(100, 'a'));
    write_file(dir.path() / "trace4.log", std::string(4096, 'd'));
    set_age(dir.path() / "trace1.log", 1);
    set_age(dir.path() / "trace4.log", 9);
    {
        ktl_test::Instance trace(dir.prefix(), 4096, 4);
        ASSERT_EQ(trace.create_result(), 0);
    }
    EXPECT_EQ(fs::file_size(dir.path() / "trace1.log"), kHeaderBytes);
    EXPECT_EQ(fs::file_size(dir.path() / "trace4.log"), 4096u);
}

TEST(PlainWrite, SwitchesOnlyAfterTheOffsetHasPassedTheLimit) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix(), 4096, 3);
    ASSERT_EQ(trace.create_result(), 0);
    // Each line is 70 + 30 bytes; after the 253-byte header the 39th line crosses 4096.
    const std::string text(30, 'x');
    int lines_in_first = 0;
    while (fs::file_size(dir.path() / "trace1.log") <= 4096) {
        ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, text.c_str()), 0);
        ++lines_in_first;
    }
    const auto first_size = fs::file_size(dir.path() / "trace1.log");
    EXPECT_GT(first_size, 4096u);
    EXPECT_LT(first_size, 4096u + 100u) << "the crossing line stays in the old file";
    EXPECT_FALSE(fs::exists(dir.path() / "trace2.log"));

    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "next file"), 0);
    EXPECT_EQ(fs::file_size(dir.path() / "trace1.log"), first_size);
    const auto second = read_lines(dir.path() / "trace2.log");
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[0].substr(0, 5), "**** ");
    EXPECT_EQ(second[2].substr(68), "next file");
    EXPECT_EQ(lines_in_first, 39);
}

TEST(PlainWrite, RingReusesFileOneAfterTheLast) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix(), 4096, 2);
    const std::string text(4000, 'y');
    // Header + one long line passes the limit; each further line opens the next file.
    for (int n = 0; n < 4; ++n) {
        ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, text.c_str()), 0);
    }
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "latest"), 0);
    // Files: 1 = lines 1, 2 = line 2... the fifth line went to file 1 afresh.
    const auto one = read_lines(dir.path() / "trace1.log");
    EXPECT_EQ(one.size(), 3u);
    EXPECT_EQ(one.back().substr(68), "latest");
}

TEST(PlainBackup, ConcatenatesOldestFirstAndSkipsMissingFiles) {
    TempDir dir;
    // Current file is 2 of 4 after the open below: make 2 the newest with room.
    write_file(dir.path() / "trace1.log", "ONE|");
    write_file(dir.path() / "trace2.log", "TWO|");
    write_file(dir.path() / "trace3.log", "THREE|");
    set_age(dir.path() / "trace1.log", 3);
    set_age(dir.path() / "trace2.log", 4);
    set_age(dir.path() / "trace3.log", 1);
    ktl_test::Instance trace(dir.prefix(), 4096, 4);
    ASSERT_EQ(trace.create_result(), 0);
    const fs::path backup = dir.path() / "saved" / "deeper" / "backup.log";
    ASSERT_EQ(KTLORSYM_InstanceTraceBackup(trace.get(), backup.string().c_str()), 0);
    const std::string copied = read_file(backup);
    const std::string two = read_file(dir.path() / "trace2.log");
    EXPECT_EQ(copied, "THREE|ONE|" + two);
    EXPECT_EQ(two.substr(0, 4), "TWO|");
}

TEST(PlainBackup, LibraryLevelBackupAndFlush) {
    TempDir dir;
    const std::string prefix = dir.prefix();
    const TraceFileConfig config{4096, 2, prefix.c_str()};
    ASSERT_EQ(KTLORSYM_Initialize(&config, "P"), 0);
    ASSERT_EQ(KTLORSYM_PutLine(0, "line"), 0);
    EXPECT_EQ(KTLORSYM_FileBufferFlush(), 0);
    const std::string backup = (dir.path() / "b.log").string();
    EXPECT_EQ(KTLORSYM_TraceBackupM(backup.c_str(), 16), 0);
    EXPECT_EQ(KTLORSYM_Finalize(), 0);
    EXPECT_EQ(read_file(backup), read_file(dir.path() / "trace1.log"));
}

TEST(PlainFailures, DirectoryAndFileCauses) {
    TempDir dir;
    write_file(dir.path() / "plainfile", "x");

    // A path component that is a file, not a directory.
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

    ktl_test::Instance trace(dir.prefix());
    EXPECT_EQ(KTLORSYM_InstanceTraceBackup(trace.get(),
                                           (dir.path() / "plainfile" / "b.log").string().c_str()),
              -1);
    EXPECT_EQ(last_code(), code_word(25, 17));
}

TEST(PlainFailures, DirectoryThatCannotBeCreated) {
#ifdef _WIN32
    GTEST_SKIP() << "relies on a Linux file system that refuses new directories";
#else
    // Nobody, root included, can make a directory in /proc.
    const TraceFileConfig config{4096, 1, "/proc/ktl-no-such-dir/sub/trace"};
    TraceInstance* handle = nullptr;
    EXPECT_EQ(KTLORSYM_CreateInstance(&handle, &config, "P"), -1);
    std::uint32_t os_error = 0;
    EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(19, 21));
    EXPECT_NE(os_error, 0u);
#endif
}

TEST(PlainFailures, NewDirectoriesAreCreatedParentsFirst) {
    TempDir dir;
    const std::string deep = (dir.path() / "a" / "b" / "c" / "svc").string();
    ktl_test::Instance trace(deep);
    ASSERT_EQ(trace.create_result(), 0);
    EXPECT_TRUE(fs::exists(dir.path() / "a" / "b" / "c" / "svc1.log"));
}

TEST(PlainFailures, PrefixWithoutSeparatorWritesIntoTheWorkingDirectory) {
    TempDir dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    {
        ktl_test::Instance trace("bare", 4096, 1);
        EXPECT_EQ(trace.create_result(), 0);
    }
    fs::current_path(previous);
    EXPECT_TRUE(fs::exists(dir.path() / "bare1.log"));
}

}  // namespace
