// The service log end to end: messages queued by callers, written by the logger thread into
// real trace files and, for event messages, to the system's log.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "JOVX_ErrorLogging.h"
#include "JOVX_WDT_SettingsRead.h"
#include "plat/sync.h"
#include "plat/thread.h"
#include "scoped_env.h"
#include "scratch_dir.h"
#ifndef _WIN32
#include "child_process.h"
#include "posix_test_support.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace jovx;

constexpr char kSourceFileName[] = "service_log_test";

// The lines of a trace file (without CR LF) that contain any of the markers.
std::vector<std::string> matching(const fs::path& file,
                                  std::initializer_list<std::string> markers) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        line.erase(line.find_last_not_of('\r') + 1);
        for (const std::string& marker : markers) {
            if (line.find(marker) != std::string::npos) {
                lines.push_back(line);
                break;
            }
        }
    }
    return lines;
}

// The message id sits at column 68, the text at column 90.
std::string id_of(const std::string& line) {
    const std::string field = line.size() > 68 ? line.substr(68, 21) : "";
    return field.substr(0, field.find(' '));
}

std::string text_of(const std::string& line) {
    return line.size() > 90 ? line.substr(90) : "";
}

// Waits until the logger has written a line containing text into file.
bool wait_for_text(const fs::path& file, const std::string& text) {
    for (int waited = 0; waited < 5000 && matching(file, {text}).empty(); waited += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !matching(file, {text}).empty();
}

class ServiceLog : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        plat_test::set_env("VM_IPC_NAMESPACE",
                           "jovxtest" + std::to_string(plat::current_process_id()));
    }
    static void TearDownTestSuite() {
        plat::NamedMutex::remove("WDT_ErrorLogMutex");
        plat::NamedMutex::remove("WDT_InstanceMutex");
    }
    std::string prefix(const std::string& name = "svc") const { return dir_ / name; }
    fs::path file(const std::string& name = "svc") const { return dir_ / (name + "1.log"); }
    // Stops the log and waits for the logger thread, which empties the queue first.
    static void finish() {
        WDTLogSetStopFlag();
        ASSERT_EQ(WDTLogTerminate(), 0);
    }

    plat_test::ScratchDir dir_;
};

// A full ring drops its oldest entry and counts it; the count stops at INT_MAX, and a count
// without an entry is reported once on its own. Ids and texts are cut to their fields.
TEST(LogQueue, SkippedCountSaturatesAndFieldsAreCut) {
    auto queue = std::make_unique<LogQueue>();
    LogQueueEntry entry{};
    bool taken = false;
    for (int n = 0; n < kLogQueueCapacity; ++n) {
        queue->push(2, 6, "ID", "x");
    }
    queue->skipped = INT_MAX - 1;
    queue->push(2, 6, "ID", "y");
    queue->push(2, 6, "ID", "z");
    EXPECT_EQ(queue->take(&entry, &taken), INT_MAX);
    while (queue->take(&entry, &taken) >= 0 && taken) {
    }
    queue->skipped = 3;
    EXPECT_EQ(queue->take(&entry, &taken), 3);
    EXPECT_FALSE(taken);
    EXPECT_EQ(queue->take(&entry, &taken), -1);

    queue->push(1, 0, std::string(30, 'I').c_str(), std::string(400, 't').c_str());
    queue->take(&entry, &taken);
    EXPECT_EQ(std::string(entry.message_id), std::string(20, 'I'));
    EXPECT_EQ(std::string(entry.text).size(), 301u);
}

// Trace messages above the level are left out, the logger's own ones too; nothing is queued
// before Initialize or after Terminate.
TEST_F(ServiceLog, LevelFiltersAndLinesCarryTheCallersFileAndLine) {
    const std::vector<std::string> all = {"KTLOR-021-E", "KTLOR-055-W", "KTLOR-022-I",
                                          "KTLOR-052-K"};
    for (const int level : {0, 10, 30}) {
        SCOPED_TRACE(level);
        const std::string name = "level" + std::to_string(level);
        WDT_LOG(msg::KTLOR_021_E, "TestFunction", 1);
        ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix(name).c_str(), level), 0);
        WDT_LOG(msg::KTLOR_021_E, "TestFunction", 5);
        WDT_LOG(msg::KTLOR_055_W, "TestFunction");
        WDT_LOG(msg::KTLOR_022_I, "TestFunction");
        const int line_of_last = __LINE__ + 1;
        WDT_LOG(msg::KTLOR_052_K, "TestFunction", "LogSize", 4);
        finish();
        WDT_LOG(msg::KTLOR_021_E, "TestFunction", 1);

        const auto mine = matching(file(name), {"TestFunction"});
        std::vector<std::string> ids;
        for (const auto& line : mine) {
            ids.push_back(id_of(line));
        }
        const std::size_t kept = level == 0 ? 1 : level == 10 ? 2 : 4;
        EXPECT_EQ(ids, std::vector<std::string>(all.begin(), all.begin() + kept));
        EXPECT_EQ(matching(file(name), {"WDT_LoggerThread : Enter."}).size(),
                  level == 30 ? 1u : 0u);
        if (level == 30 && ids == all) {
            const std::string expected =
                R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3}\] \[\d{4,}\] TestFunction : Value of )"
                R"(LogSize in the settings XML is 4\.FileName: service_log_test, LineNumber: )" +
                std::to_string(line_of_last) + R"(\.)";
            EXPECT_TRUE(std::regex_match(text_of(mine[3]), std::regex(expected))) << mine[3];
        }
    }
}

TEST_F(ServiceLog, HeldUpLoggerDropsTheOldestAndTerminateIsBounded) {
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
    // Terminate gives up on the stuck logger, and succeeds once it is free again.
    WDTLogSetStopFlag();
    EXPECT_EQ(WDTLogTerminate(), 1);
    instance_mutex.unlock();
    ASSERT_EQ(WDTLogTerminate(), 0);

    const auto texts = matching(file(), {"Caller :", "Skipped to output"});
    ASSERT_EQ(texts.size(), 1u + kLogQueueCapacity);
    EXPECT_NE(texts[0].find("WDT_LoggerThread : Skipped to output 1 messages."), std::string::npos)
        << texts[0];
    EXPECT_NE(texts[1].find("Caller : message 1."), std::string::npos) << texts[1];
    EXPECT_NE(texts.back().find("Caller : message 480."), std::string::npos);
}

// Callers go on writing while the log is shut down and started again (the operation thread
// may still be in a hung call when the service ends): messages outside a run are dropped,
// and no caller ever uses a closed mutex.
TEST_F(ServiceLog, CallersRaceTerminateAndInitialize) {
    std::atomic<bool> done{false};
    std::vector<std::thread> callers;
    for (int caller = 0; caller < 4; ++caller) {
        callers.emplace_back([&, caller] {
            while (!done) {
                WDTLogWrite(0, "KTLOR-999-E", "%s : caller %d.", "Racer", caller, kSourceFileName,
                            __LINE__);
                if (caller == 0) {
                    WDTLogReconfigure(1, 2, prefix().c_str(), 30);
                }
            }
        });
    }
    int failures = 0;
    for (int round = 0; round < 100 && failures == 0; ++round) {
        failures += WDTLogInitialize(1 << 20, 2, prefix().c_str(), 30);
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
        WDTLogSetStopFlag();
        failures += WDTLogTerminate();
    }
    // After the last terminate nothing more reaches the file.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto written = matching(file(), {"Racer :"}).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    done = true;
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_GT(written, 0u);
    EXPECT_EQ(matching(file(), {"Racer :"}).size(), written);
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
    const auto lines = matching(file(), {"KTLOR-999-E"});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(text_of(lines[0]).size(), 301u);
    EXPECT_EQ(text_of(lines[1]).size(), 301u);
    EXPECT_EQ(lines[1].back(), 'f');
}

TEST_F(ServiceLog, ReconfigureKeepsOrReplacesTheTraceInstance) {
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), 30), 0);
    WDT_LOG(msg::KTLOR_022_I, "First");
    ASSERT_TRUE(wait_for_text(file(), "First : "));
    // Same values, then a new level only: the same file goes on, without a new header.
    EXPECT_EQ(WDTLogReconfigure(1, 2, prefix().c_str(), 30), 0);
    EXPECT_EQ(WDTLogReconfigure(1, 2, prefix().c_str(), 0), 0);
    WDT_LOG(msg::KTLOR_022_I, "DroppedByLevel");
    WDT_LOG(msg::KTLOR_021_E, "StillHere", 1);
    ASSERT_TRUE(wait_for_text(file(), "StillHere : "));
    // A new path opens new files.
    EXPECT_EQ(WDTLogReconfigure(1, 2, prefix("moved").c_str(), 30), 0);
    WDT_LOG(msg::KTLOR_022_I, "Moved");
    ASSERT_TRUE(wait_for_text(file("moved"), "Moved : "));
    // A path that cannot be used fails; coming back to the stored values afterwards opens
    // the files again.
    EXPECT_EQ(WDTLogReconfigure(1, 2, "/proc/no-such-dir/svc", 30), 1);
    EXPECT_EQ(WDTLogReconfigure(1, 2, prefix("moved").c_str(), 30), 0);
    WDT_LOG(msg::KTLOR_022_I, "Recovered");
    finish();

    EXPECT_EQ(matching(file(), {"****"}).size(), 1u) << "one header";
    EXPECT_TRUE(matching(file(), {"DroppedByLevel"}).empty());
    EXPECT_EQ(matching(file("moved"), {"Recovered : "}).size(), 1u);
}

#ifndef _WIN32
// A logger that never stops makes terminate give up after 5 s, as when the service is started
// from a console; the process must still end when main returns, though the logger waits on.
// The test runs itself again as a child that does this, and gives it a bounded time.
TEST(ServiceLogExit, ProcessEndsAfterTerminateGaveUp) {
    if (const char* dir = std::getenv("JOVX_EXIT_CHILD_DIR")) {
        // Level -1: the logger writes nothing, so it waits on without having touched the
        // trace library, whose own exit is not what this checks.
        ASSERT_EQ(WDTLogInitialize(1 << 20, 1, (fs::path(dir) / "svc").c_str(), -1), 0);
        WDT_LOG(msg::KTLOR_022_I, "Child");
        EXPECT_EQ(WDTLogTerminate(), 1) << "no stop flag: the logger waits on";
        return;  // main returns next
    }
    plat_test::ScratchDir dir;
    const plat_test::ScopedEnv names("VM_IPC_NAMESPACE",
                                     "jovxexit" + std::to_string(plat::current_process_id()));
    const plat_test::ScopedEnv child_mode("JOVX_EXIT_CHILD_DIR", dir.path().string());
    plat_test::ChildProcess child(
        {"/proc/self/exe", "--gtest_filter=ServiceLogExit.ProcessEndsAfterTerminateGaveUp"});
    EXPECT_EQ(child.wait_exit(std::chrono::seconds(20)), 0) << child.out() << child.err();
    plat::NamedMutex::remove("WDT_ErrorLogMutex");
    plat::NamedMutex::remove("WDT_InstanceMutex");
}

// Event messages reach the system's log as syslog datagrams, whatever the trace level; a
// socket of the test's own stands in for the syslog daemon.
TEST_F(ServiceLog, EventsIgnoreTheTraceLevelAndCarryTheirSeverity) {
    const plat_test::ScopedEnv registry("VARMOTH_REGISTRY", dir_.path().string());
    const plat_test::ScopedEnv socket("VARMOTH_SYSLOG_SOCKET", dir_ / "log.sock");
    plat_test::DatagramReceiver daemon(dir_ / "log.sock");
    ASSERT_TRUE(daemon.bound());
    plat_test::write_text(dir_.path() / "registry.d" / "orvalis.reg",
                          "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog"
                          "\\Application\\Orvalis]\n");
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), -1), 0);
    WDT_EVENT(msg::KTLOR_061_I);
    WDT_LOG(msg::KTLOR_021_E, "Dropped", 1);
    WDT_Settings settings;
    settings.IntervalCount = 11;
    EXPECT_EQ(WDT_LogXMLvalues(&settings), -1);
    finish();

    std::vector<plat_test::SyslogLine> got;
    while (auto datagram = daemon.receive(200)) {
        if (auto line = plat_test::parse_syslog(*datagram)) {
            got.push_back(*line);
        }
    }
    ASSERT_EQ(got.size(), 2u);
    // The daemon facility (24) with the severities information (6) and warning (4).
    EXPECT_EQ(got[0].priority, 24 + 6);
    EXPECT_EQ(got[0].tag, "Orvalis");
    EXPECT_NE(got[0].message.find("Orvalis : The service started successfully."), std::string::npos)
        << got[0].message;
    EXPECT_EQ(got[0].message.find("FileName:"), std::string::npos) << "no file and line";
    EXPECT_EQ(got[1].priority, 24 + 4);
    EXPECT_NE(got[1].message.find("Orvalis : Some parameters are invalid. All parameters are "
                                  "used to default value."),
              std::string::npos)
        << got[1].message;
}
#endif

}  // namespace
