// The reader among processes: the follower program over a hand-written set (switches, how it
// ends, bad input), following writer processes of the real managed writer, and the writers'
// mutex held by a process that dies.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "reader_test_support.h"

namespace {

using namespace std::chrono_literals;
using plat_test::ChildProcess;
using reader_test::HandSet;

std::string lines(int from, int to) {
    std::string text;
    for (int n = from; n <= to; ++n) {
        text += "line " + std::to_string(n) + "\r\n";
    }
    return text;
}

TEST(Follower, PrintsTheLastLinesThenFollowsAcrossSwitchesUntilStopped) {
    reader_test::FullDir dir;
    HandSet set(dir.path(), "svc", 4096, 3);
    set.append(lines(1, 5));
    ChildProcess tail({KTLORTAIL, "--lines", "2", set.prefix()});
    ASSERT_TRUE(tail.wait_for_output(lines(4, 5), 5s)) << tail.out() << tail.err();

    // A line and a switch to file 2 at once, lines there, then the writers come round to
    // file 1 again (slower than the follower looks: it cannot see files lapped meanwhile).
    set.append(lines(6, 6));
    set.switch_to(2);
    set.append(lines(7, 7));
    ASSERT_TRUE(tail.wait_for_output(lines(7, 7), 5s)) << tail.out() << tail.err();
    set.append(lines(8, 8));
    set.switch_to(3);
    ASSERT_TRUE(tail.wait_for_output(lines(8, 8), 5s)) << tail.out() << tail.err();
    set.switch_to(1);
    set.append(lines(9, 9));
    ASSERT_TRUE(tail.wait_for_output(lines(9, 9), 5s)) << tail.out() << tail.err();
    tail.signal(SIGTERM);
    EXPECT_EQ(tail.wait_exit(5s), 0);
    EXPECT_EQ(tail.out(), lines(4, 9));
    EXPECT_EQ(tail.err(), "");
}

TEST(Follower, EndsWhenTheSetIsRemovedAndOnCtrlC) {
    reader_test::FullDir dir;
    HandSet set(dir.path(), "svc", 4096, 2);
    set.append(lines(1, 2));
    {
        // A file of the set, read from its start.
        ChildProcess tail({KTLORTAIL, "--from-start", set.file(1)});
        ASSERT_TRUE(tail.wait_for_output(lines(1, 2), 5s)) << tail.err();
        tail.signal(SIGINT);
        EXPECT_EQ(tail.wait_exit(5s), 0);
    }
    ChildProcess tail({KTLORTAIL, "--lines", "1", set.prefix()});
    ASSERT_TRUE(tail.wait_for_output(lines(2, 2), 5s)) << tail.err();
    set.append(lines(3, 3));
    ASSERT_TRUE(tail.wait_for_output(lines(3, 3), 5s)) << tail.err();
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
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;  // on standard error; on standard output when it ends with 0
    } cases[] = {
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
    for (const auto& c : cases) {
        std::vector<std::string> args = {KTLORTAIL};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess tail(args);
        EXPECT_EQ(tail.wait_exit(5s), c.status) << args.back();
        const std::string said = c.status == 0 ? tail.out() : tail.err();
        EXPECT_NE(said.find(c.says), std::string::npos) << args.back() << ": " << said;
        EXPECT_EQ(c.status == 0 ? tail.err() : tail.out(), "") << args.back();
    }
}

// A writer process of the managed writer's own tests, with small files: room for all lines
// of the test (no file is used twice), and its mutex on its default use.
std::unique_ptr<ChildProcess> start_writer(const std::string& prefix, int id, int lines) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{WRITER_CHILD, "write", prefix, std::to_string(id),
                                 std::to_string(lines), "4096", "64", "0", "10000"});
}

TEST(Processes, FollowerSeesEveryLineOfConcurrentWritersOnce) {
    constexpr int kWriters = 4;
    constexpr int kLines = 200;  // about 30 switches in all
    reader_test::FullDir dir;
    const std::string prefix = dir / "svc";
    // The set exists before the follower starts: one writer opens it and leaves.
    ASSERT_EQ(start_writer(prefix, 0, 0)->wait_exit(30s), 0);
    ChildProcess tail({KTLORTAIL, "--from-start", prefix + "1.log"});
    ASSERT_TRUE(tail.wait_for_output("****", 10s)) << tail.err();

    std::vector<std::unique_ptr<ChildProcess>> writers;
    for (int id = 1; id <= kWriters; ++id) {
        writers.push_back(start_writer(prefix, id, kLines));
    }
    for (int id = 1; id <= kWriters; ++id) {
        ASSERT_EQ(writers[id - 1]->wait_exit(60s), 0) << writers[id - 1]->err();
        char last[32];
        std::snprintf(last, sizeof last, "W%d #%06d ", id, kLines - 1);
        ASSERT_TRUE(tail.wait_for_output(last, 10s)) << "follower never showed: " << last;
    }
    tail.signal(SIGTERM);
    ASSERT_EQ(tail.wait_exit(5s), 0) << tail.err();
    EXPECT_EQ(tail.err(), "");

    // Every line whole and once; each writer's lines in their order.
    std::map<int, int> next;
    std::istringstream out(tail.out());
    int seen = 0;
    for (std::string line; std::getline(out, line);) {
        ASSERT_TRUE(line.ends_with('\r')) << line;
        if (line.starts_with("****") || line.starts_with("     yyyy")) {
            continue;  // header blocks
        }
        ASSERT_EQ(line.find('W'), 68u) << line;
        ASSERT_TRUE(line.ends_with("|END\r")) << line;
        int id = 0;
        int n = 0;
        ASSERT_EQ(std::sscanf(line.c_str() + 68, "W%d #%d", &id, &n), 2) << line;
        EXPECT_EQ(n, next[id]++) << "writer " << id << ": " << line;
        ++seen;
    }
    EXPECT_EQ(seen, kWriters * kLines);
    for (int id = 1; id <= kWriters; ++id) {
        EXPECT_EQ(next[id], kLines) << "writer " << id;
    }
    // The writers switched often.
    std::ifstream management(dir / "mmap/svc.mm", std::ios::binary);
    ktlor::managed::ManagementRecord record{};
    ASSERT_TRUE(management.read(reinterpret_cast<char*>(&record), sizeof record));
    EXPECT_GE(record.current, 20u);
}

// The reader waits for the writers' mutex only as long as asked, not at all when the writers
// run without it, and takes it over from a writer killed while holding it.
TEST(Processes, MutexOfAWriterKilledHoldingItIsTakenOver) {
    reader_test::FullDir dir;
    HandSet set(dir.path(), "svc");
    set.append("line\r\n");
    char name[4096];
    ASSERT_TRUE(ktlor::managed::mutex_name(set.prefix().c_str(), name, sizeof name));
    ChildProcess holder({WRITER_CHILD, "hold", name});
    ASSERT_TRUE(holder.wait_for_output("y", 10s)) << holder.err();

    reader_test::Reader reader(set.file(1));
    ASSERT_EQ(reader.open_all(), 0);
    KTLORSYM_MpttSetLockBlockTime(reader, 0);
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), -1);
    EXPECT_EQ(reader.cause(), KTLORSYM_MPTT_E_LOCK);
    // Writers that all run without the mutex: nothing to wait for.
    set.record().flags |= ktlor::managed::kOptionNoMutex;
    set.store_record();
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 6);
    set.record().flags &= ~ktlor::managed::kOptionNoMutex;
    set.store_record();
    holder.signal(SIGKILL);
    ASSERT_EQ(holder.wait_exit(5s), 128 + SIGKILL);
    KTLORSYM_MpttSetLockBlockTime(reader, 2000);
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 6);
    // Released again: the next wait finds it free at once.
    KTLORSYM_MpttSetLockBlockTime(reader, 0);
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 6);
}

}  // namespace
