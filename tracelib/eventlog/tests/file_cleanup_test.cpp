#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <set>
#include <string>

#include "ktlorsym_syslog.h"
#include "plat/error.h"
#include "plat/file_search.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class FileCleanupTest : public ::testing::Test {
  protected:
    // A file last written age ago (negative: in the future).
    void file(const std::string& name, std::chrono::seconds age) {
        plat_test::write_text(dir_.path() / name, name);
        fs::last_write_time(dir_.path() / name,
                            std::chrono::file_clock::now() - std::chrono::seconds(age));
    }
    std::set<std::string> left() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_.path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    std::string pattern(const std::string& name = "svc*.log") const { return dir_ / name; }

    // Five matching files, newest first svc1 .. svc5; a matching directory; a bystander.
    void five_files() {
        for (int i = 1; i <= 5; ++i) {
            file("svc" + std::to_string(i) + ".log", std::chrono::seconds(100 * i));
        }
        fs::create_directory(dir_.path() / "svc-dir.log");
        file("other.txt", std::chrono::seconds(10000));
    }

    plat_test::ScratchDir dir_;
};

using Names = std::set<std::string>;

TEST_F(FileCleanupTest, ByNumberKeepsTheNewest) {
    five_files();
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern().c_str(), 10), 0);
    EXPECT_EQ(left().size(), 7u);
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern().c_str(), 2), 0);
    EXPECT_EQ(left(), (Names{"svc1.log", "svc2.log", "svc-dir.log", "other.txt"}));
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern().c_str(), -3), 0);
    EXPECT_EQ(left(), (Names{"svc-dir.log", "other.txt"}));
}

TEST_F(FileCleanupTest, ByNumberPutsTheLaterFoundFirstAmongEqualTimes) {
    file("svcA.log", std::chrono::seconds(50));
    file("svcB.log", std::chrono::seconds(50));
    fs::last_write_time(dir_.path() / "svcB.log", fs::last_write_time(dir_.path() / "svcA.log"));
    std::string found_last;
    plat::FileSearch search;
    plat::FoundFile found;
    for (plat::Status s = search.first(pattern().c_str(), &found); s.ok();
         s = search.next(&found)) {
        found_last = found.name;
    }
    search.close();
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern().c_str(), 1), 0);
    EXPECT_EQ(left(), Names{found_last});
}

TEST_F(FileCleanupTest, ByTimeDeletesWhatIsOldEnough) {
    five_files();
    file("svc-future.log", std::chrono::seconds(-1000));
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(pattern().c_str(), -1), 0);
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(pattern().c_str(), INT_MAX), 0);  // before 1970
    EXPECT_EQ(left().size(), 8u);
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(pattern().c_str(), 250), 0);
    EXPECT_EQ(left(),
              (Names{"svc1.log", "svc2.log", "svc-future.log", "svc-dir.log", "other.txt"}));
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(pattern().c_str(), 0), 0);
    EXPECT_EQ(left(), (Names{"svc-future.log", "svc-dir.log", "other.txt"}));
}

TEST_F(FileCleanupTest, PatternWithoutDirectoryWorksInTheCurrentDirectory) {
    five_files();
    const fs::path before = fs::current_path();
    fs::current_path(dir_.path());
    EXPECT_EQ(KTLORSYM_FileCleanupByNum("svc*.log", 4), 0);
    EXPECT_EQ(KTLORSYM_FileCleanupByTime("svc*.log", 150), 0);
    fs::current_path(before);
    EXPECT_EQ(left(), (Names{"svc1.log", "svc-dir.log", "other.txt"}));
}

bool not_found(int error) {
    return plat::classify_error(static_cast<plat::ErrorCode>(error)) == plat::ErrorKind::not_found;
}

TEST_F(FileCleanupTest, ErrorsAreTheSystemsAndDoNotStopTheWalk) {
    EXPECT_TRUE(not_found(KTLORSYM_FileCleanupByNum(pattern().c_str(), 0)));
    EXPECT_TRUE(not_found(KTLORSYM_FileCleanupByTime(pattern().c_str(), 0)));
    EXPECT_TRUE(not_found(KTLORSYM_FileCleanupByNum((dir_ / "missing/*.log").c_str(), 0)));
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(nullptr, 0), 87);
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(nullptr, 0), 87);

    const int too_long = static_cast<int>(plat::path_too_long_error());
    // Pattern and paths beyond 259 bytes are refused, never cut to another file's name.
    const std::string long_pattern = pattern() + std::string(260, '*');
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(long_pattern.c_str(), 0), too_long);
    const std::size_t room = 259 - (dir_.path().string().size() + 1);
    ASSERT_GT(room, 20u);
    const std::string long_name = "svc" + std::string(room, 'n') + ".log";
    file(long_name, std::chrono::seconds(100));
    file("svc-short.log", std::chrono::seconds(100));
    EXPECT_EQ(KTLORSYM_FileCleanupByNum(pattern().c_str(), 0), too_long);
    EXPECT_EQ(left(), Names{long_name});

    file("svc-short.log", std::chrono::seconds(100));
    EXPECT_EQ(KTLORSYM_FileCleanupByTime(pattern().c_str(), 0), too_long);
    EXPECT_EQ(left(), Names{long_name});
}

}  // namespace
