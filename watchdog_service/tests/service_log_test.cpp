// The service log end to end: messages queued by callers, written by the logger thread into
// real trace files.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "JOVX_ErrorLogging.h"
#include "plat/sync.h"
#include "plat/thread.h"
#include "scoped_env.h"

namespace {

namespace fs = std::filesystem;
using namespace jovx;

constexpr char kSourceFileName[] = "service_log_test";

// Lines of a trace file without CR LF; the message text starts at column 90.
std::vector<std::string> trace_lines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::string message_id_of(const std::string& line) {
    const std::string field = line.substr(68, 21);
    return field.substr(0, field.find(' '));
}

std::string text_of(const std::string& line) {
    return line.size() > 90 ? line.substr(90) : "";
}

class ServiceLog : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string space = "jovxtest" + std::to_string(plat::current_process_id());
        plat_test::set_env("VM_IPC_NAMESPACE", space);
    }
    static void TearDownTestSuite() {
        plat::NamedMutex::remove("WDT_ErrorLogMutex");
        plat::NamedMutex::remove("WDT_InstanceMutex");
    }
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("jovx-log-" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string prefix(const char* name = "svc") const { return (dir_ / name).string(); }
    std::vector<std::string> lines(const char* name = "svc1.log") const {
        auto all = trace_lines(dir_ / name);
        if (all.size() >= 2) {
            all.erase(all.begin(), all.begin() + 2);  // header block
        }
        return all;
    }
    // Stops the log and waits for the logger thread, which empties the queue first.
    static void finish() {
        WDTLogSetStopFlag();
        ASSERT_EQ(WDTLogTerminate(), 0);
    }

    fs::path dir_;
};

TEST(LogQueueTest, FullQueueDropsTheOldestAndCountsIt) {
    auto queue = std::make_unique<LogQueue>();
    for (int n = 0; n <= kLogQueueCapacity; ++n) {
        queue->push(1, 0, "ID", std::to_string(n).c_str());
    }
    EXPECT_EQ(queue->count, kLogQueueCapacity);
    LogQueueEntry entry{};
    bool taken = false;
    EXPECT_EQ(queue->take(&entry, &taken), 1);
    EXPECT_TRUE(taken);
    EXPECT_STREQ(entry.text, "1");
    EXPECT_EQ(queue->take(&entry, &taken), 0);
    EXPECT_STREQ(entry.text, "2");
}

TEST(LogQueueTest, SkippedCountSaturatesAndIsReportedWithoutAnEntry) {
    auto queue = std::make_unique<LogQueue>();
    for (int n = 0; n < kLogQueueCapacity; ++n) {
        queue->push(2, 6, "ID", "x");
    }
    queue->skipped = INT_MAX - 1;
    queue->push(2, 6, "ID", "y");
    queue->push(2, 6, "ID", "z");
    EXPECT_EQ(queue->skipped, INT_MAX);
    LogQueueEntry entry{};
    bool taken = false;
    EXPECT_EQ(queue->take(&entry, &taken), INT_MAX);
    while (queue->take(&entry, &taken) >= 0 && taken) {
    }
    queue->skipped = 3;
    EXPECT_EQ(queue->take(&entry, &taken), 3);
    EXPECT_FALSE(taken);
    EXPECT_EQ(queue->take(&entry, &taken), -1);
}

TEST(LogQueueTest, IdAndTextAreCut) {
    auto queue = std::make_unique<LogQueue>();
    const std::string long_id(30, 'I');
    const std::string long_text(400, 't');
    queue->push(1, 0, long_id.c_str(), long_text.c_str());
    LogQueueEntry entry{};
    bool taken = false;
    queue->take(&entry, &taken);
    EXPECT_EQ(std::string(entry.message_id), std::string(20, 'I'));
    EXPECT_EQ(std::string(entry.text).size(), 301u);
}

TEST_F(ServiceLog, LevelZeroKeepsOnlyErrors) {
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), 0), 0);
    WDT_LOG(msg::KTLOR_021_E, "TestFunction", 5);
    WDT_LOG(msg::KTLOR_055_W, "TestFunction");
    WDT_LOG(msg::KTLOR_022_I, "TestFunction");
    WDT_LOG(msg::KTLOR_011_K, "TestFunction");
    finish();
    const auto written = lines();
    std::vector<std::string> ids;
    for (const auto& line : written) {
        if (line.find("TestFunction") != std::string::npos) {
            ids.push_back(message_id_of(line));
        }
    }
    EXPECT_EQ(ids, std::vector<std::string>{"KTLOR-021-E"});
}

TEST_F(ServiceLog, LevelThirtyKeepsEverythingWithTheCallersFileAndLine) {
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), 30), 0);
    WDT_LOG(msg::KTLOR_021_E, "TestFunction", 5);
    WDT_LOG(msg::KTLOR_055_W, "TestFunction");
    WDT_LOG(msg::KTLOR_022_I, "TestFunction");
    const int line_of_last = __LINE__ + 1;
    WDT_LOG(msg::KTLOR_052_K, "TestFunction", "LogSize", 4);
    finish();
    std::vector<std::string> mine;
    bool saw_enter = false;
    for (const auto& line : lines()) {
        if (line.find("TestFunction") != std::string::npos) {
            mine.push_back(line);
        }
        saw_enter =
            saw_enter || text_of(line).find("WDT_LoggerThread : Enter.") != std::string::npos;
    }
    EXPECT_TRUE(saw_enter);
    ASSERT_EQ(mine.size(), 4u);
    EXPECT_EQ(message_id_of(mine[0]), "KTLOR-021-E");
    EXPECT_EQ(message_id_of(mine[3]), "KTLOR-052-K");
    const std::string text = text_of(mine[3]);
    // [yyyy/mm/dd hh:mm:ss:mmm] [tid] function : message.FileName: file, LineNumber: n.
    ASSERT_GT(text.size(), 26u);
    EXPECT_EQ(text[0], '[');
    EXPECT_EQ(text[20], ':');
    EXPECT_EQ(text[24], ']');
    const std::string expected_tail =
        "] TestFunction : Value of LogSize in the settings XML is 4."
        "FileName: service_log_test, LineNumber: " +
        std::to_string(line_of_last) + ".";
    EXPECT_NE(text.find(expected_tail), std::string::npos) << text;
}

TEST_F(ServiceLog, HeldUpLoggerDropsTheOldestAndReportsTheCount) {
    plat::NamedMutex instance_mutex;
    ASSERT_TRUE(instance_mutex.open("WDT_InstanceMutex"));
    // Held before the logger starts: it stops at its first line, before taking anything.
    ASSERT_EQ(instance_mutex.lock(), plat::WaitResult::signalled);
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), 30), 0);

    plat::Thread caller;
    ASSERT_TRUE(caller.start([] {
        for (int n = 0; n <= kLogQueueCapacity; ++n) {
            WDTLogWrite(0, "KTLOR-999-E", "%s : message %d.", "Caller", n, kSourceFileName,
                        __LINE__);
        }
    }));
    EXPECT_EQ(caller.join(10000), plat::WaitResult::signalled)
        << "callers must not wait for the logger";
    instance_mutex.unlock();
    finish();

    std::vector<std::string> texts;
    for (const auto& line : lines()) {
        const std::string text = text_of(line);
        if (text.find("Caller :") != std::string::npos ||
            text.find("Skipped to output") != std::string::npos) {
            texts.push_back(text);
        }
    }
    ASSERT_EQ(texts.size(), 1u + kLogQueueCapacity);
    EXPECT_NE(texts[0].find("WDT_LoggerThread : Skipped to output 1 messages."), std::string::npos)
        << texts[0];
    EXPECT_NE(texts[1].find("Caller : message 1."), std::string::npos) << texts[1];
    EXPECT_NE(texts.back().find("Caller : message 480."), std::string::npos);
}

TEST_F(ServiceLog, LongMessagesAreCut) {
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), 30), 0);
    const std::string long_value(400, 'v');
    WDTLogWrite(0, "KTLOR-999-E", "%s : %s.", "Cutter", long_value.c_str(), kSourceFileName, 1);
    // A format longer than 303 characters is cut before it is expanded; a cut that leaves a
    // lone '%' must not start a conversion.
    const std::string long_format = std::string(302, 'f') + "%d";
    WDTLogWrite(0, "KTLOR-999-E", long_format.c_str(), 7, kSourceFileName, 2);
    finish();
    std::vector<std::string> texts;
    for (const auto& line : lines()) {
        if (message_id_of(line) == "KTLOR-999-E") {
            texts.push_back(text_of(line));
        }
    }
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].size(), 301u);
    EXPECT_EQ(texts[1].size(), 301u);
    EXPECT_EQ(texts[1].back(), 'f');
}

// Waits until the logger has written a line containing text into file.
bool wait_for_text(const fs::path& file, const std::string& text) {
    for (int waited = 0; waited < 5000; waited += 5) {
        for (const auto& line : trace_lines(file)) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST_F(ServiceLog, ReconfigureKeepsOrReplacesTheTraceInstance) {
    const fs::path first_file = dir_ / "svc1.log";
    const fs::path moved_file = dir_ / "moved1.log";
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), 30), 0);
    WDT_LOG(msg::KTLOR_022_I, "First");
    ASSERT_TRUE(wait_for_text(first_file, "First : "));
    // Same values, then a new level only: the same file goes on, without a new header.
    EXPECT_EQ(WDTLogReconfigure(1, 2, prefix().c_str(), 30), 0);
    EXPECT_EQ(WDTLogReconfigure(1, 2, prefix().c_str(), 0), 0);
    WDT_LOG(msg::KTLOR_022_I, "DroppedByLevel");
    WDT_LOG(msg::KTLOR_021_E, "StillHere", 1);
    ASSERT_TRUE(wait_for_text(first_file, "StillHere : "));
    // A new path opens new files.
    EXPECT_EQ(WDTLogReconfigure(1, 2, prefix("moved").c_str(), 30), 0);
    WDT_LOG(msg::KTLOR_022_I, "Moved");
    ASSERT_TRUE(wait_for_text(moved_file, "Moved : "));
    // A path that cannot be used fails; coming back to the stored values afterwards opens
    // the files again.
    EXPECT_EQ(WDTLogReconfigure(1, 2, "/proc/no-such-dir/svc", 30), 1);
    EXPECT_EQ(WDTLogReconfigure(1, 2, prefix("moved").c_str(), 30), 0);
    WDT_LOG(msg::KTLOR_022_I, "Recovered");
    finish();

    int headers = 0;
    bool dropped_written = false;
    for (const auto& line : trace_lines(first_file)) {
        headers += line.rfind("****", 0) == 0 ? 1 : 0;
        dropped_written = dropped_written || line.find("DroppedByLevel") != std::string::npos;
    }
    EXPECT_EQ(headers, 1);
    EXPECT_FALSE(dropped_written);
    EXPECT_TRUE(wait_for_text(moved_file, "Recovered : "));
}

TEST_F(ServiceLog, TerminateGivesUpOnAStuckLoggerAndSucceedsLater) {
    plat::NamedMutex instance_mutex;
    ASSERT_TRUE(instance_mutex.open("WDT_InstanceMutex"));
    ASSERT_EQ(instance_mutex.lock(), plat::WaitResult::signalled);
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), 30), 0);
    WDTLogSetStopFlag();
    EXPECT_EQ(WDTLogTerminate(), 1);
    instance_mutex.unlock();
    EXPECT_EQ(WDTLogTerminate(), 0);
}

TEST_F(ServiceLog, NothingIsQueuedBeforeInitializeOrAfterTerminate) {
    WDT_LOG(msg::KTLOR_021_E, "TooEarly", 1);
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), 30), 0);
    finish();
    WDT_LOG(msg::KTLOR_021_E, "TooLate", 1);
    std::string joined;
    for (const auto& line : lines()) {
        joined += line;
    }
    EXPECT_EQ(joined.find("TooEarly"), std::string::npos);
    EXPECT_EQ(joined.find("TooLate"), std::string::npos);
}

}  // namespace
