// The reader against sets written by hand: how it finds a file's set, where it finds the end
// of the data, how it hands the data out, and what it says about input that is not a
// managed trace set.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "ktlorsym_reader.h"
#include "plat/file.h"
#include "reader_test_support.h"

namespace {

using reader_test::HandSet;
using reader_test::Reader;
namespace fs = std::filesystem;
namespace managed = ktlor::managed;

constexpr int kArgument = KTLORSYM_MPTT_E_ARGUMENT;
constexpr int kSeek = KTLORSYM_MPTT_E_SEEK;
constexpr int kState = KTLORSYM_MPTT_E_STATE;

// A set of three files of 4096 bytes.
class ReaderTest : public ::testing::Test {
  protected:
    reader_test::FullDir dir_;
    HandSet set_{dir_.path(), "trc"};
};

TEST_F(ReaderTest, TracePathsAndTheSetTheyBelongTo) {
    HandSet set(dir_.path(), "svc", 4096, 12);
    const struct {
        const char* name;
        std::string path;
        int open_management;
    } cases[] = {
        {"relative path", "svc1.log", KTLORSYM_MPTT_E_PATH},
        {"no number", dir_ / "svc.log", KTLORSYM_MPTT_E_PATH},
        {"other suffix", dir_ / "svc1.txt", KTLORSYM_MPTT_E_PATH},
        {"not a trace file at all", dir_ / "notes", KTLORSYM_MPTT_E_PATH},
        {"last digit 0, no second digit", dir_ / "svc0.log", KTLORSYM_MPTT_E_NOT_FOUND},
        {"no management file", dir_ / "other5.log", KTLORSYM_MPTT_E_NOT_FOUND},
        {"two digits above 64", dir_ / "svc65.log", KTLORSYM_MPTT_E_NOT_FOUND},
        {"one digit", dir_ / "svc3.log", 0},
        {"two digits", dir_ / "svc10.log", 0},
    };
    for (const auto& c : cases) {
        Reader reader(c.path);
        ASSERT_NE(reader.get(), nullptr) << c.name;
        EXPECT_EQ(KTLORSYM_MpttOpenManagementFile(reader), c.open_management) << c.name;
        EXPECT_EQ(reader.cause(), c.open_management) << c.name;
    }

    // No path, or one too long: no instance, and the cause process-wide.
    std::string too_long(2049, 'a');
    too_long[0] = '/';
    for (const char* path : {static_cast<const char*>(nullptr), too_long.c_str()}) {
        KTLORSYM_MpttClearError(nullptr);
        EXPECT_EQ(KTLORSYM_MpttCreateInstance(path), nullptr);
        EXPECT_EQ(KTLORSYM_MpttGetLastError(nullptr), kArgument);
    }
    too_long.resize(2043);  // with "1.log": 2048 characters
    EXPECT_NE(Reader(too_long + "1.log").get(), nullptr);
}

TEST_F(ReaderTest, TwoDigitFileBelongsToTheOneDigitSetFirst) {
    HandSet wide(dir_.path(), "svc", 4096, 12);  // its file 12 is svc12.log
    wide.switch_to(12);
    wide.append("line of file 12 of svc\r\n");
    HandSet narrow(dir_.path(), "svc1", 4096, 3);  // its file 2 is svc12.log too
    narrow.switch_to(2);
    narrow.append("file 2 of svc1\r\n");
    {
        Reader reader(narrow.file(2));
        ASSERT_EQ(reader.open_all(), 0);
        EXPECT_EQ(reader.read_available(), "file 2 of svc1\r\n");
    }
    fs::remove(narrow.management());
    Reader wide_reader(wide.file(12));
    ASSERT_EQ(wide_reader.open_all(), 0);
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(wide_reader), 24);
}

TEST_F(ReaderTest, LinesCharsAndBlocks) {
    set_.append("ABCDEFGHIJKL\r\n");
    set_.append("xy\r\n");
    Reader reader(set_.file(1));
    ASSERT_EQ(reader.open_all(), 0);
    ASSERT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 18);

    char line[32];
    EXPECT_EQ(KTLORSYM_MpttGetLine(reader, line, 10), 9u);
    EXPECT_STREQ(line, "ABCDEFGHI");
    EXPECT_EQ(KTLORSYM_MpttGetLine(reader, line, 10), 5u);
    EXPECT_STREQ(line, "JKL\r\n");
    EXPECT_EQ(KTLORSYM_MpttGetLine(reader, line, 0), 0u);
    line[0] = 'z';
    EXPECT_EQ(KTLORSYM_MpttGetLine(reader, line, 1), 0u);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(KTLORSYM_MpttGetLine(reader, nullptr, 10), 0u);
    EXPECT_EQ(reader.cause(), kArgument);
    EXPECT_EQ(KTLORSYM_MpttTell(reader), 14);

    EXPECT_EQ(KTLORSYM_MpttGetChar(reader), 'x');
    char rest[8];
    EXPECT_EQ(KTLORSYM_MpttRead(reader, rest, sizeof rest), 3u);  // to the data end only
    EXPECT_EQ(std::string(rest, 3), "y\r\n");
    EXPECT_EQ(KTLORSYM_MpttGetChar(reader), -1);
    EXPECT_EQ(KTLORSYM_MpttRead(reader, rest, sizeof rest), 0u);
    EXPECT_EQ(KTLORSYM_MpttGetLine(reader, line, sizeof line), 0u);

    set_.append("more\r\n");
    EXPECT_EQ(KTLORSYM_MpttGetLine(reader, line, sizeof line), 0u);  // not asked for yet
    EXPECT_EQ(reader.read_available(), "more\r\n");
}

TEST_F(ReaderTest, SeekTargetsAndOrigins) {
    set_.append("0123456789\r\n");
    Reader reader(set_.file(1));
    ASSERT_EQ(reader.open_all(), 0);
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const struct {
        std::int64_t from, offset;
        int origin, cause;
        std::int64_t position;  // after the call
    } cases[] = {
        {0, 4096, 0, 0, 4096},  {0, 4097, 0, kSeek, 0},  {5, -1, 0, kSeek, 5},
        {5, 3, 1, 0, 8},        {5, -5, 1, 0, 0},        {5, -6, 1, kSeek, 5},
        {5, kMax, 1, kSeek, 5}, {5, 4092, 1, kSeek, 5},  {5, 0, 2, 0, 4096},
        {5, 1, 2, kSeek, 5},    {5, -4096, 2, 0, 0},     {5, -4097, 2, kSeek, 5},
        {5, kMin, 2, kSeek, 5}, {5, 0, 3, kArgument, 5},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(KTLORSYM_MpttSeek(reader, c.from, 0), 0);
        EXPECT_EQ(KTLORSYM_MpttSeek(reader, c.offset, c.origin), c.cause)
            << c.offset << " from " << c.origin;
        EXPECT_EQ(KTLORSYM_MpttTell(reader), c.position) << c.offset << " from " << c.origin;
    }
    // Beyond the data end reading gives nothing; back inside it gives the data.
    ASSERT_EQ(KTLORSYM_MpttSeek(reader, 0, 2), 0);
    char byte;
    ASSERT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 12);
    EXPECT_EQ(KTLORSYM_MpttRead(reader, &byte, 1), 0u);
    ASSERT_EQ(KTLORSYM_MpttSeek(reader, -12, 2), 0);
    EXPECT_EQ(KTLORSYM_MpttTell(reader), 4084);
    ASSERT_EQ(KTLORSYM_MpttSeek(reader, 10, 0), 0);
    EXPECT_EQ(KTLORSYM_MpttGetChar(reader), '\r');
}

TEST_F(ReaderTest, FileAboveSixteenMebibytesIsReadToThatSize) {
    constexpr std::uint64_t kLimit = 16777216;
    fs::resize_file(set_.file(1), kLimit + 4096);  // sparse: nothing on disk
    reader_test::write_at(set_.file(1), kLimit - 3, "abcdef", 6);
    set_.record().file_size = static_cast<std::uint32_t>(kLimit);
    set_.record().offset = static_cast<std::uint32_t>(kLimit + 100);
    set_.store_record();

    Reader reader(set_.file(1));
    ASSERT_EQ(reader.open_all(), 0);
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), static_cast<std::int64_t>(kLimit + 100));
    ASSERT_EQ(KTLORSYM_MpttSeek(reader, 0, 2), 0);
    EXPECT_EQ(KTLORSYM_MpttTell(reader), static_cast<std::int64_t>(kLimit));
    ASSERT_EQ(KTLORSYM_MpttSeek(reader, -3, 2), 0);
    char bytes[8];
    ASSERT_EQ(KTLORSYM_MpttRead(reader, bytes, sizeof bytes), 3u);
    EXPECT_EQ(std::string(bytes, 3), "abc");
}

TEST_F(ReaderTest, DataEndFollowsSwitchesAndFilesBegunAgain) {
    HandSet set(dir_.path(), "two", 4096, 2);
    set.append("one\r\n");
    set.append("two\r\n");
    Reader first(set.file(1));
    ASSERT_EQ(first.open_all(), 0);
    EXPECT_EQ(first.read_available(), "one\r\ntwo\r\n");

    // A line, then the switch: the reader of file 1 finds the line by its own bytes.
    set.append("three\r\n");
    set.switch_to(2);
    set.append("four\r\n");
    EXPECT_EQ(first.read_available(), "three\r\n");
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(first), 17);
    Reader second(set.file(2));
    ASSERT_EQ(second.open_all(), 0);
    EXPECT_EQ(second.read_available(), "four\r\n");

    // The writers come back to file 1 and begin it again: its data end falls back.
    set.switch_to(1);
    set.append("five\r\n");
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(first), 6);
    ASSERT_EQ(KTLORSYM_MpttSeek(first, 0, 0), 0);
    EXPECT_EQ(first.read_available(), "five\r\n");

    // In a file no longer current the data ends at the mark, wherever it stands.
    const std::string mark = reader_test::tail_bytes();
    set.switch_to(2);
    const std::pair<std::string, std::int64_t> ends[] = {
        {mark, 0},
        {"a\r\nbc\r\n" + mark + "older line behind the mark\r\n", 7},
        {"a\r\n\xFF\xFE\x1A", 5},  // an order mark after a line end
        {"a\r\nb", 4096},          // no mark at all: to the mapped size
    };
    for (auto [content, end] : ends) {
        content.resize(4096, ' ');
        reader_test::write_at(set.file(1), 0, content.data(), content.size());
        Reader reader(set.file(1));
        ASSERT_EQ(reader.open_all(), 0) << end;
        EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), end);
    }
}

// The record's byte order and validity, field by field.
TEST_F(ReaderTest, ByteOrdersAndInvalidRecords) {
    const managed::ManagementRecord good = reader_test::record_of(4096, 3, 1, 77);
    auto with = [&](auto change) {
        managed::ManagementRecord r = good;
        change(r);
        return r;
    };
    auto swapped = [](managed::ManagementRecord r) {
        for (std::uint32_t* f :
             {&r.mark, &r.file_size, &r.file_count, &r.offset, &r.current, &r.flags, &r.version}) {
            *f = __builtin_bswap32(*f);
        }
        return r;
    };
    const struct {
        const char* name;
        managed::ManagementRecord record;
        std::int64_t offset;  // -1: cause 29
    } cases[] = {
        {"this byte order", good, 77},
        {"other byte order", swapped(good), 77},
        {"no mark", with([](auto& r) { r.mark = 0; }), 77},
        {"no mark, other byte order, no version: file lock",
         swapped(with([](auto& r) { r.mark = r.version = 0; })), 77},
        {"version 1: file lock", with([](auto& r) { r.version = 1; }), 77},
        {"unknown mark", with([](auto& r) { r.mark = 0x12345678; }), -1},
        {"wrong magic", with([](auto& r) { r.magic[3] = 'X'; }), -1},
        {"size below 4096", with([](auto& r) { r.file_size = 4095; }), -1},
        {"size above 16 MiB", with([](auto& r) { r.file_size = 16777217; }), -1},
        {"no files", with([](auto& r) { r.file_count = 0; }), -1},
        {"65 files", with([](auto& r) { r.file_count = 65; }), -1},
        {"current 0", with([](auto& r) { r.current = 0; }), -1},
        {"current above the count", with([](auto& r) { r.current = 4; }), -1},
        {"unknown version", with([](auto& r) { r.version = 3; }), -1},
    };
    for (const auto& c : cases) {
        set_.store_raw(&c.record, sizeof c.record);
        Reader reader(set_.file(1));
        ASSERT_EQ(reader.open_all(), 0) << c.name;
        EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), c.offset) << c.name;
        EXPECT_EQ(reader.cause(), c.offset < 0 ? KTLORSYM_MPTT_E_RECORD : 0) << c.name;
    }
}

TEST_F(ReaderTest, DamagedSetsGiveCausesNotCrashes) {
    set_.append("line\r\n");
    // A management file shorter than its record cannot be mapped.
    for (const std::size_t size : {0, 10, 63}) {
        const std::string bytes(size, 'Z');
        set_.store_raw(bytes.data(), bytes.size());
        Reader reader(set_.file(1));
        EXPECT_EQ(KTLORSYM_MpttOpenManagementFile(reader), KTLORSYM_MPTT_E_MAPPING) << size;
        EXPECT_EQ(KTLORSYM_MpttOpen(reader), kState) << size;
    }
    // A trace file shorter than the stored size and offset: read to its end, no further.
    set_.record().offset = 3000;
    set_.store_record();
    fs::resize_file(set_.file(1), 1000);
    {
        Reader reader(set_.file(1));
        ASSERT_EQ(reader.open_all(), 0);
        EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 3000);
        EXPECT_EQ(reader.read_available().size(), 1000u);
        EXPECT_EQ(KTLORSYM_MpttSeek(reader, 1001, 0), kSeek);
    }
    // An empty trace file has nothing to map; a missing one is not found. The management
    // file opens all the same.
    fs::resize_file(set_.file(1), 0);
    fs::remove(set_.file(2));
    for (const auto& [file, cause] : {std::pair{set_.file(1), KTLORSYM_MPTT_E_MAPPING},
                                      std::pair{set_.file(2), KTLORSYM_MPTT_E_NOT_FOUND}}) {
        Reader reader(file);
        EXPECT_EQ(KTLORSYM_MpttOpenManagementFile(reader), 0) << file;
        EXPECT_EQ(KTLORSYM_MpttOpen(reader), cause) << file;
        EXPECT_EQ(KTLORSYM_MpttGetChar(reader), -1);
        EXPECT_EQ(reader.cause(), kState);
    }
}

// Files shortened while mapped: the access that finds them so fails, the process goes on.
TEST_F(ReaderTest, FilesShortenedUnderTheReader) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows refuses to shorten a mapped file";
#endif
    HandSet set(dir_.path(), "big", 8192, 2);
    for (int n = 0; n < 50; ++n) {
        set.append(std::string(99, 'x') + "\n");  // 5000 bytes: into the second page
    }
    Reader reader(set.file(1));
    ASSERT_EQ(reader.open_all(), 0);
    ASSERT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 5000);

    fs::resize_file(set.file(1), 100);
    ASSERT_EQ(KTLORSYM_MpttSeek(reader, 4500, 0), 0);
    char buffer[64];
    EXPECT_EQ(KTLORSYM_MpttRead(reader, buffer, sizeof buffer), 0u);
    EXPECT_EQ(reader.cause(), KTLORSYM_MPTT_E_VIEW);
    EXPECT_EQ(KTLORSYM_MpttGetLine(reader, buffer, sizeof buffer), 0u);
    EXPECT_EQ(KTLORSYM_MpttGetChar(reader), -1);
    // What is left of the file is mapped again.
    ASSERT_EQ(KTLORSYM_MpttSeek(reader, 0, 0), 0);
    EXPECT_EQ(reader.read_available().size(), 100u);

    fs::resize_file(set.management(), 0);
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), -1);
    EXPECT_EQ(reader.cause(), KTLORSYM_MPTT_E_RECORD);
    set.store_record();
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 5000);
}

TEST_F(ReaderTest, CallsOutOfOrder) {
    Reader reader(set_.file(1));
    char buffer[4];
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), -1);
    EXPECT_EQ(reader.cause(), kState);
    EXPECT_EQ(KTLORSYM_MpttOpen(reader), kState);
    EXPECT_EQ(KTLORSYM_MpttCloseManagementFile(reader), kState);
    EXPECT_EQ(KTLORSYM_MpttRead(reader, buffer, sizeof buffer), 0u);
    EXPECT_EQ(KTLORSYM_MpttTell(reader), -1);
    EXPECT_EQ(KTLORSYM_MpttClose(reader), kState);
    ASSERT_EQ(KTLORSYM_MpttOpenManagementFile(reader), 0);
    EXPECT_EQ(KTLORSYM_MpttOpenManagementFile(reader), kState);
    ASSERT_EQ(KTLORSYM_MpttOpen(reader), 0);
    EXPECT_EQ(KTLORSYM_MpttOpen(reader), kState);
    EXPECT_EQ(KTLORSYM_MpttCloseManagementFile(reader), kState);
    EXPECT_EQ(KTLORSYM_MpttClose(reader), 0);
    EXPECT_EQ(KTLORSYM_MpttCloseManagementFile(reader), 0);
    EXPECT_EQ(KTLORSYM_MpttCloseManagementFile(reader), kState);
    // Again from the start; cleared; then another deleted with everything open.
    ASSERT_EQ(reader.open_all(), 0);
    KTLORSYM_MpttClearError(reader);
    EXPECT_EQ(reader.cause(), 0);
    MpttInstance* open = KTLORSYM_MpttCreateInstance(set_.file(1).c_str());
    ASSERT_EQ(KTLORSYM_MpttOpenManagementFile(open), 0);
    ASSERT_EQ(KTLORSYM_MpttOpen(open), 0);
    EXPECT_EQ(KTLORSYM_MpttDeleteInstance(open), 0);
    EXPECT_EQ(KTLORSYM_MpttDeleteInstance(nullptr), 0);

    // Without an instance: cause 1 process-wide.
    for (auto call : {+[] { return KTLORSYM_MpttOpen(nullptr); },
                      +[] { return KTLORSYM_MpttGetLockBlockTime(nullptr); },
                      +[] { return KTLORSYM_MpttSeek(nullptr, 0, 0); }}) {
        KTLORSYM_MpttClearError(nullptr);
        call();
        EXPECT_EQ(KTLORSYM_MpttGetLastError(nullptr), kArgument);
    }
}

TEST_F(ReaderTest, LockSettingsAndOlderRecordsLockingTheManagementFile) {
    set_.append("line\r\n");
    Reader reader(set_.file(1));
    EXPECT_EQ(KTLORSYM_MpttGetLockBlockTime(reader), 10);
    EXPECT_EQ(KTLORSYM_MpttGetLockSleepTime(reader), 1);
    const struct {
        int (*set)(MpttInstance*, int);
        int (*get)(MpttInstance*);
        int value, result, after;
    } cases[] = {
        {KTLORSYM_MpttSetLockRetryTimes, KTLORSYM_MpttGetLockRetryTimes, 0, -1, 20},
        {KTLORSYM_MpttSetLockRetryTimes, KTLORSYM_MpttGetLockRetryTimes, 3, 20, 3},
        {KTLORSYM_MpttSetLockBlockTime, KTLORSYM_MpttGetLockBlockTime, -1, -1, 10},
        {KTLORSYM_MpttSetLockBlockTime, KTLORSYM_MpttGetLockBlockTime, 0, 10, 0},
        {KTLORSYM_MpttSetLockSleepTime, KTLORSYM_MpttGetLockSleepTime, -5, -1, 1},
        {KTLORSYM_MpttSetLockSleepTime, KTLORSYM_MpttGetLockSleepTime, 7, 1, 7},
    };
    for (const auto& c : cases) {
        KTLORSYM_MpttClearError(reader);
        EXPECT_EQ(c.set(reader, c.value), c.result) << c.value;
        EXPECT_EQ(c.get(reader), c.after) << c.value;
        EXPECT_EQ(reader.cause(), c.result < 0 ? kArgument : 0);
    }

    // The older kind of record locks the management file, tried 3 times as set above.
    ASSERT_EQ(reader.open_all(), 0);
    set_.record().version = 1;
    set_.store_record();
    plat::File other;
    ASSERT_TRUE(other.open(set_.management().c_str(), plat::Access::read_write,
                           plat::Disposition::open_existing, plat::Share::read_write));
    ASSERT_TRUE(other.try_lock_whole());
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), -1);
    EXPECT_EQ(reader.cause(), KTLORSYM_MPTT_E_LOCK);
    ASSERT_TRUE(other.unlock_whole());
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 6);
    EXPECT_TRUE(other.try_lock_whole()) << "and leaves it unlocked";
}

}  // namespace
