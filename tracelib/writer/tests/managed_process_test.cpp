// Several writer processes on one managed set: every line once, whole and in order, while
// writers are killed (some holding the mutex) and files are cut, deleted or overwritten.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "ktlor/managed_layout.h"
#include "plat/file.h"
#include "plat/sync.h"
#include "trace_test_support.h"

namespace {

namespace fs = std::filesystem;
namespace mg = ktlor::managed;
using ktl_test::read_text;
using ktl_test::stored;
using ktl_test::TempDir;
using namespace std::chrono_literals;

constexpr int kSize = 8192;
constexpr int kCount = 64;

using Child = std::unique_ptr<plat_test::ChildProcess>;

// Its output goes to files beside the set's: several run at once, and nobody reads a pipe
// of one while waiting for another.
Child spawn(const std::string& prefix, std::vector<std::string> args) {
    static int started = 0;
    const fs::path out = fs::path(prefix).parent_path() / ("child" + std::to_string(++started));
    args.insert(args.begin(), WRITER_CHILD);
    return std::make_unique<plat_test::ChildProcess>(std::move(args), out.string() + ".out",
                                                     out.string() + ".err");
}

Child spawn_writer(const std::string& prefix, int id, long lines, int wait_ms) {
    return spawn(prefix,
                 {"write", prefix, std::to_string(id), std::to_string(lines), std::to_string(kSize),
                  std::to_string(kCount), "0", std::to_string(wait_ms)});
}

// The data of the set's files 1 to the current one (the tests never wrap round).
std::string set_data(const std::string& prefix) {
    const auto header = stored(prefix);
    std::string all;
    for (std::uint32_t n = 1; n <= header.current; ++n) {
        const std::string bytes = read_text(prefix + std::to_string(n) + ".log");
        mg::EndOfDataScanner scanner;
        scanner.feed(bytes.data(), bytes.size());
        // As a reader sees it: up to the end-of-data mark.
        EXPECT_TRUE(scanner.found()) << n;
        all += bytes.substr(0, scanner.used_length());
    }
    return all;
}

// Per writer id, the line numbers found in order, and the torn lines.
struct Found {
    std::map<int, std::vector<long>> numbers;
    std::map<int, int> torn;
};

Found parse(const std::string& data) {
    Found found;
    for (std::size_t start = 0, end = 0; start < data.size(); start = end + 2) {
        end = std::min(data.find("\r\n", start), data.size());
        const std::string line = data.substr(start, end - start);
        const std::size_t at = line.find(" W");
        int id = 0;
        long number = 0;
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at, " W%d #%ld", &id, &number) == 2) {
            line.ends_with("|END") ? found.numbers[id].push_back(number) : void(++found.torn[id]);
        }
    }
    return found;
}

void expect_all_lines(Found& found, int id, long lines) {
    EXPECT_EQ(found.torn[id], 0) << "writer " << id;
    const auto& numbers = found.numbers[id];
    ASSERT_EQ(static_cast<long>(numbers.size()), lines) << "writer " << id;
    for (long n = 0; n < lines; ++n) {
        ASSERT_EQ(numbers[n], n) << "writer " << id << " line " << n;
    }
}

// Four writers put every line whole, once and in order, while others are killed beside
// them, some holding the writers' mutex.
TEST(ManagedSet, KilledWritersLeaveTheSurvivorsLinesAndTheSetUsable) {
    TempDir dir;
    const std::string prefix = dir.prefix("killed");
    char full[mg::kMaxNameLength];
    char mutex[mg::kMaxNameLength];
    ASSERT_TRUE(plat::full_path(prefix.c_str(), full, sizeof full));
    ASSERT_TRUE(mg::mutex_name(full, mutex, sizeof mutex));
    constexpr long kLines = 800;
    constexpr int kWaitMs = 3000;
    std::mt19937 random(12345);
    std::vector<Child> survivors;
    for (int id = 1; id <= 4; ++id) {
        survivors.push_back(spawn_writer(prefix, id, kLines, kWaitMs));
    }
    for (int round = 0; round < 3; ++round) {
        // Capped, so that the set never wraps round over the survivors' lines.
        const Child victim = spawn_writer(prefix, 90 + round, 300, kWaitMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 60));
        victim->signal(SIGKILL);
        const int ended = victim->wait_exit(60s);
        EXPECT_TRUE(ended == 128 + SIGKILL || ended == 0) << ended;
        // One that dies holding the writers' mutex.
        const Child holder = spawn(prefix, {"hold", mutex});
        ASSERT_TRUE(holder->wait_for_output("y", 10s)) << holder->err();
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
        holder->signal(SIGKILL);
        EXPECT_EQ(holder->wait_exit(60s), 128 + SIGKILL);
    }
    for (const Child& child : survivors) {
        EXPECT_EQ(child->wait_exit(60s), 0)
            << "no put failed or waited past its time: " << child->err();
    }
    const auto header = stored(prefix);
    ASSERT_TRUE(mg::header_valid(header));
    EXPECT_GT(header.current, 10u) << "the files switched often";
    Found found = parse(set_data(prefix));
    for (int id = 1; id <= 4; ++id) {
        expect_all_lines(found, id, kLines);
    }
    // Still usable afterwards.
    EXPECT_EQ(spawn_writer(prefix, 7, 10, kWaitMs)->wait_exit(60s), 0);
    plat::NamedMutex::remove(mutex);
}

TEST(ManagedSet, FilesCutDeletedOrOverwrittenUnderRunningWritersCostLinesNotProcesses) {
    TempDir dir;
    const std::string prefix = dir.prefix("sabotage");
    std::vector<Child> writers;
    for (int id = 1; id <= 3; ++id) {
        writers.push_back(spawn_writer(prefix, id, 3000, 200));
    }
    const std::string management = ktl_test::management_path(prefix);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int round = 0; round < 5; ++round) {
        const auto header = stored(prefix);
        const std::string current = prefix + std::to_string(header.current) + ".log";
        std::error_code ignored;
        fs::resize_file(current, round * 100, ignored);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        fs::remove(prefix + std::to_string(header.current + 1) + ".log", ignored);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Garbage in place: the stream neither makes nor shortens the file.
        std::fstream(management, std::ios::in | std::ios::out | std::ios::binary)
            << std::string(64, static_cast<char>(0xA5 + round));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        fs::resize_file(management, round % 2 == 0 ? 0 : 17, ignored);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const Child& child : writers) {
        const int status = child->wait_exit(60s);
        // 1: some lines failed; 2: the open itself met a cut file.
        EXPECT_TRUE(status >= 0 && status <= 2) << "ended by signal or hung: " << status;
    }
    // The set opens again and takes lines.
    EXPECT_EQ(spawn_writer(prefix, 8, 10, 1000)->wait_exit(60s), 0);
    EXPECT_TRUE(mg::header_valid(stored(prefix)));
}

}  // namespace
