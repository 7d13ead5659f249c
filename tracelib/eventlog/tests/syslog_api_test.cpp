// The syslog output through its API: priorities and masks, the texts of events and where
// they are cut, thread ids, event sources, failures, and many threads putting at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "syslog_test_support.h"

using namespace syslog_test;

namespace {

constexpr int kDaemon = 24;
constexpr int kUser = 8;

TEST_F(SysLogTest, PrioritiesMapToSeveritiesAndTheMaskFiltersThem) {
    KTLORSYM_OpenSysLog("KTL-OR", 3, kDaemon);
    ASSERT_EQ(KTLORSYM_SetEventSrcName("Orvalis"), 0);
    const std::string prefix = "KTL-OR " + pid_;
    // 0 and 7 and above are errors, 5 a warning.
    for (const auto& [priority, severity] : {std::pair{6, 6}, {5, 4}, {3, 3}, {4, 4}, {0, 3}}) {
        ASSERT_EQ(KTLORSYM_PutToSysLogWithTid(priority, "KTLOR-061-I", "The service started."), 0);
        if (kEventsReadable) {
            const auto event = next_event();
            EXPECT_EQ(event.priority, kDaemon | severity) << priority;
            EXPECT_EQ(event.tag, "Orvalis");
            EXPECT_EQ(event.pid, static_cast<long>(process_id()));
            EXPECT_EQ(event.message, prefix + "KTLOR-061-I" + tid_ + "The service started.");
        }
    }
    ASSERT_EQ(KTLORSYM_PutToSysLog(6, "plain"), 0);
    SKIP_UNLESS_EVENTS_READABLE();
    EXPECT_EQ(next_event().message, prefix + "plain");

    // The mask filters by priority modulo 32.
    EXPECT_EQ(KTLORSYM_PutToSysLog(7, "dropped by the default mask"), 0);
    EXPECT_TRUE(idle());
    EXPECT_EQ(KTLORSYM_SetLogMask(0xFF), 127);
    ASSERT_EQ(KTLORSYM_PutToSysLog(39, "priority 7 again"), 0);  // 39 mod 32
    EXPECT_EQ(next_event().priority, kDaemon | 3);
    EXPECT_EQ(KTLORSYM_PutToSysLog(-1, "bit 31 is clear"), 0);
    EXPECT_TRUE(idle());
    KTLORSYM_SetLogMask(static_cast<int>(0x80000000u));
    ASSERT_EQ(KTLORSYM_PutToSysLog(-1, "negative"), 0);
    EXPECT_EQ(next_event().priority, kDaemon | 3);
}

TEST_F(SysLogTest, TextsAreLaidOutAndCutOnCharacterBoundaries) {
    SKIP_UNLESS_EVENTS_READABLE();
    Output output;
    ASSERT_EQ(output.created(), 0);
    SysLogInstance* const out = output.get();
    EXPECT_EQ(sent(KTLORSYM_PutToSysLogInstance(out, 6, "ID", "text")), pid_ + "ID text");
    // An ident leads, cut to 16 bytes; a character across the limit is left out whole.
    ASSERT_EQ(KTLORSYM_OpenSysLogInstance(out, "ABCDEFGHIJKLMNOPQRST", 0, kUser), 0);
    EXPECT_EQ(sent(KTLORSYM_PutToSysLogInstance(out, 6, "", "text")),
              "ABCDEFGHIJKLMNOP " + pid_ + "text");
    ASSERT_EQ(KTLORSYM_OpenSysLogInstance(out, "ABCDEFGHIJKLMNO\xC3\xA9", 0, kUser), 0);
    EXPECT_EQ(sent(KTLORSYM_PutToSysLogInstance(out, 6, "ID", "")),
              "ABCDEFGHIJKLMNO " + pid_ + "ID");

    // The message is cut at 1023 bytes, the same way.
    EXPECT_EQ(sent(KTLORSYM_PutToSysLog(6, std::string(1100, 'x').c_str())),
              pid_ + std::string(1023, 'x'));
    EXPECT_EQ(sent(KTLORSYM_PutToSysLog(6, (std::string(1022, 'x') + "\xC3\xA9").c_str())),
              pid_ + std::string(1022, 'x'));
    // A piece that reaches the limit ends the message, even when its cut left a byte free.
    const std::string id = std::string(1022, 'm') + "\xC3\xA9";
    EXPECT_EQ(sent(KTLORSYM_PutToSysLogWithTid(6, id.c_str(), "text")),
              pid_ + std::string(1022, 'm'));
    EXPECT_EQ(sent(KTLORSYM_PutToSysLogWithTid(6, "ID", std::string(1100, 't').c_str())),
              pid_ + "ID" + tid_ + std::string(1023 - 2 - tid_.size(), 't'));

    // Thread id formats. Type 8: 16 hex digits, 2: decimal, 1: hex unpadded.
    const std::tuple<int, const char*, const char*, const char*> formats[] = {
        {8, nullptr, nullptr, "I[%016lX] t"},
        {2, "<123456", ">", "I<123456%lu>t"},
        {1, "", "", "I%lXt"},
    };
    for (const auto& [type, open, close, format] : formats) {
        ASSERT_EQ(KTLORSYM_SetSysLogTidFormat(type, open, close), 0);
        char expected[64];
        std::snprintf(expected, sizeof expected, format, thread_id());
        EXPECT_EQ(sent(KTLORSYM_PutToSysLogWithTid(6, "I", "t")), pid_ + expected);
    }
    KTLORSYM_CloseSysLog();  // back to type 4, "[" and "] "
    EXPECT_EQ(sent(KTLORSYM_PutToSysLogWithTid(6, "I", "t")), pid_ + "I" + tid_ + "t");

    // An output opened with the thread id option puts it into every event until it is closed.
    ASSERT_EQ(KTLORSYM_OpenSysLogInstance(out, "", KTLORSYM_SYSLOG_OPTION_TID | 3, kUser), 0);
    EXPECT_EQ(sent(KTLORSYM_PutToSysLogInstance(out, 6, "ID", "text")),
              pid_ + "ID" + tid_ + "text");
    ASSERT_EQ(KTLORSYM_CloseSysLogInstance(out), 0);
    EXPECT_EQ(sent(KTLORSYM_PutToSysLogInstance(out, 6, "ID", "text")), pid_ + "ID text");
    EXPECT_EQ(sent(KTLORSYM_PutToSysLogWithTidInstance(out, 6, nullptr, nullptr)), pid_ + tid_);
}

TEST_F(SysLogTest, UnregisteredSourceIsRefusedAndFailsEveryPut) {
    const std::string too_long(65, 'a');
    for (const char* name :
         {"NotRegistered", "", too_long.c_str(), static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(KTLORSYM_SetEventSrcName(name), -1);
    }
    ASSERT_EQ(KTLORSYM_PutToSysLog(6, "still the old source"), 0);
    EXPECT_TRUE(!kEventsReadable || next_event().tag == "KTLOR_Trace");  // made a valid tag

    // A source that goes away is noticed at the next change of configuration.
    register_source("Temporary");
    Output output;
    ASSERT_EQ(KTLORSYM_SetEventSrcNameInstance(output.get(), "temporary"), 0);
    ASSERT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 6, "", "one"), 0);
    EXPECT_TRUE(!kEventsReadable || next_event().tag == "temporary");
    unregister("Temporary");
    KTLORSYM_SetLogMaskInstance(output.get(), 127);
    EXPECT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 6, "", "two"), tagged(103, kNotFound));
    // Even a masked priority fails: the source is tested first.
    EXPECT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 7, "", "masked"), tagged(103, kNotFound));
    EXPECT_EQ(KTLORSYM_SetEventSrcNameInstance(output.get(), "Gone"), 1);

    // The plain puts hand back the system error alone.
    register_source("Temporary");
    ASSERT_EQ(KTLORSYM_SetEventSrcName("Temporary"), 0);
    unregister("Temporary");
    KTLORSYM_SetLogMask(127);
    EXPECT_EQ(KTLORSYM_PutToSysLog(6, "x"), kNotFound);
    EXPECT_TRUE(!kEventsReadable || idle());
}

TEST_F(SysLogTest, PutFailsAtOnceWhenNoDaemonListens) {
#if defined(_WIN32)
    GTEST_SKIP() << "no syslog daemon on Windows; a failing event log cannot be staged";
#else
    Output output;
    plat_test::ScopedEnv nowhere("VARMOTH_SYSLOG_SOCKET", dir_ / "nobody.sock");
    EXPECT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 3, "ID", "text"), tagged(104, ENOENT));
    EXPECT_EQ(KTLORSYM_PutToSysLog(3, "text"), ENOENT);

    // A daemon that stops reading: puts fail once its queue is full, and never wait.
    plat_test::DatagramReceiver stuck(dir_ / "stuck.sock", 4096);
    plat_test::ScopedEnv to_stuck("VARMOTH_SYSLOG_SOCKET", stuck.path());
    const std::string text(900, 'x');
    const auto started = std::chrono::steady_clock::now();
    int last = 0;
    for (int i = 0; i < 100000 && last == 0; ++i) {
        last = KTLORSYM_PutToSysLogInstance(output.get(), 6, "", text.c_str());
    }
    EXPECT_EQ(last, tagged(104, EAGAIN));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
#endif
}

TEST_F(SysLogTest, BadArgumentsAndInstancesAreRefusedWithoutBeingTouched) {
    EXPECT_EQ(KTLORSYM_SetSysLogTidFormat(3, nullptr, nullptr), 1);
    EXPECT_EQ(KTLORSYM_SetSysLogTidFormat(4, "12345678", nullptr), 1);
    EXPECT_EQ(KTLORSYM_SetSysLogTidFormat(4, nullptr, "12345678"), 1);
    alignas(8) unsigned char fake[256] = {'Z', 'U', 'N', 'X'};
    for (SysLogInstance* bad :
         {static_cast<SysLogInstance*>(nullptr), reinterpret_cast<SysLogInstance*>(fake)}) {
        EXPECT_EQ(KTLORSYM_OpenSysLogInstance(bad, "x", 0, kUser), 1);
        EXPECT_EQ(KTLORSYM_CloseSysLogInstance(bad), 1);
        EXPECT_EQ(KTLORSYM_PutToSysLogInstance(bad, 3, "a", "b"), 1);
        EXPECT_EQ(KTLORSYM_PutToSysLogWithTidInstance(bad, 3, "a", "b"), 1);
        EXPECT_EQ(KTLORSYM_SetLogMaskInstance(bad, 0), 1);
        EXPECT_EQ(KTLORSYM_SetEventSrcNameInstance(bad, "Orvalis"), 1);
        EXPECT_EQ(KTLORSYM_SetSysLogTidFormatInstance(bad, 4, "[", "]"), 1);
        EXPECT_EQ(KTLORSYM_DeleteSysLogInstance(bad), 1);
    }
    EXPECT_EQ(std::memcmp(fake, "ZUNX", 5), 0);
    EXPECT_EQ(KTLORSYM_CreateSysLogInstance(nullptr), 1);
    EXPECT_TRUE(!kEventsReadable || idle());

    Output output;  // and an unknown option
    EXPECT_EQ(KTLORSYM_OpenSysLogInstance(output.get(), "X", 0x20000, kUser), 1);
}

TEST(SysLogDecoders, SplitResultsIntoStepAndError) {
    const auto split = [](int result) {
        return std::pair{KTLORSYM_SysLogErrApi(result), KTLORSYM_SysLogErrCode(result)};
    };
    EXPECT_EQ(split(0), std::pair(0, 0));
    EXPECT_EQ(split(1), std::pair(1, 87));
    EXPECT_EQ(split(2), std::pair(-1, -1));  // no result of this library
    EXPECT_EQ(split(0x00FFFFFF), std::pair(-1, -1));
    EXPECT_EQ(split(tagged(104, 5)), std::pair(104, 5));
    EXPECT_EQ(split(tagged(103, 0)), std::pair(103, -1));
    EXPECT_EQ(split(tagged(101, 12)), std::pair(101, 12));
}

// Many threads putting through the default output and their own outputs while another
// thread keeps changing the configuration: every event arrives whole, from its own thread.
// Puts never wait for the daemon, so a full queue fails a put: the threads try again.
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
