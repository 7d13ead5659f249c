// The plain writer against real files: which file an open continues, switching at the size
// limit, backups, and failures to create directories and files.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plat/time.h"
#include "trace_test_support.h"

namespace {

namespace fs = std::filesystem;
using ktl_test::code_word;
using ktl_test::last_code;
using ktl_test::read_lines;
using ktl_test::read_text;
using ktl_test::TempDir;

constexpr std::size_t kHeaderBytes = 253;

fs::path nth(const TempDir& dir, int n, const std::string& name = "trace") {
    return dir.path() / (name + std::to_string(n) + ".log");
}

int put(const ktl_test::Instance& trace, const std::string& text, unsigned level = 0) {
    return KTLORSYM_PutInstanceLine(trace.get(), level, text.c_str());
}

// A file left by an earlier run, last written at a whole second an hour ago plus `after`:
// files so stamped tie or differ exactly.
void old_file(const fs::path& path, const std::string& content,
              std::chrono::nanoseconds after = {}) {
    static const auto base = std::chrono::floor<std::chrono::seconds>(
        fs::file_time_type::clock::now() - std::chrono::hours(1));
    plat_test::write_text(path, content);
    fs::last_write_time(path, base + after);
}

// Which file an open continues: the newest, unless it is full, when the next one is started
// afresh. Among equal times a file with room beats a full one, then the higher number wins;
// times compare to the nanosecond. Other files are left alone.
TEST(PlainOpen, ContinuesTheNewestFileOrStartsTheNextWhenItIsFull) {
    constexpr std::int64_t kS = 1000000000;
    const std::string full(4096, 'f');
    struct Case {
        std::string content[4];   // "": no such file
        std::int64_t written[4];  // nanoseconds after the base
        int chosen;
        bool emptied;
    };
    std::vector<Case> cases = {
        {{}, {}, 1, true},
        {{"old1", "old2", "old3", "old4"}, {1 * kS, 30 * kS, 2 * kS, 3 * kS}, 2, false},
        {{std::string(100, 'a'), "", "", full}, {1 * kS, 0, 0, 9 * kS}, 1, true},
        // Ties.
        {{"one", "", "three", ""}, {5 * kS, 0, 5 * kS, 0}, 3, false},
        {{"one", "", full, ""}, {5 * kS, 0, 5 * kS, 0}, 1, false},
        {{full, full, "", ""}, {5 * kS, 5 * kS, 0, 0}, 3, true},
        {{"one", full, "three", full}, {5 * kS, 5 * kS, 4 * kS, 5 * kS}, 1, false},
    };
#if !defined(_WIN32)
    // Apart by less than the 100 ns of a Windows file time: not a tie.
    cases.push_back({{"one", "two", "", ""}, {5 * kS + 50, 5 * kS, 0, 0}, 1, false});
#endif
    for (const auto& c : cases) {
        TempDir dir;
        for (int n = 1; n <= 4; ++n) {
            if (!c.content[n - 1].empty()) {
                old_file(nth(dir, n), c.content[n - 1], std::chrono::nanoseconds(c.written[n - 1]));
            }
        }
        {
            ktl_test::Instance trace(dir.prefix(), 4096, 4);
            ASSERT_EQ(put(trace, "appended"), 0);
        }
        for (int n = 1; n <= 4; ++n) {
            const std::string now = read_text(nth(dir, n));
            if (n != c.chosen) {
                EXPECT_EQ(now, c.content[n - 1]) << "case chosen " << c.chosen << ", file " << n;
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
    // Each line is 70 + 30 bytes; after the 253-byte header the 39th line crosses 4096 and
    // still goes to the old file.
    int lines_in_first = 0;
    while (fs::file_size(nth(dir, 1)) <= 4096 && lines_in_first < 100) {
        ASSERT_EQ(put(trace, std::string(30, 'x')), 0);
        ++lines_in_first;
    }
    EXPECT_EQ(lines_in_first, 39);
    EXPECT_FALSE(fs::exists(nth(dir, 2)));
    // The next line opens file 2; a long line fills it, so file 3 follows, then file 1 afresh.
    const std::string last[] = {"latest", std::string(4000, 'y'), std::string(4000, 'z')};
    for (const std::string& line : {last[1], last[2], last[0]}) {
        ASSERT_EQ(put(trace, line), 0);
    }
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
    old_file(nth(dir, 1), "ONE|", std::chrono::seconds(3));
    old_file(nth(dir, 2), "TWO|", std::chrono::seconds(4));
    old_file(nth(dir, 3), "THREE|", std::chrono::seconds(1));
    ktl_test::Instance trace(dir.prefix(), 4096, 4);
    const std::string backup = dir / "saved/deeper/backup.log";
    ASSERT_EQ(KTLORSYM_InstanceTraceBackup(trace.get(), backup.c_str()), 0);
    const std::string two = read_text(nth(dir, 2));
    EXPECT_EQ(read_text(backup), "THREE|ONE|" + two);
    EXPECT_EQ(two.substr(0, 4), "TWO|");
    // A path component that is a file, not a directory.
    old_file(dir.path() / "plainfile", "x");
    EXPECT_EQ(KTLORSYM_InstanceTraceBackup(trace.get(), (dir / "plainfile/b.log").c_str()), -1);
    EXPECT_EQ(last_code(), code_word(25, 17));
}

// One of the writer's own files as the target, whatever path names it: refused as a target
// that cannot be opened, and no file changes.
TEST(PlainBackup, RefusesTheWritersOwnFilesAsTarget) {
#if !defined(_WIN32)
    ktl_test::FileSizeLimit limit(1 << 20);  // a file copied into itself would grow without end
#endif
    TempDir dir;
    old_file(nth(dir, 1), "ONE|");
    old_file(nth(dir, 3), "THREE|", std::chrono::seconds(1));
    ktl_test::Instance trace(dir.prefix(), 4096, 4);  // continues file 3; 2 and 4 are missing
    ASSERT_EQ(put(trace, "live"), 0);
    fs::create_directory(dir.path() / "sub");
    std::vector<fs::path> targets = {nth(dir, 3), nth(dir, 1), nth(dir, 4),
                                     dir.path() / "sub" / ".." / "trace3.log",
                                     dir.path() / "." / "trace1.log"};
#if !defined(_WIN32)
    fs::create_hard_link(nth(dir, 3), dir.path() / "hard.log");
    fs::create_symlink(nth(dir, 1), dir.path() / "link.log");
    fs::create_symlink(nth(dir, 4), dir.path() / "dangling.log");
    for (const char* name : {"hard.log", "link.log", "dangling.log"}) {
        targets.push_back(dir.path() / name);
    }
#endif
    const auto snapshot = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            files[entry.path().filename().string()] =
                entry.is_directory() ? "" : read_text(entry.path());
        }
        return files;
    };
    const auto before = snapshot();
    for (const auto& target : targets) {
        std::uint32_t os_error = 0;
        EXPECT_EQ(KTLORSYM_InstanceTraceBackup(trace.get(), target.string().c_str()), -1) << target;
        EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(25, 2)) << target;
        EXPECT_NE(os_error, 0u);
        EXPECT_EQ(KTLORSYM_InstanceTraceBackupM(trace.get(), target.string().c_str(), 16), -1);
        EXPECT_EQ(last_code(), code_word(50, 2)) << target;
        EXPECT_TRUE(snapshot() == before) << "files changed by " << target;
    }

    // A single file: the next line follows the last one directly.
    ktl_test::Instance single(dir.prefix("single"), 4096, 1);
    ASSERT_EQ(put(single, "first"), 0);
    EXPECT_EQ(KTLORSYM_InstanceTraceBackup(single.get(), nth(dir, 1, "single").string().c_str()),
              -1);
    ASSERT_EQ(put(single, "second"), 0);
    const auto lines = read_lines(nth(dir, 1, "single"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].substr(68), "first");
    EXPECT_EQ(lines[3].substr(68), "second");
}

#if !defined(_WIN32)
// Windows refuses to delete an open trace file. Elsewhere the writer asks whether its file is
// still linked at most once per millisecond tick, so a deletion between two lines of one tick
// is noticed later: at the next tick's line, once the lines since the last check would fill
// 64 KiB, at a flush or at the close. The file is then made again under the same name with
// every line since the last check, the one before the deletion too, as the writer cannot tell
// which came after it.
TEST(PlainWrite, AFileDeletedUnderTheWriterIsMadeAgainWithEveryLineSince) {
    enum Next { later_line, full_buffer, flush, close };
    // 16 lines of 4070 bytes after "before" still fit in 64 KiB; the 17th does not.
    const std::string wide(4000, 'w');
    for (const Next next : {later_line, full_buffer, flush, close}) {
        bool within_one_tick = false;
        for (int attempt = 0; attempt < 200 && !within_one_tick; ++attempt) {
            TempDir dir;
            std::optional<ktl_test::Instance> trace(std::in_place, dir.prefix(), 1 << 20, 2);
            std::vector<std::string> expected;
            const auto add = [&](const std::string& text) {
                expected.push_back(text);
                return put(*trace, text);
            };
            // From the start of a tick, so that the lines around the deletion share it.
            const std::uint32_t previous = plat::tick_count_ms();
            while (plat::tick_count_ms() == previous) {
            }
            const std::uint32_t tick = plat::tick_count_ms();
            ASSERT_EQ(add("before"), 0);
            ASSERT_TRUE(fs::remove(nth(dir, 1)));
            for (int n = 0; n < (next == full_buffer ? 17 : 1); ++n) {
                ASSERT_EQ(add(next == full_buffer ? wide : "after"), 0);
            }
            within_one_tick = plat::tick_count_ms() == tick;
            if (!within_one_tick) {
                continue;  // a check may have come between: try again
            }
            if (next == later_line) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                ASSERT_EQ(add("later"), 0);
            } else if (next == flush) {
                ASSERT_EQ(KTLORSYM_InstanceFileBufferFlush(trace->get()), 0);
            } else if (next == close) {
                trace.reset();
            }
            const auto lines = read_lines(nth(dir, 1));
            ASSERT_EQ(lines.size(), ktl_test::kHeaderLines + expected.size()) << next;
            EXPECT_EQ(lines[0].substr(0, 5), "**** ");
            for (std::size_t n = 0; n < expected.size(); ++n) {
                EXPECT_EQ(lines[ktl_test::kHeaderLines + n].substr(68), expected[n]) << next;
            }
            EXPECT_FALSE(fs::exists(nth(dir, 2)));
        }
        EXPECT_TRUE(within_one_tick) << next << ": the lines never fitted in one millisecond";
    }
}

// A write cut short loses its line only: the part written is taken back, so the next line
// starts cleanly. The same for the header block.
TEST(PlainWrite, AWriteCutShortIsTakenBack) {
    TempDir dir;
    const std::string prefix = dir.prefix();
    std::uint32_t os_error = 0;
    {
        ktl_test::FileSizeLimit limit(100);
        EXPECT_EQ(ktl_test::Instance(prefix, 65536, 2).create_result(), -1);
        EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(19, 4));
        EXPECT_EQ(os_error, static_cast<std::uint32_t>(EFBIG));
        EXPECT_EQ(fs::file_size(nth(dir, 1)), 0u);
    }
    ktl_test::Instance trace(prefix, 65536, 2);
    // Level 1 passes the file threshold but not the echo's, whose cause would replace 4.
    KTLORSYM_SetInstanceLogLevel(trace.get(), 1);
    {
        ktl_test::FileSizeLimit limit(1000);  // the header and four lines of 170 bytes: 933 bytes
        for (int n = 0; n < 4; ++n) {
            ASSERT_EQ(put(trace, std::string(100, 'a'), 1), 0);
        }
        EXPECT_EQ(put(trace, std::string(100, 'b'), 1), -1);
        EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(21, 4));
        EXPECT_EQ(os_error, static_cast<std::uint32_t>(EFBIG));
        EXPECT_EQ(fs::file_size(nth(dir, 1)), kHeaderBytes + 4 * 170);
    }
    ASSERT_EQ(put(trace, "next"), 0);
    const auto lines = read_lines(nth(dir, 1));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].substr(0, 5), "**** ");
    EXPECT_EQ(lines[5].substr(68), std::string(100, 'a'));
    EXPECT_EQ(lines[6].substr(68), "next");
}
#endif

TEST(PlainDirectories, MadeWhenMissingElseTheCauseIsKept) {
    TempDir dir;
    ASSERT_EQ(ktl_test::Instance(dir / "a/b/c/svc").create_result(), 0);
    EXPECT_TRUE(fs::exists(dir.path() / "a/b/c/svc1.log"));
    // A prefix without a directory writes into the working directory.
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(ktl_test::Instance("bare", 4096, 1).create_result(), 0);
    fs::current_path(previous);
    EXPECT_TRUE(fs::exists(dir.path() / "bare1.log"));

    // A path component that is a file, not a directory.
    old_file(dir.path() / "plainfile", "x");
    EXPECT_EQ(ktl_test::Instance(dir / "plainfile/sub/trace", 4096, 2).create_result(), -1);
    EXPECT_EQ(last_code(), code_word(19, 17));

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
    EXPECT_EQ(ktl_test::Instance("/proc/ktl-no-such-dir/sub/trace", 4096, 1).create_result(), -1);
    EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(19, 21));
    EXPECT_NE(os_error, 0u);
#endif
}

}  // namespace
