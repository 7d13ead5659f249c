// The managed writer's files: the management record, preparation, switches, the end mark,
// rebuilds, backups and faults of the mapped views.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include "child_process.h"
#endif

#include "guarded_copy.h"
#include "ktlor/managed_layout.h"
#include "managed_writer.h"
#include "plat/mapping.h"
#include "plat/sync.h"
#include "trace_test_support.h"

namespace {

namespace fs = std::filesystem;
namespace mg = ktlor::managed;
using ktl::Failure;
using ktl::ManagedTraceWriter;
using ktl_test::read_file;
using ktl_test::TempDir;

const std::string kTail = std::string(1, '\x1A') + mg::kEndMark;

std::string management_path(const std::string& prefix) {
    return (fs::path(prefix).parent_path() / "mmap" /
            (fs::path(prefix).filename().string() + ".mm"))
        .string();
}

mg::ManagementRecord stored(const std::string& prefix) {
    const std::string bytes = read_file(management_path(prefix));
    mg::ManagementRecord record{};
    EXPECT_EQ(bytes.size(), sizeof record) << prefix;
    std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof record));
    return record;
}

struct Writer {
    Writer(const std::string& prefix, std::int32_t size, std::int32_t count, std::uint32_t options,
           const char* program_id = "MGDTEST")
        : config{size, count, prefix.c_str()}, writer(config, program_id) {
        writer.set_options(options);
    }
    Failure put(const std::string& line) { return writer.write_line(line.data(), line.size()); }

    TraceFileConfig config;
    ManagedTraceWriter writer;
};

std::string file_of(const std::string& prefix, int n) {
    return read_file(prefix + std::to_string(n) + ".log");
}

constexpr std::uint32_t kNoHeaders = mg::kOptionNoSwitchHeader | mg::kOptionShortOpenHeader;

TEST(ManagedLayout, NamesAndValidationFollowTheLayout) {
    char out[mg::kMaxNameLength];
    ASSERT_TRUE(mg::mutex_name("D:\\trace\\svc", out, sizeof out));
    EXPECT_STREQ(out, "Global\\D//trace/svc");
    ASSERT_TRUE(mg::mutex_name("/var/t/svc", out, sizeof out, false));
    EXPECT_STREQ(out, "/var/t/svc");
    ASSERT_TRUE(mg::trace_file_name("/t/svc", 12, out, sizeof out));
    EXPECT_STREQ(out, "/t/svc12.log");
    ASSERT_TRUE(mg::management_file_name("svc", out, sizeof out));
    EXPECT_EQ(std::string(out),
              std::string(".") + plat::kPathSeparator + "mmap" + plat::kPathSeparator + "svc.mm");
    EXPECT_FALSE(mg::trace_file_name("/t/svc", 1, out, 8)) << "cut";
    EXPECT_TRUE(mg::drive_only("D:"));
    EXPECT_FALSE(mg::drive_only("D:x"));

    mg::ManagementRecord r{};
    std::memcpy(r.magic, "ZUNO", 4);
    r.file_size = 4096;
    r.file_count = 64;
    r.current = 64;
    EXPECT_TRUE(mg::header_valid(r));
    struct Case {
        std::uint32_t size, count, current;
    };
    for (const Case c : {Case{4095, 1, 1}, Case{16777217, 1, 1}, Case{4096, 0, 1},
                         Case{4096, 65, 1}, Case{4096, 2, 0}, Case{4096, 2, 3}}) {
        mg::ManagementRecord bad = r;
        bad.file_size = c.size;
        bad.file_count = c.count;
        bad.current = c.current;
        EXPECT_FALSE(mg::header_valid(bad)) << c.size << " " << c.count << " " << c.current;
    }
    r.magic[3] = 'X';
    EXPECT_FALSE(mg::header_valid(r));

    // The end of data is a 0x1A at the start or after CR LF, found across pieces.
    mg::EndOfDataScanner scanner;
    EXPECT_FALSE(scanner.feed("ab\x1A\r", 4));
    EXPECT_TRUE(scanner.feed("\n\x1Axx", 4));
    EXPECT_EQ(scanner.used_length(), 5u);
}

TEST(GuardedCopy, AFaultingViewFailsTheCopyAndTheNextCopyWorks) {
    char out[16] = {};
    std::uint32_t code = 0;
#ifdef _WIN32
    // Windows keeps a mapped file at its size: an inaccessible page stands in for a failed
    // page-in.
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(page, nullptr);
    EXPECT_FALSE(ktl::guarded_copy(out, page, sizeof out, &code));
    EXPECT_EQ(code, static_cast<std::uint32_t>(EXCEPTION_ACCESS_VIOLATION));
    VirtualFree(page, 0, MEM_RELEASE);
#else
    TempDir dir;
    const std::string name = (dir.path() / "cut").string();
    plat::File file;
    ASSERT_TRUE(file.open(name.c_str(), plat::Access::read_write, plat::Disposition::open_always,
                          plat::Share::read_write));
    plat::FileMapping view;
    ASSERT_TRUE(view.map(file, 0, 8192, plat::MapAccess::read_write));
    fs::resize_file(name, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(ktl::guarded_copy(out, view.data() + 4096, sizeof out, &code));
        EXPECT_EQ(code, static_cast<std::uint32_t>(SIGBUS));
        EXPECT_FALSE(ktl::guarded_copy(view.data(), "x", 1, &code));
    }
#endif
    EXPECT_TRUE(ktl::guarded_copy(out, "fine", 5, &code));
    EXPECT_STREQ(out, "fine");
}

TEST(ManagedFiles, AFreshSetIsPreparedOldestFirstWithTheLongHeaderBlock) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    Writer w(prefix, 65536, 4, 0);
    ASSERT_TRUE(w.writer.open().ok());
    const auto r = stored(prefix);
    EXPECT_EQ(std::string(r.magic, 4), "ZUNO");
    EXPECT_EQ(r.mark, 0xEFBBBF00u);
    EXPECT_EQ(r.file_size, 65536u);
    EXPECT_EQ(r.file_count, 4u);
    EXPECT_EQ(r.current, 1u);
    EXPECT_EQ(r.flags, 0xFFFFFFC0u);
    EXPECT_EQ(r.version, 2u);
    plat::PathInfo info[5];
    for (int n = 1; n <= 4; ++n) {
        const std::string bytes = file_of(prefix, n);
        ASSERT_EQ(bytes.size(), 65536u) << n;
        const std::size_t at = n == 1 ? r.offset : 0;
        EXPECT_EQ(bytes.substr(at, kTail.size()), kTail) << n;
        EXPECT_EQ(bytes.find_first_not_of(' ', at + kTail.size()), std::string::npos) << n;
        ASSERT_TRUE(plat::query_path((prefix + std::to_string(n) + ".log").c_str(), &info[n]));
    }
    // Made 2, 3, 4 and then the current file.
    EXPECT_FALSE(info[2].written_after(info[3]));
    EXPECT_FALSE(info[3].written_after(info[4]));
    EXPECT_FALSE(info[4].written_after(info[1]));
    const std::string first = file_of(prefix, 1);
    const auto lines = ktl_test::read_lines(prefix + "1.log");
    EXPECT_EQ(first.substr(0, 22), "**** MGDTEST          ");
    EXPECT_EQ(lines[0].size(), 55u);
    EXPECT_EQ(lines[0].substr(31), "0000065536 0004 00000000");
    const std::size_t block = 57 + 253 - 20 + (lines[2].size() - lines[2].rfind("message("));
    EXPECT_EQ(r.offset, block) << "310 with a four-digit language id";
    EXPECT_TRUE(w.writer.close().ok());
}

TEST(ManagedFiles, WithoutSpaceFillANewFileIsTheMarkZerosAndAZeroAtItsEnd) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    Writer w(prefix, 8192, 2, mg::kOptionNoSpaceFill | kNoHeaders);
    ASSERT_TRUE(w.writer.open().ok());
    const std::string current = file_of(prefix, 1);
    ASSERT_EQ(current.size(), 8192u);
    EXPECT_EQ(current.substr(0, kTail.size()), kTail);
    EXPECT_EQ(current.find_first_not_of('\0', kTail.size()), std::string::npos);
    EXPECT_EQ(file_of(prefix, 2), kTail) << "not current: only the mark";
}

TEST(ManagedFiles, ALineEndingAtSizeLess48FitsAndOneByteMoreSwitches) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    constexpr std::uint32_t kSize = 4096;
    Writer w(prefix, kSize, 3, kNoHeaders);
    ASSERT_TRUE(w.writer.open().ok());
    ASSERT_EQ(stored(prefix).offset, 0u) << "no block at open";
    const std::string fits(kSize - 48, 'a');
    ASSERT_TRUE(w.put(fits).ok());
    EXPECT_EQ(stored(prefix).current, 1u);
    EXPECT_EQ(stored(prefix).offset, kSize - 48);
    EXPECT_EQ(file_of(prefix, 1), fits + kTail);
    ASSERT_TRUE(w.put("b").ok());
    EXPECT_EQ(stored(prefix).current, 2u);
    EXPECT_EQ(stored(prefix).offset, 1u);
    EXPECT_EQ(file_of(prefix, 1), fits + kTail) << "keeps its mark";
    EXPECT_EQ(file_of(prefix, 2).substr(0, 49), "b" + kTail);

    // A line longer than a file gets a file of its own size; the next file is normal.
    const std::string huge(kSize, 'h');
    ASSERT_TRUE(w.put(huge).ok());
    EXPECT_EQ(stored(prefix).current, 3u);
    EXPECT_EQ(file_of(prefix, 3), huge + kTail);
    ASSERT_TRUE(w.put("c").ok());
    EXPECT_EQ(stored(prefix).current, 1u);
    EXPECT_EQ(file_of(prefix, 1).size(), kSize);
    EXPECT_EQ(file_of(prefix, 1).substr(0, 49), "c" + kTail);
}

TEST(ManagedFiles, ASwitchStartsTheNextFileWithTheShortBlock) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    Writer w(prefix, 4096, 2, mg::kOptionShortOpenHeader);
    ASSERT_TRUE(w.writer.open().ok());
    const std::uint32_t block = stored(prefix).offset;
    EXPECT_GT(block, 200u);
    ASSERT_TRUE(w.put(std::string(4096 - 48 - block, 'a')).ok());
    ASSERT_TRUE(w.put("next\r\n").ok());
    const std::string second = file_of(prefix, 2);
    EXPECT_EQ(second.substr(0, 5), "**** ");
    EXPECT_EQ(second.substr(block, 6 + kTail.size()), "next\r\n" + kTail);
    EXPECT_EQ(stored(prefix).offset, block + 6);
}

TEST(ManagedFiles, ANewManagementFileTakesThePositionFromTheNewestTraceFile) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    {
        Writer w(prefix, 4096, 3, kNoHeaders);
        ASSERT_TRUE(w.writer.open().ok());
        ASSERT_TRUE(w.put(std::string(4039, 'a') + "\r\n").ok());
        ASSERT_TRUE(w.put("second\r\n").ok());
        ASSERT_TRUE(w.writer.close().ok());
    }
    ASSERT_TRUE(fs::remove(management_path(prefix)));
    {
        Writer w(prefix, 4096, 3, kNoHeaders);
        EXPECT_EQ(w.writer.open().cause, ktl::kCausePositionFromTraceFiles);
        EXPECT_EQ(stored(prefix).current, 2u);
        EXPECT_EQ(stored(prefix).offset, 8u);
        ASSERT_TRUE(w.put("third\r\n").ok());
        EXPECT_EQ(file_of(prefix, 2).substr(0, 15 + 48), "second\r\nthird\r\n" + kTail);
        ASSERT_TRUE(w.writer.close().ok());
    }
    // A wrong magic, and then a management file of the wrong size: rebuilt without a warning.
    for (const std::string& garbage : {std::string(64, 'x'), std::string(10, 'y')}) {
        std::ofstream(management_path(prefix), std::ios::binary) << garbage;
        Writer w(prefix, 4096, 3, kNoHeaders);
        EXPECT_TRUE(w.writer.open().ok());
        const auto r = stored(prefix);
        EXPECT_TRUE(mg::header_valid(r));
        EXPECT_EQ(r.current, 2u);
        EXPECT_EQ(r.offset, 15u);
        ASSERT_TRUE(w.writer.close().ok());
    }
    // A trace file shorter than the stored size is brought back to it.
    fs::resize_file(prefix + "2.log", 100);
    Writer w(prefix, 4096, 3, kNoHeaders);
    EXPECT_TRUE(w.writer.open().ok());
    EXPECT_EQ(file_of(prefix, 2).size(), 4096u);
    ASSERT_TRUE(w.put("fourth\r\n").ok());
    EXPECT_EQ(file_of(prefix, 2).substr(15, 8 + 48), "fourth\r\n" + kTail);
    EXPECT_TRUE(w.writer.close().ok());
}

TEST(ManagedFiles, StoredSizeAndCountWinUnlessAllWritersAskForTheLarger) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    Writer first(prefix, 4096, 2, kNoHeaders | mg::kOptionTakeLarger);
    ASSERT_TRUE(first.writer.open().ok());
    {
        Writer larger(prefix, 8192, 3, kNoHeaders | mg::kOptionTakeLarger);
        ASSERT_TRUE(larger.writer.open().ok());
        EXPECT_EQ(stored(prefix).file_size, 8192u);
        EXPECT_EQ(stored(prefix).file_count, 3u);
        ASSERT_TRUE(larger.writer.close().ok());
    }
    // The options are ANDed: a writer without the bit takes the stored values, and so
    // does every writer after it.
    Writer plain(prefix, 4096, 2, kNoHeaders);
    ASSERT_TRUE(plain.writer.open().ok());
    EXPECT_EQ(stored(prefix).file_size, 8192u);
    EXPECT_EQ(stored(prefix).flags & 63u, kNoHeaders);
    Writer late(prefix, 16384, 5, kNoHeaders | mg::kOptionTakeLarger);
    ASSERT_TRUE(late.writer.open().ok());
    EXPECT_EQ(stored(prefix).file_size, 8192u);
    EXPECT_EQ(stored(prefix).file_count, 3u);
    // The first writer follows the stored size on its next line.
    ASSERT_TRUE(first.put(std::string(5000, 'a')).ok());
    EXPECT_EQ(stored(prefix).current, 1u);
    EXPECT_EQ(file_of(prefix, 1).size(), 8192u);
}

TEST(ManagedFiles, BackupCopiesOldestFirstAndRefusesTheSetsOwnFiles) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    Writer w(prefix, 4096, 3, kNoHeaders);
    ASSERT_TRUE(w.writer.open().ok());
    const std::string one = std::string(4043, '1') + "\r\n", two = "2a\r\n",
                      three = std::string(4043, '3') + "\r\n";
    // Files 1, 2, 3, then round to 1 and 2 again.
    for (const std::string& line :
         {std::string(4045, 'x'), std::string(4045, 'y'), three, one, std::string("2a\r\n")}) {
        ASSERT_TRUE(w.put(line).ok());
    }
    ASSERT_EQ(stored(prefix).current, 2u);
    for (const int mode : {0, 16}) {
        const std::string target = (dir.path() / "saved" / "b.log").string();
        ASSERT_TRUE(w.writer.backup(target.c_str(), mode).ok());
        EXPECT_TRUE(read_file(target) == three + one + two) << mode;
    }
    const std::string before = file_of(prefix, 1);
    for (const std::string& own : {prefix + "1.log", prefix + "3.log", management_path(prefix)}) {
        EXPECT_EQ(w.writer.backup(own.c_str(), 0).cause, ktl::kCauseOpenFailed) << own;
    }
    EXPECT_EQ(file_of(prefix, 1), before);
    EXPECT_TRUE(mg::header_valid(stored(prefix)));
}

#ifndef _WIN32
// Windows refuses to shorten a mapped file.
TEST(ManagedFiles, AShortenedTraceFileFailsTheLineAndIsPreparedAgain) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    Writer w(prefix, 65536, 2, kNoHeaders);
    ASSERT_TRUE(w.writer.open().ok());
    ASSERT_TRUE(w.put("before\r\n").ok());
    // Cut under the live mapping: the page behind the offset is gone.
    fs::resize_file(prefix + "1.log", 0);
    EXPECT_EQ(w.put(std::string(100, 'a')).cause, ktl::kCauseMappedAccess);
    ASSERT_TRUE(w.put("after\r\n").ok());
    EXPECT_EQ(file_of(prefix, 1).size(), 65536u);
    EXPECT_TRUE(w.writer.flush().ok());

    // A management file cut to nothing: the access fails, and the writer brings the file
    // back to its 64 bytes and rebuilds the header on the next line.
    fs::resize_file(management_path(prefix), 0);
    EXPECT_EQ(w.put("lost\r\n").cause, ktl::kCauseMappedAccess);
    EXPECT_TRUE(w.put("rebuilt\r\n").ok());
    EXPECT_TRUE(mg::header_valid(stored(prefix)));
    EXPECT_TRUE(w.writer.close().ok());
}

// Runs f in a child process; its exit status.
template <typename F>
int in_child(F f) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(f());
    }
    return plat_test::ChildProcess(child).wait_exit(std::chrono::seconds(10));
}

TEST(ManagedProcesses, OneWriterThatLocksMakesAllLockAndAHeldMutexFailsAtOnce) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    Writer unlocked(prefix, 4096, 2, kNoHeaders | mg::kOptionNoMutex);
    unlocked.writer.set_lock_wait_time(0);
    ASSERT_TRUE(unlocked.writer.open().ok());
    EXPECT_EQ(stored(prefix).flags & mg::kOptionNoMutex, mg::kOptionNoMutex);
    ASSERT_EQ(in_child([&] {
                  Writer locking(prefix, 4096, 2, kNoHeaders);
                  return locking.writer.open().ok() && locking.writer.close().ok() ? 0 : 1;
              }),
              0);
    EXPECT_EQ(stored(prefix).flags & mg::kOptionNoMutex, 0u);

    // Another process holds the writers' mutex.
    char name[mg::kMaxNameLength];
    char full[mg::kMaxNameLength];
    ASSERT_TRUE(plat::full_path(prefix.c_str(), full, sizeof full));
    ASSERT_TRUE(mg::mutex_name(full, name, sizeof name));
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        plat::NamedMutex m;
        char c = m.open(name).ok() && m.lock(1000) == plat::WaitResult::signalled ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(unlocked.put("x\r\n").cause, ktl::kCauseLockTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    (void)!write(release[1], "r", 1);
    EXPECT_EQ(plat_test::ChildProcess(holder).wait_exit(std::chrono::seconds(10)), 0);
    EXPECT_TRUE(unlocked.put("y\r\n").ok());
    for (const int fd : {ready[0], ready[1], release[0], release[1]}) {
        close(fd);
    }
    EXPECT_TRUE(unlocked.writer.close().ok());
    plat::NamedMutex::remove(name);
}

TEST(ManagedProcesses, AWriterDeadBetweenRaisingTheOffsetAndCopyingHidesNoLaterLine) {
    TempDir dir;
    const std::string prefix = dir.prefix("svc");
    Writer w(prefix, 4096, 2, kNoHeaders);
    ASSERT_TRUE(w.writer.open().ok());
    ASSERT_TRUE(w.put("first\r\n").ok());
    char full[mg::kMaxNameLength];
    char name[mg::kMaxNameLength];
    ASSERT_TRUE(plat::full_path(prefix.c_str(), full, sizeof full));
    ASSERT_TRUE(mg::mutex_name(full, name, sizeof name));
    // The dead writer took the mutex, reserved 100 bytes and ended before copying them.
    const std::string management = management_path(prefix);
    ASSERT_EQ(in_child([&] {
                  plat::NamedMutex m;
                  if (!m.open(name).ok() || m.lock(1000) != plat::WaitResult::signalled) {
                      return 1;
                  }
                  std::fstream f(management, std::ios::in | std::ios::out | std::ios::binary);
                  const std::uint32_t offset = 7 + 100;
                  f.seekp(offsetof(mg::ManagementRecord, offset));
                  f.write(reinterpret_cast<const char*>(&offset), sizeof offset);
                  return f.good() ? 0 : 1;
              }),
              0);
    ASSERT_TRUE(w.put("after\r\n").ok());
    const std::string data = file_of(prefix, 1);
    mg::EndOfDataScanner scanner;
    scanner.feed(data.data(), data.size());
    EXPECT_EQ(scanner.used_length(), 7u + 100u + 7u) << "the line after the gap is data";
    EXPECT_EQ(data.substr(0, 7), "first\r\n");
    EXPECT_EQ(data.substr(7, 98), std::string(98, ' '));
    EXPECT_EQ(data.substr(105, 9), "\r\nafter\r\n");
    EXPECT_TRUE(w.writer.close().ok());
    plat::NamedMutex::remove(name);
}
#endif

}  // namespace
