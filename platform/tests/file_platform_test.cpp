// File behaviour the writers depend on that differs in how each platform provides it:
// sharing, error kinds and path separators.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "plat/file.h"

namespace {

namespace fs = std::filesystem;

class FilePlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("plat-os-") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

TEST_F(FilePlatformTest, AFileBeingWrittenCanBeReadThroughASharedOpen) {
    const std::string name = path("growing.log");
    plat::File writer;
    ASSERT_TRUE(writer.open(name.c_str(), plat::Access::write, plat::Disposition::open_always,
                            plat::Share::read_write));
    ASSERT_TRUE(writer.write("first", 5, nullptr));

    plat::File reader;
    ASSERT_TRUE(reader.open(name.c_str(), plat::Access::read, plat::Disposition::open_existing,
                            plat::Share::read_write));
    char buffer[16] = {};
    std::size_t got = 0;
    ASSERT_TRUE(reader.read(buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "first");
    ASSERT_TRUE(writer.write("second", 6, nullptr));
    ASSERT_TRUE(reader.read(buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "second");
    ASSERT_TRUE(reader.read(buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u) << "end of file";
}

TEST_F(FilePlatformTest, MissingFilesAndMissingDirectoriesAreNotFound) {
    plat::PathInfo info;
    EXPECT_EQ(plat::classify_error(plat::query_path(path("none").c_str(), &info).error),
              plat::ErrorKind::not_found);
    EXPECT_EQ(plat::classify_error(plat::query_path(path("none/deeper").c_str(), &info).error),
              plat::ErrorKind::not_found);
    plat::File file;
    EXPECT_EQ(
        plat::classify_error(file.open(path("none/f").c_str(), plat::Access::write,
                                       plat::Disposition::open_always, plat::Share::read_write)
                                 .error),
        plat::ErrorKind::not_found);
    EXPECT_EQ(plat::classify_error(plat::remove_file(path("none").c_str()).error),
              plat::ErrorKind::not_found);
}

TEST_F(FilePlatformTest, BackslashSeparatesDirectoriesOnlyOnWindows) {
    const std::string nested = dir_.string() + "/one\\two";
    ASSERT_EQ(plat::ensure_directory(nested.c_str()).result, plat::DirectoryResult::ok);
#if defined(_WIN32)
    EXPECT_TRUE(fs::is_directory(dir_ / "one" / "two"));
    const std::string mixed = dir_.string() + "\\three/four\\file";
    ASSERT_EQ(plat::ensure_parent_directory(mixed.c_str()).result, plat::DirectoryResult::ok);
    EXPECT_TRUE(fs::is_directory(dir_ / "three" / "four"));
    EXPECT_FALSE(fs::exists(dir_ / "three" / "four" / "file"));
#else
    EXPECT_TRUE(fs::is_directory(dir_ / "one\\two")) << "one name with backslashes in it";
    EXPECT_FALSE(fs::exists(dir_ / "one"));
#endif
}

TEST_F(FilePlatformTest, ADriveRootIsNeverCreated) {
#if defined(_WIN32)
    const std::string drive = dir_.root_name().string();  // "C:" or "Z:"
    ASSERT_EQ(drive.size(), 2u);
    EXPECT_EQ(plat::ensure_directory(drive.c_str()).result, plat::DirectoryResult::ok);
    EXPECT_EQ(plat::ensure_parent_directory((drive + "\\file").c_str()).result,
              plat::DirectoryResult::ok);
    const std::string made = drive + "\\" + dir_.relative_path().string() + "\\sub\\f";
    EXPECT_EQ(plat::ensure_parent_directory(made.c_str()).result, plat::DirectoryResult::ok);
    EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
#else
    GTEST_SKIP() << "drive letters exist only on Windows";
#endif
}

}  // namespace
