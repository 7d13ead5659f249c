// The reader in a process of its own, following a set that writer processes of the real
// managed writer fill at full speed with small files: every line once, each writer's in
// its order, across every switch.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
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

constexpr const char* kFileSize = "4096";
constexpr const char* kFileCount = "64";  // room for all lines: no file is used twice

// A writer process of the managed writer's own tests, with its mutex on its default use.
ChildProcess* start_writer(const std::string& prefix, int id, int lines) {
    return new ChildProcess({WRITER_CHILD, "write", prefix, std::to_string(id),
                             std::to_string(lines), kFileSize, kFileCount, "0", "10000"});
}

TEST(Processes, FollowerSeesEveryLineOfConcurrentWritersOnce) {
    constexpr int kWriters = 4;
    constexpr int kLines = 200;  // about 30 switches in all
    reader_test::FullDir dir;
    const std::string prefix = dir / "svc";
    {
        // The set exists before the follower starts: one writer opens it and leaves.
        std::unique_ptr<ChildProcess> first(start_writer(prefix, 0, 0));
        ASSERT_EQ(first->wait_exit(30s), 0) << first->err();
    }
    ChildProcess tail({KTLORTAIL, "--from-start", prefix + "1.log"});
    ASSERT_TRUE(tail.wait_for_output("****", 10s)) << tail.err();

    std::vector<std::unique_ptr<ChildProcess>> writers;
    for (int id = 1; id <= kWriters; ++id) {
        writers.emplace_back(start_writer(prefix, id, kLines));
    }
    for (auto& writer : writers) {
        ASSERT_EQ(writer->wait_exit(60s), 0) << writer->err();
    }
    for (int id = 1; id <= kWriters; ++id) {
        char last[32];
        std::snprintf(last, sizeof last, "W%d #%06d ", id, kLines - 1);
        ASSERT_TRUE(tail.wait_for_output(last, 10s)) << "follower never showed: " << last;
    }
    tail.signal(SIGTERM);
    ASSERT_EQ(tail.wait_exit(5s), 0) << tail.err();

    // Every line whole and once; each writer's lines in their order.
    std::map<int, int> next;
    std::istringstream out(tail.out());
    std::string line;
    int lines = 0;
    while (std::getline(out, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r') << line;
        if (line.rfind("****", 0) == 0 || line.rfind("     yyyy", 0) == 0) {
            continue;  // header blocks
        }
        ASSERT_EQ(line.find('W'), 68u) << line;
        ASSERT_EQ(line.substr(line.size() - 5), "|END\r") << line;
        int id = 0;
        int n = 0;
        ASSERT_EQ(std::sscanf(line.c_str() + 68, "W%d #%d", &id, &n), 2) << line;
        EXPECT_EQ(n, next[id]) << "writer " << id << ": " << line;
        next[id] = n + 1;
        ++lines;
    }
    EXPECT_EQ(lines, kWriters * kLines);
    for (int id = 1; id <= kWriters; ++id) {
        EXPECT_EQ(next[id], kLines) << "writer " << id;
    }
    EXPECT_EQ(tail.err(), "");

    // The writers switched often; none came round to a file a second time.
    std::ifstream management(dir / "mmap/svc.mm", std::ios::binary);
    ktlor::managed::ManagementRecord record{};
    ASSERT_TRUE(management.read(reinterpret_cast<char*>(&record), sizeof record));
    EXPECT_GE(record.current, 20u);
}

// The reader waits for the writers' mutex only as long as asked, not at all when the writers
// run without it, and takes it over from a writer killed while holding it.
TEST(Processes, MutexOfAWriterKilledHoldingItIsTakenOver) {
    reader_test::FullDir dir;
    reader_test::HandSet set(dir.path(), "svc");
    set.append("line\r\n");
    char name[4096];
    ASSERT_TRUE(ktlor::managed::mutex_name(set.prefix().c_str(), name, sizeof name));
    ChildProcess holder({WRITER_CHILD, "hold", name});
    ASSERT_TRUE(holder.wait_for_output("y", 10s)) << holder.err();

    reader_test::Reader reader(set.file(1));
    ASSERT_EQ(reader.open_all(), 0);
    KTLORSYM_MpttSetLockBlockTime(reader, 0);
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), -1);
    EXPECT_EQ(KTLORSYM_MpttGetLastError(reader), KTLORSYM_MPTT_E_LOCK);
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
