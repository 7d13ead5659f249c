// Files, directories and searches as the writers use them, and what differs in how each
// platform provides it: sharing, error kinds and path separators.
#include <gtest/gtest.h>
#ifndef _WIN32
#include "child_process.h"
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "plat/error.h"
#include "plat/file.h"
#include "plat/file_search.h"
#include "plat/mapping.h"
#include "plat/process.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using plat::Access;
using plat::Disposition;
using plat::Share;

// In the system's temporary directory, which has a drive on Windows.
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
    plat::Status open(plat::File& file, const std::string& name, Access access,
                      Disposition disposition, Share share = Share::read_write) {
        return file.open(path(name).c_str(), access, disposition, share);
    }

    fs::path dir_;
};

TEST_F(FileTest, OpensByDispositionAndShareModeAndReportsErrorKinds) {
    plat::File file;
    ASSERT_TRUE(open(file, "f.txt", Access::write, Disposition::open_always));
    std::size_t written = 0;
    ASSERT_TRUE(file.write("hello", 5, &written));
    EXPECT_EQ(written, 5u);
    ASSERT_TRUE(open(file, "f.txt", Access::write, Disposition::open_always));
    ASSERT_TRUE(file.seek_to_end());
    ASSERT_TRUE(file.write(" world", 6, nullptr));
    ASSERT_TRUE(file.flush());
    // A shared open reads what the writer adds while it goes on writing.
    plat::File reader;
    ASSERT_TRUE(open(reader, "f.txt", Access::read, Disposition::open_existing));
    char buffer[16] = {};
    std::size_t got = 0;
    ASSERT_TRUE(reader.read(buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "hello world");
    ASSERT_TRUE(file.write("!", 1, nullptr));
    ASSERT_TRUE(reader.read(buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "!");
    ASSERT_TRUE(reader.read(buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u) << "end of file";
    reader.close();

    ASSERT_TRUE(open(file, "f.txt", Access::write, Disposition::create_always));
    std::uint64_t size = 1;
    ASSERT_TRUE(file.size(&size));
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(file.close());
    EXPECT_EQ(file.flush().error, plat::invalid_handle_error());

    plat::PathInfo info;
    const plat::ErrorCode missing[] = {
        open(file, "none", Access::write, Disposition::open_existing).error,
        open(file, "none/f", Access::write, Disposition::open_always).error,
        plat::query_path(path("none").c_str(), &info).error,
        plat::query_path(path("none/deeper").c_str(), &info).error,
        plat::remove_file(path("none").c_str()).error,
    };
    for (const plat::ErrorCode error : missing) {
        EXPECT_EQ(plat::classify_error(error), plat::ErrorKind::not_found) << error;
    }

    std::ofstream(path("locked.txt")) << "keep";
    ASSERT_TRUE(open(file, "locked.txt", Access::read, Disposition::open_existing, Share::none));
    plat::File second;
    const plat::Status refused =
        open(second, "locked.txt", Access::write, Disposition::create_always, Share::none);
    EXPECT_EQ(plat::classify_error(refused.error), plat::ErrorKind::busy);
    EXPECT_EQ(fs::file_size(path("locked.txt")), 4u)
        << "a refused exclusive open must not empty the file";
}

#ifndef _WIN32
// Windows refuses to delete or replace a file held open without delete sharing.
TEST_F(FileTest, TellsWhetherTheOpenFileHasLostItsLastName) {
    plat::File file;
    EXPECT_FALSE(file.unlinked()) << "no file open";
    struct Case {
        const char* what;
        void (*change)(const fs::path& file);
        bool unlinked;
    };
    const Case cases[] = {
        {"untouched", [](const fs::path&) {}, false},
        {"deleted", [](const fs::path& f) { fs::remove(f); }, true},
        {"replaced by a rename",
         [](const fs::path& f) {
             std::ofstream(f.string() + ".new") << "new";
             fs::rename(f.string() + ".new", f);
         },
         true},
        {"deleted with a second name left",
         [](const fs::path& f) {
             fs::create_hard_link(f, f.string() + ".second");
             fs::remove(f);
         },
         false},
    };
    for (const Case& c : cases) {
        const std::string name = std::string(c.what) + ".txt";
        ASSERT_TRUE(open(file, name, Access::write, Disposition::create_always)) << c.what;
        ASSERT_TRUE(file.write("line\n", 5, nullptr));
        c.change(dir_ / name);
        EXPECT_EQ(file.unlinked(), c.unlinked) << c.what;
        ASSERT_TRUE(file.close());
        EXPECT_FALSE(file.unlinked()) << c.what << ", once closed";
    }
}
#endif

TEST_F(FileTest, DirectoriesAreMadeWithParentsAndQueried) {
    const auto made = [](const std::string& path, bool parent = false) {
        return (parent ? plat::ensure_parent_directory : plat::ensure_directory)(path.c_str())
            .result;
    };
    constexpr plat::DirectoryResult kOk = plat::DirectoryResult::ok;
    EXPECT_EQ(made(path("a/b/c/file"), true), kOk);
    EXPECT_TRUE(fs::is_directory(dir_ / "a" / "b" / "c"));
    EXPECT_EQ(made(path("a/b//c/")), kOk);
    std::ofstream(path("blocker")) << "12345";
    EXPECT_EQ(made(path("blocker/sub/file"), true), plat::DirectoryResult::not_a_directory);
    EXPECT_EQ(made("no-separator", true), kOk);

    plat::PathInfo info;
    ASSERT_TRUE(plat::query_path(path("blocker").c_str(), &info));
    EXPECT_FALSE(info.is_directory);
    EXPECT_EQ(info.size, 5u);
    const plat::FileTime now = plat::file_time_now();
    EXPECT_LE(info.last_write, now);
    EXPECT_GT(info.last_write, now - 600LL * 10000000LL);
    ASSERT_TRUE(plat::query_path(path("a").c_str(), &info));
    EXPECT_TRUE(info.is_directory);
    // A backslash separates directories only on Windows, and a drive root is never created.
    ASSERT_EQ(made(path("one\\two")), kOk);
#if defined(_WIN32)
    EXPECT_TRUE(fs::is_directory(dir_ / "one" / "two"));
    ASSERT_EQ(made(dir_.string() + "\\three/four\\file", true), kOk);
    EXPECT_TRUE(fs::is_directory(dir_ / "three" / "four"));
    EXPECT_FALSE(fs::exists(dir_ / "three" / "four" / "file"));
    const std::string drive = dir_.root_name().string();  // "C:" or "Z:"
    ASSERT_EQ(drive.size(), 2u);
    EXPECT_EQ(made(drive), kOk);
    EXPECT_EQ(made(drive + "\\file", true), kOk);
    EXPECT_EQ(made(drive + "\\" + dir_.relative_path().string() + "\\sub\\f", true), kOk);
    EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
#else
    EXPECT_TRUE(fs::is_directory(dir_ / "one\\two")) << "one name with backslashes in it";
    EXPECT_FALSE(fs::exists(dir_ / "one"));
#endif
}

TEST_F(FileTest, SearchMatchesLikeTheShellWithKindAndTimeThenReportsTheEnd) {
    // Pattern and name, in pairs: those that match, then those that do not. '?' takes a whole
    // UTF-8 character.
    const char* const matching[] = {
        "*.log", "svc1.log",   "*.log", ".log", "svc?.log", "svc\xC3\xA9.log",
        "a*b*c", "axxbyybzzc", "*",     "",     "**x",      "abx",
        "svc*",  "svc"};
    const char* const differing[] = {"*.log",     "svc1.log.bak", "svc?.log", "svc12.log", "a*b*c",
                                     "axxbyybzz", "SVC*",         "svc1",     "?",         "",
                                     "*a",        "aaab"};
    for (std::size_t i = 0; i < std::size(matching); i += 2) {
        EXPECT_TRUE(plat::wildcard_match(matching[i], matching[i + 1])) << matching[i + 1];
    }
    for (std::size_t i = 0; i < std::size(differing); i += 2) {
        EXPECT_FALSE(plat::wildcard_match(differing[i], differing[i + 1])) << differing[i + 1];
    }

    for (const char* name : {"a1.log", "a2.log", "b1.log"}) {
        std::ofstream(path(name)) << "x";
    }
    fs::create_directory(dir_ / "a3.log");
    fs::last_write_time(dir_ / "a1.log",
                        fs::last_write_time(dir_ / "a1.log") - std::chrono::hours(24));

    const std::string pattern = path("a*.log");
    EXPECT_EQ(plat::search_directory_length(pattern.c_str()), dir_.string().size() + 1);
    plat::FileSearch search;
    plat::FoundFile found;
    std::map<std::string, plat::FoundFile> seen;
    plat::Status status = search.first(pattern.c_str(), &found);
    for (; status.ok(); status = search.next(&found)) {
        seen[found.name] = found;
    }
    EXPECT_EQ(status.error, plat::no_more_files_error());
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen["a3.log"].is_directory);
    EXPECT_FALSE(seen["a2.log"].is_directory);
    // 24 hours in 100-nanosecond ticks.
    EXPECT_NEAR(static_cast<double>(seen["a2.log"].last_write - seen["a1.log"].last_write),
                24.0 * 3600 * 10000000, 2.0 * 10000000);

    for (const std::string& missing : {path("none*"), path("missing/*")}) {
        EXPECT_EQ(plat::classify_error(search.first(missing.c_str(), &found).error),
                  plat::ErrorKind::not_found);
    }
    EXPECT_EQ(plat::search_directory_length("*.log"), 0u);
    EXPECT_EQ(plat::search_directory_length("/x*"), 1u);
}

#ifndef _WIN32
// What a command from a settings file needs: only a trusted user can change the file, the
// command runs to its end, and a read-only file is not replaced.
TEST_F(FileTest, TrustedOwnerCommandAndReadOnlyChecks) {
    std::ofstream(path("f")) << "x";
    struct Case {
        fs::perms mode;
        bool trusted;
        bool read_only;
    };
    const Case cases[] = {
        {fs::perms(0644), true, false},  {fs::perms(0600), true, false},
        {fs::perms(0664), false, false}, {fs::perms(0646), false, false},
        {fs::perms(0444), true, true},   {fs::perms(0555), true, true},
    };
    for (const Case& c : cases) {
        fs::permissions(path("f"), c.mode);
        bool trusted = !c.trusted;
        EXPECT_TRUE(plat::query_trusted_owner(path("f").c_str(), &trusted));
        EXPECT_EQ(trusted, c.trusted) << static_cast<int>(c.mode);
        EXPECT_EQ(plat::refuse_read_only(path("f").c_str()).ok(), !c.read_only)
            << static_cast<int>(c.mode);
    }
    bool trusted = true;
    EXPECT_FALSE(plat::query_trusted_owner(path("missing").c_str(), &trusted));
    EXPECT_FALSE(trusted);
    EXPECT_TRUE(plat::refuse_read_only(path("missing").c_str())) << "nothing to refuse";

    int exit_code = -1;
    const std::string line = "echo \"$0 $1\" > '" + path("out") + "'; exit 7";
    EXPECT_TRUE(plat::run_command_interpreter(line.c_str(), &exit_code));
    EXPECT_EQ(exit_code, 7);
    std::ifstream in(path("out"));
    std::string got;
    std::getline(in, got);
    EXPECT_EQ(got, "/bin/sh ") << "waited for its end";
}

TEST_F(FileTest, FileLockIsExclusiveUntilUnlocked) {
    // The child is forked first: one forked later would share the holder's open file and so
    // its lock.
    plat_test::ChildProcess child(fork());
    if (child.pid() == 0) {
        alarm(10);  // never outlives a failing test
        ::usleep(100000);
        plat::FileLock second;
        const bool got = second.lock(path("l").c_str()).ok();
        std::ofstream(path("child")) << "locked";
        _exit(got ? 0 : 1);
    }
    plat::FileLock first;
    ASSERT_TRUE(first.lock(path("l").c_str()));
    EXPECT_TRUE(first.locked());
    ::usleep(400000);
    EXPECT_FALSE(fs::exists(path("child"))) << "the child took a held lock";
    first.unlock();
    EXPECT_EQ(child.wait_exit(std::chrono::seconds(10)), 0);
    EXPECT_TRUE(fs::exists(path("child")));
}
#endif

TEST_F(FileTest, MappingsGrowAWriteMappedFileAndShareBytesAtAnyOffset) {
    plat::File file;
    ASSERT_TRUE(open(file, "mapped", Access::read_write, Disposition::open_always));
    plat::FileMapping writable;
    // An offset off the system's granularity, and a file too short for the range.
    const std::uint64_t offset = plat::mapping_granularity() + 3;
    ASSERT_TRUE(writable.map(file, offset, 10, plat::MapAccess::read_write));
    std::uint64_t size = 0;
    ASSERT_TRUE(file.size(&size));
    EXPECT_EQ(size, offset + 10) << "grown to the end of the range";
    std::memcpy(writable.data(), "0123456789", 10);
    EXPECT_TRUE(writable.flush(2, 100)) << "a range past the view is cut to it";

    plat::FileMapping readable;
    EXPECT_FALSE(readable.map(file, offset, 11, plat::MapAccess::read)) << "past the end";
    ASSERT_TRUE(readable.map(file, offset + 4, 6, plat::MapAccess::read));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(readable.data()), 6), "456789");
    EXPECT_TRUE(readable.unmap());
    EXPECT_FALSE(readable.is_mapped());
    EXPECT_TRUE(writable.unmap());

    // Positioned writes.
    ASSERT_TRUE(file.write_at(offset + 1, "ab", 2, nullptr));
    ASSERT_TRUE(file.set_last_write_now());
    file.close();
    EXPECT_EQ(plat_test::read_text(path("mapped")).substr(offset, 10), "0ab3456789");
}

TEST_F(FileTest, FullPathsJoinRelativeNamesToTheCurrentDirectory) {
    char out[600];
    ASSERT_TRUE(plat::full_path("trace/svc", out, sizeof out));
    EXPECT_TRUE(plat::is_full_path(out));
    const std::string full = out;
    EXPECT_EQ(full.substr(full.size() - 9), std::string("trace") + plat::kPathSeparator + "svc");
    EXPECT_FALSE(plat::full_path(std::string(700, 'a').c_str(), out, sizeof out));
    char tiny[4];
    EXPECT_FALSE(plat::full_path("abcdef", tiny, sizeof tiny));
}

}  // namespace
