// The plain writer against real files: which file an open continues, switching at the size
// limit, backups, and failures to create directories and files.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>

#include <csignal>
#endif

#include "plat/time.h"
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

#if !defined(_WIN32)
// A soft file-size limit for this process, with SIGXFSZ ignored so that a write beyond it
// is cut short instead of ending the process.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        set(bytes);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_handler_);
    }
    void set(rlim_t bytes) {
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }

  private:
    rlimit saved_{};
    void (*previous_handler_)(int) = SIG_DFL;
};

#endif

// A whole second an hour ago: files stamped relative to it tie or differ exactly.
fs::file_time_type an_hour_ago() {
    return std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now() -
                                                    std::chrono::hours(1));
}

// A file left by an earlier run, last written at the given time.
void old_file(const fs::path& path, const std::string& content,
              fs::file_time_type written = an_hour_ago()) {
    std::ofstream(path, std::ios::binary) << content;
    fs::last_write_time(path, written);
}

// Which file an open continues: the newest, unless it is full, when the next one is started
// afresh. Among equal times a file with room beats a full one, then the higher number wins;
// times compare to the nanosecond. Other files are left alone.
TEST(PlainOpen, ContinuesTheNewestFileOrStartsTheNextWhenItIsFull) {
    using std::chrono::nanoseconds;
    constexpr std::int64_t kSecond = 1000000000;
    const std::string full(4096, 'f');
    struct Case {
        std::string content[4];   // "": no such file
        std::int64_t written[4];  // nanoseconds after the base
        int chosen;
        bool emptied;
    };
    std::vector<Case> cases = {
        {{}, {}, 1, true},
        {{"old1", "old2", "old3", "old4"},
         {1 * kSecond, 30 * kSecond, 2 * kSecond, 3 * kSecond},
         2,
         false},
        {{std::string(100, 'a'), "", "", full}, {1 * kSecond, 0, 0, 9 * kSecond}, 1, true},
        // Ties.
        {{"one", "", "three", ""}, {5 * kSecond, 0, 5 * kSecond, 0}, 3, false},
        {{"one", "", full, ""}, {5 * kSecond, 0, 5 * kSecond, 0}, 1, false},
        {{full, full, "", ""}, {5 * kSecond, 5 * kSecond, 0, 0}, 3, true},
        {{"one", full, "three", full},
         {5 * kSecond, 5 * kSecond, 4 * kSecond, 5 * kSecond},
         1,
         false},
    };
#if !defined(_WIN32)
    // Apart by less than the 100 ns of a Windows file time: not a tie.
    cases.push_back({{"one", "two", "", ""}, {5 * kSecond + 50, 5 * kSecond, 0, 0}, 1, false});
#endif
    for (const auto& c : cases) {
        TempDir dir;
        const auto base = an_hour_ago();
        for (int n = 1; n <= 4; ++n) {
            if (!c.content[n - 1].empty()) {
                old_file(nth(dir, n), c.content[n - 1], base + nanoseconds(c.written[n - 1]));
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
    ASSERT_EQ(trace.create_result(), 0);
    const auto put = [&](const std::string& text) {
        return KTLORSYM_PutInstanceLine(trace.get(), 0, text.c_str());
    };
    // Each line is 70 + 30 bytes; after the 253-byte header the 39th line crosses 4096 and
    // still goes to the old file.
    int lines_in_first = 0;
    while (fs::file_size(nth(dir, 1)) <= 4096) {
        ASSERT_LT(lines_in_first, 100) << "file 1 never passed its limit";
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
    const auto base = an_hour_ago();
    for (const auto& [n, text, age] :
         {std::tuple{1, "ONE|", 3}, {2, "TWO|", 4}, {3, "THREE|", 1}}) {
        old_file(nth(dir, n), text, base + std::chrono::seconds(age));
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

// One of the writer's own files as the target, whatever path names it: refused as a target
// that cannot be opened, and no file changes.
TEST(PlainBackup, RefusesTheWritersOwnFilesAsTarget) {
#if !defined(_WIN32)
    // A file copied into itself would grow without end.
    FileSizeLimit limit(1 << 20);
#endif
    TempDir dir;
    const auto base = an_hour_ago();
    old_file(nth(dir, 1), "ONE|", base);
    old_file(nth(dir, 3), "THREE|", base + std::chrono::seconds(1));
    ktl_test::Instance trace(dir.prefix(), 4096, 4);  // continues file 3; 2 and 4 are missing
    ASSERT_EQ(trace.create_result(), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "live"), 0);
    fs::create_directory(dir.path() / "sub");
    std::vector<fs::path> targets = {nth(dir, 3), nth(dir, 1), nth(dir, 4),
                                     dir.path() / "sub" / ".." / "trace3.log",
                                     dir.path() / "." / "trace1.log"};
#if !defined(_WIN32)
    fs::create_hard_link(nth(dir, 3), dir.path() / "hard.log");
    fs::create_symlink(nth(dir, 1), dir.path() / "link.log");
    fs::create_symlink(nth(dir, 4), dir.path() / "dangling.log");
    targets.insert(targets.end(),
                   {dir.path() / "hard.log", dir.path() / "link.log", dir.path() / "dangling.log"});
#endif
    const auto snapshot = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            files[entry.path().filename().string()] = read_file(entry.path());
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
    ASSERT_EQ(KTLORSYM_PutInstanceLine(single.get(), 0, "first"), 0);
    const fs::path only = dir.path() / "single1.log";
    EXPECT_EQ(KTLORSYM_InstanceTraceBackup(single.get(), only.string().c_str()), -1);
    ASSERT_EQ(KTLORSYM_PutInstanceLine(single.get(), 0, "second"), 0);
    const auto lines = read_lines(only);
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
    enum class Next { later_line, full_buffer, flush, close };
    // 16 lines of 4070 bytes after "before" still fit in 64 KiB; the 17th does not.
    const std::string wide(4000, 'w');
    for (const Next next : {Next::later_line, Next::full_buffer, Next::flush, Next::close}) {
        const auto what = static_cast<int>(next);
        bool within_one_tick = false;
        for (int attempt = 0; attempt < 50 && !within_one_tick; ++attempt) {
            TempDir dir;
            std::optional<ktl_test::Instance> trace(std::in_place, dir.prefix(), 1 << 20, 2);
            ASSERT_EQ(trace->create_result(), 0);
            std::vector<std::string> expected;
            const auto put = [&](const std::string& text) {
                expected.push_back(text);
                return KTLORSYM_PutInstanceLine(trace->get(), 0, text.c_str());
            };
            // From the start of a tick, so that the lines around the deletion share it.
            const std::uint32_t previous = plat::tick_count_ms();
            while (plat::tick_count_ms() == previous) {
            }
            const std::uint32_t tick = plat::tick_count_ms();
            ASSERT_EQ(put("before"), 0);
            ASSERT_TRUE(fs::remove(nth(dir, 1)));
            for (int n = 0; n < (next == Next::full_buffer ? 17 : 1); ++n) {
                ASSERT_EQ(put(next == Next::full_buffer ? wide : "after"), 0);
            }
            within_one_tick = plat::tick_count_ms() == tick;
            if (!within_one_tick) {
                continue;  // a check may have come between: try again
            }
            switch (next) {
                case Next::later_line:
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    ASSERT_EQ(put("later"), 0);
                    break;
                case Next::full_buffer:
                    break;
                case Next::flush:
                    ASSERT_EQ(KTLORSYM_InstanceFileBufferFlush(trace->get()), 0);
                    break;
                case Next::close:
                    trace.reset();
                    break;
            }
            const auto lines = read_lines(nth(dir, 1));
            ASSERT_EQ(lines.size(), ktl_test::kHeaderLines + expected.size()) << what;
            EXPECT_EQ(lines[0].substr(0, 5), "**** ");
            for (std::size_t n = 0; n < expected.size(); ++n) {
                EXPECT_EQ(lines[ktl_test::kHeaderLines + n].substr(68), expected[n])
                    << what << ", line " << n;
            }
            EXPECT_FALSE(fs::exists(nth(dir, 2)));
        }
        EXPECT_TRUE(within_one_tick) << what << ": the lines never fitted in one millisecond";
    }
}

// A write cut short loses its line only: the part written is taken back, so the next line
// starts cleanly. The same for the header block.
TEST(PlainWrite, AWriteCutShortIsTakenBack) {
    TempDir dir;
    const std::string prefix = dir.prefix();
    const TraceFileConfig config{65536, 2, prefix.c_str()};
    std::uint32_t os_error = 0;
    {
        FileSizeLimit limit(100);
        TraceInstance* handle = nullptr;
        EXPECT_EQ(KTLORSYM_CreateInstance(&handle, &config, "P"), -1);
        EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(19, 4));
        EXPECT_EQ(os_error, static_cast<std::uint32_t>(EFBIG));
        EXPECT_EQ(fs::file_size(nth(dir, 1)), 0u);
    }
    ktl_test::Instance trace(prefix, 65536, 2);
    ASSERT_EQ(trace.create_result(), 0);
    // Level 1 passes the file threshold but not the echo's, whose cause would replace 4.
    KTLORSYM_SetInstanceLogLevel(trace.get(), 1);
    {
        // Header and four lines of 170 bytes: 933 bytes.
        FileSizeLimit limit(1000);
        for (int n = 0; n < 4; ++n) {
            ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 1, std::string(100, 'a').c_str()), 0);
        }
        EXPECT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 1, std::string(100, 'b').c_str()), -1);
        EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(21, 4));
        EXPECT_EQ(os_error, static_cast<std::uint32_t>(EFBIG));
        EXPECT_EQ(fs::file_size(nth(dir, 1)), kHeaderBytes + 4 * 170);
    }
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "next"), 0);
    const auto lines = read_lines(nth(dir, 1));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].substr(0, 5), "**** ");
    EXPECT_EQ(lines[5].substr(68), std::string(100, 'a'));
    EXPECT_EQ(lines[6].substr(68), "next");
}
#endif

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
