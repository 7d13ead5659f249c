#include "plat/file_search.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "plat/error.h"
#include "scratch_dir.h"

namespace {

TEST(Wildcard, MatchesLikeTheShellWithUtf8Characters) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"*.log", "svc1.log", true},
        {"*.log", "svc1.log.bak", false},
        {"*.log", ".log", true},
        {"svc?.log", "svc12.log", false},
        {"svc?.log", "svc\xC3\xA9.log", true},  // '?' takes the whole two-byte character
        {"a*b*c", "axxbyybzzc", true},
        {"a*b*c", "axxbyybzz", false},
        {"*", "", true},
        {"**x", "abx", true},
        {"SVC*", "svc1", false},
        {"svc*", "svc", true},
        {"?", "", false},
        {"*a", "aaab", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plat::wildcard_match(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
    }
}

TEST(FileSearch, ListsMatchesWithKindAndTimeThenReportsTheEnd) {
    plat_test::ScratchDir dir;
    plat_test::write_text(dir.path() / "a1.log", "x");
    plat_test::write_text(dir.path() / "a2.log", "x");
    plat_test::write_text(dir.path() / "b1.log", "x");
    std::filesystem::create_directory(dir.path() / "a3.log");
    const auto old_time =
        std::filesystem::last_write_time(dir.path() / "a1.log") - std::chrono::hours(24);
    std::filesystem::last_write_time(dir.path() / "a1.log", old_time);

    const std::string pattern = (dir.path() / "a*.log").string();
    EXPECT_EQ(plat::search_directory_length(pattern.c_str()), dir.path().string().size() + 1);
    plat::FileSearch search;
    plat::FoundFile found;
    std::map<std::string, plat::FoundFile> seen;
    plat::Status status = search.first(pattern.c_str(), &found);
    while (status.ok()) {
        seen[found.name] = found;
        status = search.next(&found);
    }
    EXPECT_EQ(status.error, plat::no_more_files_error());
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen["a3.log"].is_directory);
    EXPECT_FALSE(seen["a2.log"].is_directory);
    // 24 hours in 100-nanosecond ticks.
    EXPECT_NEAR(static_cast<double>(seen["a2.log"].last_write - seen["a1.log"].last_write),
                24.0 * 3600 * 10000000, 2.0 * 10000000);

    for (const std::string& missing : {dir / "none*", dir / "missing/*"}) {
        EXPECT_EQ(plat::classify_error(search.first(missing.c_str(), &found).error),
                  plat::ErrorKind::not_found);
    }
    EXPECT_EQ(plat::search_directory_length("*.log"), 0u);
    EXPECT_EQ(plat::search_directory_length("/x*"), 1u);
}

}  // namespace
