// The reader in a process of its own, following a set that writer processes of the real
// managed writer fill at full speed with small files: every line once, each writer's in
// its order, across every switch.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "plat/sync.h"
#include "reader_test_support.h"

namespace {

using namespace std::chrono_literals;
using reader_test::ChildProcess;

constexpr const char* kFileSize = "4096";
constexpr const char* kFileCount = "64";  // room for all lines: no file is used twice

ChildProcess* start_writer(const std::string& prefix, int id, int lines) {
    return new ChildProcess(
        {WRITER_CHILD, prefix, kFileSize, kFileCount, std::to_string(id), std::to_string(lines)});
}

TEST(Processes, FollowerSeesEveryLineOfConcurrentWritersOnce) {
    constexpr int kWriters = 4;
    constexpr int kLines = 200;  // about 30 switches in all
    reader_test::FullDir dir;
    const std::string prefix = dir / "svc";
    {
        // The set exists before the follower starts: one writer opens it and leaves.
        std::unique_ptr<ChildProcess> first(start_writer(prefix, 0, 0));
        ASSERT_EQ(first->wait(30s), 0) << first->err();
    }
    ChildProcess tail({KTLORTAIL, "--from-start", prefix + "1.log"});
    ASSERT_TRUE(tail.wait_for_output("****", 10s)) << tail.err();

    std::vector<std::unique_ptr<ChildProcess>> writers;
    for (int id = 1; id <= kWriters; ++id) {
        writers.emplace_back(start_writer(prefix, id, kLines));
    }
    for (auto& writer : writers) {
        ASSERT_EQ(writer->wait(60s), 0) << writer->err();
    }
    for (int id = 1; id <= kWriters; ++id) {
        const std::string last =
            "writer " + std::to_string(id) + " line " + std::to_string(kLines) + " ";
        ASSERT_TRUE(tail.wait_for_output(last, 10s)) << "follower never showed: " << last;
    }
    tail.signal(SIGTERM);
    ASSERT_EQ(tail.wait(5s), 0) << tail.err();

    // Every line whole and once; each writer's lines in their order.
    std::map<int, int> last_seen;
    std::istringstream out(tail.out());
    std::string line;
    int lines = 0;
    while (std::getline(out, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r') << line;
        const std::size_t body = line.find("writer ");
        if (line.rfind("****", 0) == 0 || line.rfind("     yyyy", 0) == 0) {
            continue;  // header blocks
        }
        ASSERT_EQ(body, 68u) << line;
        int id = 0;
        int n = 0;
        ASSERT_EQ(std::sscanf(line.c_str() + body, "writer %d line %d", &id, &n), 2) << line;
        EXPECT_EQ(n, last_seen[id] + 1) << "writer " << id << ": " << line;
        last_seen[id] = n;
        ++lines;
    }
    EXPECT_EQ(lines, kWriters * kLines);
    for (int id = 1; id <= kWriters; ++id) {
        EXPECT_EQ(last_seen[id], kLines) << "writer " << id;
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
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        plat::NamedMutex mutex;
        const bool ok = mutex.open(name).ok() && mutex.lock() == plat::WaitResult::signalled;
        const char said = ok ? '1' : '0';
        if (write(held[1], &said, 1) != 1 || !ok) {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    char said = 0;
    ASSERT_EQ(read(held[0], &said, 1), 1);
    close(held[0]);
    close(held[1]);
    ASSERT_EQ(said, '1');

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
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    KTLORSYM_MpttSetLockBlockTime(reader, 2000);
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 6);
    // Released again: the next wait finds it free at once.
    KTLORSYM_MpttSetLockBlockTime(reader, 0);
    EXPECT_EQ(KTLORSYM_MpttGetCurrentOffset(reader), 6);
}

}  // namespace
