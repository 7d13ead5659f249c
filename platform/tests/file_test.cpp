// Files and directories as the writers use them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "plat/file.h"

namespace {

namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("plat-") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

TEST_F(FileTest, DispositionsAndAppend) {
    const std::string name = path("f.txt");
    plat::File file;
    EXPECT_EQ(
        plat::classify_error(file.open(name.c_str(), plat::Access::write,
                                       plat::Disposition::open_existing, plat::Share::read_write)
                                 .error),
        plat::ErrorKind::not_found);
    ASSERT_TRUE(file.open(name.c_str(), plat::Access::write, plat::Disposition::open_always,
                          plat::Share::read_write));
    std::size_t written = 0;
    ASSERT_TRUE(file.write("hello", 5, &written));
    EXPECT_EQ(written, 5u);
    ASSERT_TRUE(file.open(name.c_str(), plat::Access::write, plat::Disposition::open_always,
                          plat::Share::read_write));
    ASSERT_TRUE(file.seek_to_end());
    ASSERT_TRUE(file.write(" world", 6, nullptr));
    ASSERT_TRUE(file.flush());
    std::uint64_t size = 0;
    ASSERT_TRUE(file.size(&size));
    EXPECT_EQ(size, 11u);
    ASSERT_TRUE(file.open(name.c_str(), plat::Access::write, plat::Disposition::create_always,
                          plat::Share::read_write));
    ASSERT_TRUE(file.size(&size));
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(file.close());
    EXPECT_FALSE(file.flush());
    EXPECT_EQ(file.flush().error, plat::invalid_handle_error());
}

TEST_F(FileTest, ExclusiveOpenIsBusyForAnotherExclusiveOpenAndKeepsContent) {
    const std::string name = path("locked.txt");
    std::ofstream(name) << "keep";
    plat::File first;
    ASSERT_TRUE(first.open(name.c_str(), plat::Access::read, plat::Disposition::open_existing,
                           plat::Share::none));
    plat::File second;
    const plat::Status refused = second.open(name.c_str(), plat::Access::write,
                                             plat::Disposition::create_always, plat::Share::none);
    EXPECT_EQ(plat::classify_error(refused.error), plat::ErrorKind::busy);
    EXPECT_EQ(fs::file_size(name), 4u) << "a refused exclusive open must not empty the file";
}

TEST_F(FileTest, EnsureDirectoryMakesParentsAndReportsFilesInTheWay) {
    EXPECT_EQ(plat::ensure_parent_directory(path("a/b/c/file").c_str()).result,
              plat::DirectoryResult::ok);
    EXPECT_TRUE(fs::is_directory(dir_ / "a" / "b" / "c"));
    EXPECT_EQ(plat::ensure_directory(path("a/b//c/").c_str()).result, plat::DirectoryResult::ok);

    std::ofstream(path("blocker")) << "x";
    EXPECT_EQ(plat::ensure_parent_directory(path("blocker/sub/file").c_str()).result,
              plat::DirectoryResult::not_a_directory);
    EXPECT_EQ(plat::ensure_parent_directory("no-separator").result, plat::DirectoryResult::ok);
}

TEST_F(FileTest, QueryPathReportsKindSizeAndTime) {
    std::ofstream(path("sized")) << "12345";
    plat::PathInfo info;
    ASSERT_TRUE(plat::query_path(path("sized").c_str(), &info));
    EXPECT_FALSE(info.is_directory);
    EXPECT_EQ(info.size, 5u);
    const plat::FileTime now = plat::file_time_now();
    EXPECT_LE(info.last_write, now);
    EXPECT_GT(info.last_write, now - 600LL * 10000000LL);
    ASSERT_TRUE(plat::query_path(dir_.string().c_str(), &info));
    EXPECT_TRUE(info.is_directory);
}

}  // namespace
