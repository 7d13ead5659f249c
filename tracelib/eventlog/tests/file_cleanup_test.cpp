// Deleting the files that match a pattern: all but the newest, or those old enough.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <set>
#include <string>

#include "ktlorsym_syslog.h"
#include "plat/error.h"
#include "plat/file.h"
#include "plat/file_search.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

using Names = std::set<std::string>;

class FileCleanupTest : public ::testing::Test {
  protected:
    // A file last written seconds ago (negative: in the future).
    void file(const std::string& name, int seconds) {
        plat_test::write_text(dir_.path() / name, name);
        fs::last_write_time(dir_.path() / name,
                            std::chrono::file_clock::now() - std::chrono::seconds(seconds));
    }
    Names left() const {
        Names names;
        for (const auto& entry : fs::directory_iterator(dir_.path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    // Five matching files, newest first svc1 .. svc5; a matching directory; a bystander.
    void five_files() {
        for (int i = 1; i <= 5; ++i) {
            file("svc" + std::to_string(i) + ".log", 100 * i);
        }
        fs::create_directory(dir_.path() / "svc-dir.log");
        file("other.txt", 10000);
    }

    plat_test::ScratchDir dir_;
    const std::string pattern_text_ = dir_ / "svc*.log";
    const char* const pattern_ = pattern_text_.c_str();
};

TEST_F(FileCleanupTest, ByNumberKeepsTheNewestByTimeTheYoungerNeitherDirectories) {
    five_files();
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern_, 10), 0);
    EXPECT_EQ(left().size(), 7u);
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern_, 2), 0);
    EXPECT_EQ(left(), (Names{"svc1.log", "svc2.log", "svc-dir.log", "other.txt"}));
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern_, -3), 0);
    EXPECT_EQ(left(), (Names{"svc-dir.log", "other.txt"}));

    five_files();
    file("svc-future.log", -1000);
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(pattern_, -1), 0);
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(pattern_, INT_MAX), 0);  // before 1970
    EXPECT_EQ(left().size(), 8u);
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(pattern_, 250), 0);
    EXPECT_EQ(left(),
              (Names{"svc1.log", "svc2.log", "svc-future.log", "svc-dir.log", "other.txt"}));

    // A pattern without a directory works in the current one.
    const fs::path before = fs::current_path();
    fs::current_path(dir_.path());
    EXPECT_EQ(KTLORSYM_FileCleanupByNum("svc*.log", 2), 0);
    EXPECT_EQ(left(), (Names{"svc1.log", "svc-future.log", "svc-dir.log", "other.txt"}));
    EXPECT_EQ(KTLORSYM_FileCleanupByTime("svc*.log", 0), 0);
    fs::current_path(before);
    EXPECT_EQ(left(), (Names{"svc-future.log", "svc-dir.log", "other.txt"}));
}

TEST_F(FileCleanupTest, ByNumberPutsTheLaterFoundFirstAmongEqualTimes) {
    file("svcA.log", 50);
    file("svcB.log", 50);
    fs::last_write_time(dir_.path() / "svcB.log", fs::last_write_time(dir_.path() / "svcA.log"));
    std::string found_last;
    plat::FileSearch search;
    plat::FoundFile found;
    for (plat::Status s = search.first(pattern_, &found); s.ok(); s = search.next(&found)) {
        found_last = found.name;
    }
    search.close();
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern_, 1), 0);
    EXPECT_EQ(left(), Names{found_last});
}

// A file this process holds open, such as a trace writer's current file, is never deleted
// (Windows refuses to delete it): the clean-up reports it and goes on with the others.
TEST_F(FileCleanupTest, AFileHeldOpenIsKeptAndReported) {
    const auto busy = [](int error) {
        return plat::classify_error(static_cast<plat::ErrorCode>(error)) == plat::ErrorKind::busy;
    };
    plat::File held;
    ASSERT_TRUE(held.open((dir_ / "svc-held.log").c_str(), plat::Access::write,
                          plat::Disposition::create_always, plat::Share::read_write)
                    .ok());
    fs::last_write_time(dir_.path() / "svc-held.log",
                        std::chrono::file_clock::now() - std::chrono::seconds(5000));
    for (const auto clean : {KTLORSYM_FileCleanupByNum, KTLORSYM_FileCleanupByTime}) {
        five_files();
        EXPECT_TRUE(busy(clean(pattern_, 0)));
        EXPECT_EQ(left(), (Names{"svc-held.log", "svc-dir.log", "other.txt"}));
    }
    held.close();
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern_, 0), 0);
    EXPECT_EQ(left(), (Names{"svc-dir.log", "other.txt"}));
}

bool not_found(int error) {
    return plat::classify_error(static_cast<plat::ErrorCode>(error)) == plat::ErrorKind::not_found;
}

TEST_F(FileCleanupTest, ErrorsAreTheSystemsAndDoNotStopTheWalk) {
    EXPECT_TRUE(not_found(KTLORSYM_FileCleanupByNum(pattern_, 0)));
    EXPECT_TRUE(not_found(KTLORSYM_FileCleanupByTime(pattern_, 0)));
    EXPECT_TRUE(not_found(KTLORSYM_FileCleanupByNum((dir_ / "missing/*.log").c_str(), 0)));
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(nullptr, 0), 87);
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(nullptr, 0), 87);

    const int too_long = static_cast<int>(plat::path_too_long_error());
    // Pattern and paths beyond 259 bytes are refused, never cut to another file's name.
    EXPECT_EQ(KTLORSYM_FileCleanupByNum((pattern_text_ + std::string(260, '*')).c_str(), 0),
              too_long);
    const std::size_t room = 259 - (dir_.path().string().size() + 1);
    ASSERT_GT(room, 20u);
    const std::string long_name = "svc" + std::string(room, 'n') + ".log";
    file(long_name, 100);
    for (const auto clean : {KTLORSYM_FileCleanupByNum, KTLORSYM_FileCleanupByTime}) {
        file("svc-short.log", 100);
        EXPECT_EQ(clean(pattern_, 0), too_long);
        EXPECT_EQ(left(), Names{long_name});
    }
}

}  // namespace
