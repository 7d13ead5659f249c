// The managed writer's files: the management record, preparation, switches, the end mark,
// rebuilds, backups and faults of the mapped views.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <fstream>
#include <string>
#include <tuple>

#ifdef _WIN32
#include <windows.h>
#else
#include "child_process.h"
#endif

#include "guarded_copy.h"
#include "managed_writer.h"
#include "plat/mapping.h"
#include "plat/sync.h"
#include "trace_test_support.h"

namespace {

namespace fs = std::filesystem;
namespace mg = ktlor::managed;
using ktl_test::read_text;
using ktl_test::stored;

const std::string kTail = std::string(1, '\x1A') + mg::kEndMark;
constexpr std::uint32_t kNoHeaders = mg::kOptionNoSwitchHeader | mg::kOptionShortOpenHeader;

struct Writer {
    Writer(const std::string& prefix, std::int32_t size, std::int32_t count, std::uint32_t options)
        : config{size, count, prefix.c_str()}, writer(config, "MGDTEST") {
        writer.set_options(options);
    }
    ktl::Failure put(const std::string& line) {
        return writer.write_line(line.data(), line.size());
    }

    TraceFileConfig config;
    ktl::ManagedTraceWriter writer;
};

class ManagedFiles : public ::testing::Test {
  protected:
    std::string file(int n) const { return read_text(prefix_ + std::to_string(n) + ".log"); }

    ktl_test::TempDir dir_;
    const std::string prefix_ = dir_.prefix("svc");
};

TEST(ManagedLayout, NamesAndTheEndOfData) {
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
    // The largest set is valid (the reader's tests refuse one beyond each limit).
    mg::ManagementRecord r{{'Z', 'U', 'N', 'O'}, 0, 16777216, 64, 0, 64, 0, 0, {}};
    EXPECT_TRUE(mg::header_valid(r));

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
    ktl_test::TempDir dir;
    const std::string name = dir / "cut";
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

TEST_F(ManagedFiles, AFreshSetIsPreparedOldestFirstWithTheLongHeaderBlock) {
    Writer w(prefix_, 65536, 4, 0);
    ASSERT_TRUE(w.writer.open().ok());
    const auto r = stored(prefix_);
    EXPECT_EQ(std::string(r.magic, 4), "ZUNO");
    EXPECT_EQ(r.mark, 0xEFBBBF00u);
    EXPECT_EQ(std::tuple(r.file_size, r.file_count, r.current, r.flags, r.version),
              std::tuple(65536u, 4u, 1u, 0xFFFFFFC0u, 2u));
    plat::PathInfo info[5];
    for (int n = 1; n <= 4; ++n) {
        const std::string bytes = file(n);
        ASSERT_EQ(bytes.size(), 65536u) << n;
        const std::size_t at = n == 1 ? r.offset : 0;
        EXPECT_EQ(bytes.substr(at, kTail.size()), kTail) << n;
        EXPECT_EQ(bytes.find_first_not_of(' ', at + kTail.size()), std::string::npos) << n;
        ASSERT_TRUE(plat::query_path((prefix_ + std::to_string(n) + ".log").c_str(), &info[n]));
    }
    // Made 2, 3, 4 and then the current file.
    EXPECT_FALSE(info[2].written_after(info[3]));
    EXPECT_FALSE(info[3].written_after(info[4]));
    EXPECT_FALSE(info[4].written_after(info[1]));
    const auto lines = ktl_test::read_lines(prefix_ + "1.log");
    EXPECT_EQ(lines[0].substr(0, 22), "**** MGDTEST          ");
    EXPECT_EQ(lines[0].size(), 55u);
    EXPECT_EQ(lines[0].substr(31), "0000065536 0004 00000000");
    const std::size_t block = 57 + 253 - 20 + (lines[2].size() - lines[2].rfind("message("));
    EXPECT_EQ(r.offset, block) << "310 with a four-digit language id";
    EXPECT_TRUE(w.writer.close().ok());

    // Without space fill a new file is the mark, zeros and a zero at its end; a file not
    // current only the mark.
    const std::string bare = dir_.prefix("bare");
    Writer z(bare, 8192, 2, mg::kOptionNoSpaceFill | kNoHeaders);
    ASSERT_TRUE(z.writer.open().ok());
    const std::string current = read_text(bare + "1.log");
    ASSERT_EQ(current.size(), 8192u);
    EXPECT_EQ(current.substr(0, kTail.size()), kTail);
    EXPECT_EQ(current.find_first_not_of('\0', kTail.size()), std::string::npos);
    EXPECT_EQ(read_text(bare + "2.log"), kTail);
}

TEST_F(ManagedFiles, ALineEndingAtSizeLess48FitsAndOneByteMoreSwitches) {
    constexpr std::uint32_t kSize = 4096;
    Writer w(prefix_, kSize, 3, kNoHeaders);
    ASSERT_TRUE(w.writer.open().ok());
    ASSERT_EQ(stored(prefix_).offset, 0u) << "no block at open";
    const std::string fits(kSize - 48, 'a');
    ASSERT_TRUE(w.put(fits).ok());
    EXPECT_EQ(stored(prefix_).current, 1u);
    EXPECT_EQ(stored(prefix_).offset, kSize - 48);
    EXPECT_EQ(file(1), fits + kTail);
    ASSERT_TRUE(w.put("b").ok());
    EXPECT_EQ(stored(prefix_).current, 2u);
    EXPECT_EQ(stored(prefix_).offset, 1u);
    EXPECT_EQ(file(1), fits + kTail) << "keeps its mark";
    EXPECT_EQ(file(2).substr(0, 49), "b" + kTail);

    // A line longer than a file gets a file of its own size; the next file is normal.
    const std::string huge(kSize, 'h');
    ASSERT_TRUE(w.put(huge).ok());
    EXPECT_EQ(stored(prefix_).current, 3u);
    EXPECT_EQ(file(3), huge + kTail);
    ASSERT_TRUE(w.put("c").ok());
    EXPECT_EQ(stored(prefix_).current, 1u);
    EXPECT_EQ(file(1).size(), kSize);
    EXPECT_EQ(file(1).substr(0, 49), "c" + kTail);
}

TEST_F(ManagedFiles, ASwitchStartsTheNextFileWithTheShortBlock) {
    Writer w(prefix_, 4096, 2, mg::kOptionShortOpenHeader);
    ASSERT_TRUE(w.writer.open().ok());
    const std::uint32_t block = stored(prefix_).offset;
    EXPECT_GT(block, 200u);
    ASSERT_TRUE(w.put(std::string(4096 - 48 - block, 'a')).ok());
    ASSERT_TRUE(w.put("next\r\n").ok());
    EXPECT_EQ(file(2).substr(0, 5), "**** ");
    EXPECT_EQ(file(2).substr(block, 6 + kTail.size()), "next\r\n" + kTail);
    EXPECT_EQ(stored(prefix_).offset, block + 6);
}

TEST_F(ManagedFiles, ANewManagementFileTakesThePositionFromTheNewestTraceFile) {
    {
        Writer w(prefix_, 4096, 3, kNoHeaders);
        ASSERT_TRUE(w.writer.open().ok());
        ASSERT_TRUE(w.put(std::string(4039, 'a') + "\r\n").ok());
        ASSERT_TRUE(w.put("second\r\n").ok());
        ASSERT_TRUE(w.writer.close().ok());
    }
    ASSERT_TRUE(fs::remove(ktl_test::management_path(prefix_)));
    {
        Writer w(prefix_, 4096, 3, kNoHeaders);
        EXPECT_EQ(w.writer.open().cause, ktl::kCausePositionFromTraceFiles);
        EXPECT_EQ(stored(prefix_).current, 2u);
        EXPECT_EQ(stored(prefix_).offset, 8u);
        ASSERT_TRUE(w.put("third\r\n").ok());
        EXPECT_EQ(file(2).substr(0, 15 + 48), "second\r\nthird\r\n" + kTail);
        ASSERT_TRUE(w.writer.close().ok());
    }
    // A wrong magic, and then a management file of the wrong size: rebuilt without a warning.
    for (const std::string& garbage : {std::string(64, 'x'), std::string(10, 'y')}) {
        std::ofstream(ktl_test::management_path(prefix_), std::ios::binary) << garbage;
        Writer w(prefix_, 4096, 3, kNoHeaders);
        EXPECT_TRUE(w.writer.open().ok());
        const auto r = stored(prefix_);
        EXPECT_TRUE(mg::header_valid(r));
        EXPECT_EQ(r.current, 2u);
        EXPECT_EQ(r.offset, 15u);
        ASSERT_TRUE(w.writer.close().ok());
    }
    // A trace file shorter than the stored size is brought back to it.
    fs::resize_file(prefix_ + "2.log", 100);
    Writer w(prefix_, 4096, 3, kNoHeaders);
    EXPECT_TRUE(w.writer.open().ok());
    EXPECT_EQ(file(2).size(), 4096u);
    ASSERT_TRUE(w.put("fourth\r\n").ok());
    EXPECT_EQ(file(2).substr(15, 8 + 48), "fourth\r\n" + kTail);
    EXPECT_TRUE(w.writer.close().ok());
}

TEST_F(ManagedFiles, StoredSizeAndCountWinUnlessAllWritersAskForTheLarger) {
    Writer first(prefix_, 4096, 2, kNoHeaders | mg::kOptionTakeLarger);
    ASSERT_TRUE(first.writer.open().ok());
    {
        Writer larger(prefix_, 8192, 3, kNoHeaders | mg::kOptionTakeLarger);
        ASSERT_TRUE(larger.writer.open().ok());
        EXPECT_EQ(stored(prefix_).file_size, 8192u);
        EXPECT_EQ(stored(prefix_).file_count, 3u);
        ASSERT_TRUE(larger.writer.close().ok());
    }
    // The options are ANDed: a writer without the bit takes the stored values, and so
    // does every writer after it.
    Writer plain(prefix_, 4096, 2, kNoHeaders);
    ASSERT_TRUE(plain.writer.open().ok());
    EXPECT_EQ(stored(prefix_).file_size, 8192u);
    EXPECT_EQ(stored(prefix_).flags & 63u, kNoHeaders);
    Writer late(prefix_, 16384, 5, kNoHeaders | mg::kOptionTakeLarger);
    ASSERT_TRUE(late.writer.open().ok());
    EXPECT_EQ(stored(prefix_).file_size, 8192u);
    EXPECT_EQ(stored(prefix_).file_count, 3u);
    // The first writer follows the stored size on its next line.
    ASSERT_TRUE(first.put(std::string(5000, 'a')).ok());
    EXPECT_EQ(stored(prefix_).current, 1u);
    EXPECT_EQ(file(1).size(), 8192u);
}

TEST_F(ManagedFiles, BackupCopiesOldestFirstAndRefusesTheSetsOwnFiles) {
#if !defined(_WIN32)
    ktl_test::FileSizeLimit limit(1 << 20);  // a file copied into itself would grow without end
#endif
    Writer w(prefix_, 4096, 3, kNoHeaders);
    ASSERT_TRUE(w.writer.open().ok());
    const std::string one = std::string(4043, '1') + "\r\n", two = "2a\r\n",
                      three = std::string(4043, '3') + "\r\n";
    // Files 1, 2, 3, then round to 1 and 2 again.
    for (const std::string& line :
         {std::string(4045, 'x'), std::string(4045, 'y'), three, one, two}) {
        ASSERT_TRUE(w.put(line).ok());
    }
    ASSERT_EQ(stored(prefix_).current, 2u);
    for (const int mode : {0, 16}) {
        const std::string target = dir_ / "saved/b.log";
        ASSERT_TRUE(w.writer.backup(target.c_str(), mode).ok());
        EXPECT_TRUE(read_text(target) == three + one + two) << mode;
    }
    const std::string before = file(1);
    for (const std::string& own :
         {prefix_ + "1.log", prefix_ + "3.log", ktl_test::management_path(prefix_)}) {
        EXPECT_EQ(w.writer.backup(own.c_str(), 0).cause, ktl::kCauseOpenFailed) << own;
    }
    EXPECT_EQ(file(1), before);
    EXPECT_TRUE(mg::header_valid(stored(prefix_)));
}

#ifndef _WIN32
// Windows refuses to shorten a mapped file.
TEST_F(ManagedFiles, AShortenedTraceFileFailsTheLineAndIsPreparedAgain) {
    Writer w(prefix_, 65536, 2, kNoHeaders);
    ASSERT_TRUE(w.writer.open().ok());
    ASSERT_TRUE(w.put("before\r\n").ok());
    // Cut under the live mapping: the page behind the offset is gone.
    fs::resize_file(prefix_ + "1.log", 0);
    EXPECT_EQ(w.put(std::string(100, 'a')).cause, ktl::kCauseMappedAccess);
    ASSERT_TRUE(w.put("after\r\n").ok());
    EXPECT_EQ(file(1).size(), 65536u);
    EXPECT_TRUE(w.writer.flush().ok());

    // A management file cut to nothing: the access fails, and the writer brings the file
    // back to its 64 bytes and rebuilds the header on the next line.
    fs::resize_file(ktl_test::management_path(prefix_), 0);
    EXPECT_EQ(w.put("lost\r\n").cause, ktl::kCauseMappedAccess);
    EXPECT_TRUE(w.put("rebuilt\r\n").ok());
    EXPECT_TRUE(mg::header_valid(stored(prefix_)));
    EXPECT_TRUE(w.writer.close().ok());
}

// Runs f in a forked child; its exit status.
template <typename F>
int in_child(F f) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(f());
    }
    return plat_test::ChildProcess(child).wait_exit(std::chrono::seconds(10));
}

std::string mutex_of(const std::string& prefix) {
    char full[mg::kMaxNameLength];
    char name[mg::kMaxNameLength];
    EXPECT_TRUE(plat::full_path(prefix.c_str(), full, sizeof full));
    EXPECT_TRUE(mg::mutex_name(full, name, sizeof name));
    return name;
}

TEST_F(ManagedFiles, OneWriterThatLocksMakesAllLockAndAHeldMutexFailsAtOnce) {
    Writer unlocked(prefix_, 4096, 2, kNoHeaders | mg::kOptionNoMutex);
    unlocked.writer.set_lock_wait_time(0);
    ASSERT_TRUE(unlocked.writer.open().ok());
    EXPECT_EQ(stored(prefix_).flags & mg::kOptionNoMutex, mg::kOptionNoMutex);
    ASSERT_EQ(in_child([&] {
                  Writer locking(prefix_, 4096, 2, kNoHeaders);
                  return locking.writer.open().ok() && locking.writer.close().ok() ? 0 : 1;
              }),
              0);
    EXPECT_EQ(stored(prefix_).flags & mg::kOptionNoMutex, 0u);

    // Another process holds the writers' mutex, and then dies holding it.
    const std::string name = mutex_of(prefix_);
    plat_test::ChildProcess holder({WRITER_CHILD, "hold", name});
    ASSERT_TRUE(holder.wait_for_output("y", std::chrono::seconds(10))) << holder.err();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(unlocked.put("x\r\n").cause, ktl::kCauseLockTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    holder.signal(SIGKILL);
    EXPECT_EQ(holder.wait_exit(std::chrono::seconds(10)), 128 + SIGKILL);
    EXPECT_TRUE(unlocked.put("y\r\n").ok());
    EXPECT_TRUE(unlocked.writer.close().ok());
    plat::NamedMutex::remove(name.c_str());
}

TEST_F(ManagedFiles, AWriterDeadBetweenRaisingTheOffsetAndCopyingHidesNoLaterLine) {
    Writer w(prefix_, 4096, 2, kNoHeaders);
    ASSERT_TRUE(w.writer.open().ok());
    ASSERT_TRUE(w.put("first\r\n").ok());
    const std::string name = mutex_of(prefix_);
    // The dead writer took the mutex, reserved 100 bytes and ended before copying them.
    ASSERT_EQ(in_child([&] {
                  plat::NamedMutex m;
                  if (!m.open(name.c_str()).ok() || m.lock(1000) != plat::WaitResult::signalled) {
                      return 1;
                  }
                  std::fstream f(ktl_test::management_path(prefix_),
                                 std::ios::in | std::ios::out | std::ios::binary);
                  const std::uint32_t offset = 7 + 100;
                  f.seekp(offsetof(mg::ManagementRecord, offset));
                  f.write(reinterpret_cast<const char*>(&offset), sizeof offset);
                  return f.good() ? 0 : 1;
              }),
              0);
    ASSERT_TRUE(w.put("after\r\n").ok());
    const std::string data = file(1);
    mg::EndOfDataScanner scanner;
    scanner.feed(data.data(), data.size());
    EXPECT_EQ(scanner.used_length(), 7u + 100u + 7u) << "the line after the gap is data";
    EXPECT_EQ(data.substr(0, 7), "first\r\n");
    EXPECT_EQ(data.substr(7, 98), std::string(98, ' '));
    EXPECT_EQ(data.substr(105, 9), "\r\nafter\r\n");
    EXPECT_TRUE(w.writer.close().ok());
    plat::NamedMutex::remove(name.c_str());
}
#endif

}  // namespace
