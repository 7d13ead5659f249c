// Several threads putting at once, and the per-thread records of threads that end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "thread_record.h"
#include "trace_test_support.h"

namespace {

using ktl_test::read_lines;
using ktl_test::TempDir;

TEST(ConcurrentPuts, EveryLineLandsWholeWithItsOwnSequenceNumber) {
    TempDir dir;
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 3000;  // 12000 lines: the sequence wraps once
    {
        ktl_test::Instance trace(dir.prefix(), 1 << 24, 2);
        ASSERT_EQ(trace.create_result(), 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&trace, t] {
                const std::string text =
                    "thread " + std::to_string(t) + " " + std::string(40 + t, '#');
                for (int n = 0; n < kLinesPerThread; ++n) {
                    EXPECT_EQ(KTLORSYM_PutInstanceWithId(trace.get(), 0, "ID", text.c_str()), 0);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    auto lines = read_lines(dir.path() / "trace1.log");
    lines.erase(lines.begin(), lines.begin() + ktl_test::kHeaderLines);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesPerThread));

    std::vector<int> per_thread(kThreads, 0);
    std::vector<int> seen_sequence(10000, 0);
    for (const auto& line : lines) {
        ASSERT_GE(line.size(), 90u + 8u);
        const int t = line[97] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(line.substr(90), "thread " + std::to_string(t) + " " + std::string(40 + t, '#'));
        ++per_thread[t];
        ++seen_sequence[std::stoi(line.substr(0, 4))];
    }
    EXPECT_EQ(per_thread, std::vector<int>(kThreads, kLinesPerThread));
    // 12000 consecutive numbers modulo 10000: 2000 values twice, the rest once, none missing.
    EXPECT_EQ(std::count(seen_sequence.begin(), seen_sequence.end(), 2), 2000);
    EXPECT_EQ(std::count(seen_sequence.begin(), seen_sequence.end(), 1), 8000);
}

// Library puts read the program id while initializations replace it: every line carries
// one whole id.
TEST(ConcurrentPuts, TheLibraryProgramIdIsReadWholeWhileInitializationsChangeIt) {
    TempDir dir;
    const std::string prefix = dir.prefix("lib");
    const TraceFileConfig config{1 << 20, 1, prefix.c_str()};
    const std::string ids[] = {std::string(16, 'A'), std::string(16, 'B')};
    const std::string text(4000, 'x');  // long to compose: puts overlap the changes
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&stop, &text] {
            while (!stop.load()) {
                KTLORSYM_PutLine(0, text.c_str());
            }
        });
    }
    for (int round = 0; round < 3000; ++round) {
        ASSERT_EQ(KTLORSYM_Initialize(&config, ids[round % 2].c_str()), 0);
        ASSERT_EQ(KTLORSYM_Finalize(), 0);
    }
    stop.store(true);
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& line : read_lines(dir.path() / "lib1.log")) {
        if (line.size() > 68 && std::isdigit(static_cast<unsigned char>(line[0]))) {
            const std::string id = line.substr(33, 16);
            ASSERT_TRUE(id == ids[0] || id == ids[1]) << line;
        }
    }
}

TEST(ThreadRecords, KeptPerThreadAndReleasedWhenTheThreadEnds) {
    // This thread's record exists from here on, before counting.
    EXPECT_EQ(KTLORSYM_SetFileThreshold(5000), 0);
    const std::size_t before = ktl::live_thread_record_count();
    for (int round = 0; round < 100; ++round) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 100; ++t) {
            threads.emplace_back([] {
                EXPECT_EQ(KTLORSYM_GetLastError(nullptr), 0u);
                EXPECT_EQ(KTLORSYM_SetLogLevel(2000), 0);
                EXPECT_EQ(KTLORSYM_GetLastError(nullptr), ktl_test::code_word(2, 1));
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    EXPECT_EQ(ktl::live_thread_record_count(), before);
    EXPECT_EQ(KTLORSYM_GetLastError(nullptr), ktl_test::code_word(4, 1));
}

}  // namespace
