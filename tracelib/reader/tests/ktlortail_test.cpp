// The follower program: what it prints of a set while lines are added across file
// switches, how it ends, and what it says about bad input.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "reader_test_support.h"

namespace {

using namespace std::chrono_literals;
using plat_test::ChildProcess;
using reader_test::HandSet;

std::string line(int n) {
    return "line " + std::to_string(n) + "\r\n";
}

std::string lines(int from, int to) {
    std::string text;
    for (int n = from; n <= to; ++n) {
        text += line(n);
    }
    return text;
}

TEST(Follower, PrintsTheLastLinesThenFollowsAcrossSwitchesUntilStopped) {
    reader_test::FullDir dir;
    HandSet set(dir.path(), "svc", 4096, 3);
    for (int n = 1; n <= 5; ++n) {
        set.append(line(n));
    }
    ChildProcess tail({KTLORTAIL, "--lines", "2", set.prefix()});
    ASSERT_TRUE(tail.started());
    ASSERT_TRUE(tail.wait_for_output(lines(4, 5), 5s)) << tail.out() << tail.err();

    // A line and a switch to file 2 at once, lines there, then the writers come round to
    // file 1 again (slower than the follower looks: it cannot see files lapped meanwhile).
    set.append(line(6));
    set.switch_to(2);
    set.append(line(7));
    ASSERT_TRUE(tail.wait_for_output(line(7), 5s)) << tail.out() << tail.err();
    set.append(line(8));
    set.switch_to(3);
    ASSERT_TRUE(tail.wait_for_output(line(8), 5s)) << tail.out() << tail.err();
    set.switch_to(1);
    set.append(line(9));
    ASSERT_TRUE(tail.wait_for_output(line(9), 5s)) << tail.out() << tail.err();
    tail.signal(SIGTERM);
    EXPECT_EQ(tail.wait_exit(5s), 0);
    EXPECT_EQ(tail.out(), lines(4, 9));
    EXPECT_EQ(tail.err(), "");
}

TEST(Follower, EndsWhenTheSetIsRemovedAndOnCtrlC) {
    reader_test::FullDir dir;
    HandSet set(dir.path(), "svc", 4096, 2);
    set.append(line(1));
    set.append(line(2));
    {
        // A file of the set, read from its start.
        ChildProcess tail({KTLORTAIL, "--from-start", set.file(1)});
        ASSERT_TRUE(tail.wait_for_output(lines(1, 2), 5s)) << tail.err();
        tail.signal(SIGINT);
        EXPECT_EQ(tail.wait_exit(5s), 0);
    }
    ChildProcess tail({KTLORTAIL, "--lines", "1", set.prefix()});
    ASSERT_TRUE(tail.wait_for_output(line(2), 5s)) << tail.err();
    set.append(line(3));
    ASSERT_TRUE(tail.wait_for_output(line(3), 5s)) << tail.err();
    std::filesystem::remove_all(dir.path() / "mmap");
    std::filesystem::remove(set.file(1));
    std::filesystem::remove(set.file(2));
    EXPECT_EQ(tail.wait_exit(5s), 0);
    EXPECT_EQ(tail.out(), lines(2, 3));
    EXPECT_NE(tail.err().find("was removed"), std::string::npos) << tail.err();
}

TEST(Follower, BadInput) {
    reader_test::FullDir dir;
    HandSet set(dir.path(), "svc", 4096, 2);
    reader_test::write_at(set.management(), 0, "XXXX", 4);  // wrong magic
    HandSet other(dir.path(), "good", 4096, 2);
    std::filesystem::remove(other.file(2));
    std::filesystem::resize_file(other.file(1), 0);
    const std::string loose = dir / "loose1.log";
    std::ofstream(loose) << "not in a set\r\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;  // on standard error; on standard output when it ends with 0
    };
    const Case cases[] = {
        {{"--help"}, 0, "usage: ktlortail"},
        {{"--version"}, 0, "ktlortail "},
        {{}, 2, "usage:"},
        {{"--lines"}, 2, "--lines wants a number"},
        {{"--lines", "-1", set.prefix()}, 2, "--lines wants a number from 0"},
        {{"--lines", "3x", set.prefix()}, 2, "not \"3x\""},
        {{"--follow", set.prefix()}, 2, "unknown option --follow"},
        {{set.prefix(), other.prefix()}, 2, "one PREFIX or TRACEFILE only"},
        {{dir / "none"}, 1, "management file " + (dir / "mmap/none.mm") + " not found"},
        {{set.prefix()}, 1, "is not valid"},
        {{dir / "none3.log"}, 1, "no trace file"},
        {{loose}, 1, "belongs to no managed trace set"},
        {{other.prefix()}, 1, "cannot be mapped"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {KTLORTAIL};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess tail(args);
        EXPECT_EQ(tail.wait_exit(5s), c.status) << args.back();
        const std::string said = c.status == 0 ? tail.out() : tail.err();
        const std::string silent = c.status == 0 ? tail.err() : tail.out();
        EXPECT_NE(said.find(c.says), std::string::npos) << args.back() << ": " << said;
        EXPECT_EQ(silent, "") << args.back();
    }
}

}  // namespace
