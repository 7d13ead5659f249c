// Many threads putting through the default output and their own outputs while another
// thread keeps changing the configuration: every event arrives whole, from its own thread.
// Puts never wait for the daemon, so a full queue fails a put; the threads here try again.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "syslog_test_support.h"

using namespace syslog_test;

namespace {

// Retries the put while the daemon's queue is full.
template <typename Put>
bool put_until_taken(Put put) {
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const int result = put();
        if (result != EAGAIN && result != tagged(104, EAGAIN)) {
            return result == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST_F(SysLogTest, ConcurrentPutsAllArriveIntact) {
    constexpr int kThreads = 4;
    constexpr int kPutsEach = 50;
    register_source("TestSource");
    KTLORSYM_OpenSysLog("KTL-OR", 3, 24);
    ASSERT_EQ(KTLORSYM_SetEventSrcName("Orvalis"), 0);

    std::atomic<int> failures{0};
    std::atomic<bool> running{true};
    std::thread changer([&] {
        while (running) {
            KTLORSYM_SetLogMask(127);
            KTLORSYM_SetSysLogTidFormat(4, nullptr, nullptr);
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Output output;
            failures += KTLORSYM_SetEventSrcNameInstance(output.get(), "TestSource") != 0;
            // The text repeats the thread id that the put itself adds.
            const std::string tid = hex8(thread_id());
            for (int i = 0; i < kPutsEach; ++i) {
                const std::string text = tid + " " + std::to_string(t) + "/" + std::to_string(i);
                failures += !put_until_taken(
                    [&] { return KTLORSYM_PutToSysLogWithTid(6, "ID", text.c_str()); });
                failures += !put_until_taken([&] {
                    return KTLORSYM_PutToSysLogWithTidInstance(output.get(), 6, "ID", text.c_str());
                });
            }
        });
    }
    // "[<pid>]: ID[<tid>] <tid> t/i", after the ident on the default output.
    const std::regex whole(R"(^(KTL-OR )?\[[0-9A-F]{8}\]: ID\[([0-9A-F]{8})\] \2 \d+/\d+$)");
    std::map<std::string, int> per_source;
    std::set<std::string> seen;
    for (int i = 0; kEventsReadable && i < 2 * kThreads * kPutsEach; ++i) {
        const auto event = next_event();
        if (event.message.empty()) {
            break;  // nothing arrived, which has failed the test already
        }
        EXPECT_TRUE(std::regex_match(event.message, whole)) << event.message;
        ++per_source[event.tag];
        seen.insert(event.tag + event.message);
    }
    // The configuration keeps changing until the last put.
    for (std::thread& t : threads) {
        t.join();
    }
    running = false;
    changer.join();
    EXPECT_EQ(failures.load(), 0);
    if (kEventsReadable) {
        EXPECT_EQ(per_source["Orvalis"], kThreads * kPutsEach);
        EXPECT_EQ(per_source["TestSource"], kThreads * kPutsEach);
        EXPECT_EQ(seen.size(), static_cast<std::size_t>(2 * kThreads * kPutsEach));
    }
}

}  // namespace
