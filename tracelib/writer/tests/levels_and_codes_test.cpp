// Levels, thresholds, argument checks and the code words they leave behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "trace_test_support.h"

namespace {

using ktl_test::code_word;
using ktl_test::last_code;
using ktl_test::TempDir;

TEST(Levels, LibraryLevelRangeAndPreviousValue) {
    EXPECT_EQ(KTLORSYM_SetLogLevel(-2), 0);
    EXPECT_EQ(last_code(), code_word(2, 1));
    EXPECT_EQ(KTLORSYM_SetLogLevel(1001), 0);
    EXPECT_EQ(last_code(), code_word(2, 1));
    EXPECT_EQ(KTLORSYM_GetLogLevel(), 0);
    EXPECT_EQ(KTLORSYM_SetLogLevel(-1), 0);
    EXPECT_EQ(last_code(), 0u);
    EXPECT_EQ(KTLORSYM_SetLogLevel(1000), -1);
    EXPECT_EQ(KTLORSYM_SetLogLevel(0), 1000);
    EXPECT_EQ(KTLORSYM_SetFileThreshold(1001), 0);
    EXPECT_EQ(last_code(), code_word(4, 1));
}

TEST(Levels, InstanceLevelChecksHandleAndRange) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix());
    ASSERT_EQ(trace.create_result(), 0);
    EXPECT_EQ(KTLORSYM_SetInstanceLogLevel(trace.get(), 30), 0);
    EXPECT_EQ(KTLORSYM_SetInstanceLogLevel(trace.get(), 1001), 30);
    EXPECT_EQ(last_code(), code_word(15, 1));
    EXPECT_EQ(KTLORSYM_GetInstanceLogLevel(trace.get()), 30);

    EXPECT_EQ(KTLORSYM_SetInstanceLogLevel(nullptr, 5), 0);
    EXPECT_EQ(last_code(), code_word(15, 1));
    alignas(8) char not_live[sizeof(void*) * 8] = "DEAD";
    auto* fake = reinterpret_cast<TraceInstance*>(not_live);
    EXPECT_EQ(KTLORSYM_SetInstanceLogLevel(fake, 5), 0);
    EXPECT_EQ(last_code(), code_word(15, 11));
    EXPECT_EQ(KTLORSYM_GetInstanceLogLevel(fake), 0);
    EXPECT_EQ(last_code(), code_word(16, 11));
    EXPECT_EQ(KTLORSYM_PutInstanceLine(fake, 0, "x"), -1);
    EXPECT_EQ(last_code(), code_word(21, 11));
}

TEST(Levels, MessageAboveTheLevelIsDroppedAndLeavesTheRecordAlone) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix());
    ASSERT_EQ(trace.create_result(), 0);
    KTLORSYM_SetInstanceLogLevel(trace.get(), 10);
    // Leave a distinctive code word behind first.
    EXPECT_EQ(KTLORSYM_SetLogLevel(5000), 0);
    std::uint32_t os_error = 99;
    EXPECT_EQ(KTLORSYM_PutInstanceWithId(trace.get(), 11, "ID", "dropped"), 0);
    EXPECT_EQ(KTLORSYM_GetLastError(&os_error), code_word(2, 1));
    EXPECT_EQ(os_error, 0u);

    EXPECT_EQ(KTLORSYM_PutInstanceWithId(trace.get(), 10, "ID", "kept"), 0);
    const auto lines = ktl_test::read_lines(dir.path() / "trace1.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.back().substr(68), "ID                    kept");
}

TEST(Levels, LogLevelMinusOneDropsEverything) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix());
    KTLORSYM_SetInstanceLogLevel(trace.get(), -1);
    EXPECT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "x"), 0);
    EXPECT_EQ(ktl_test::read_lines(dir.path() / "trace1.log").size(), 2u);
}

TEST(Levels, FileThresholdAndEchoStage) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix());
    KTLORSYM_SetInstanceLogLevel(trace.get(), 1000);
    KTLORSYM_SetInstanceFileThreshold(trace.get(), 20);
    // Below the file threshold: not written; above it: written.
    EXPECT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 19, "low"), 0);
    EXPECT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 20, "at"), 0);
    EXPECT_EQ(last_code(), 0u) << "level 20 does not pass the echo threshold 0";
    // Level 0 passes the echo threshold 0: the unopened channel leaves cause 11, result 0.
    KTLORSYM_SetInstanceFileThreshold(trace.get(), 0);
    EXPECT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "echoed"), 0);
    EXPECT_EQ(last_code(), 11u);
    const auto lines = ktl_test::read_lines(dir.path() / "trace1.log");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].substr(68), "at");
    EXPECT_EQ(lines[3].substr(68), "echoed");
}

TEST(Levels, EchoToStandardOutputWithoutFile) {
    TempDir dir;
    const std::string prefix = dir.prefix();
    const TraceFileConfig config{4096, 1, prefix.c_str()};
    ASSERT_EQ(KTLORSYM_Initialize(&config, "ECHO"), 0);
    KTLORSYM_SetFileThreshold(-1);
    KTLORSYM_Threshold.ShmThreshold = 1000;
    KTLORSYM_Threshold.Echo = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KTLORSYM_PutLine(0, "to the console"), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    KTLORSYM_Threshold.Echo = 0;
    KTLORSYM_Threshold.ShmThreshold = 0;
    KTLORSYM_SetFileThreshold(0);
    EXPECT_EQ(KTLORSYM_Finalize(), 0);
    ASSERT_GE(out.size(), 70u);
#if defined(_WIN32)
    // The capture reads its file back in text mode, which turns CR LF into LF.
    EXPECT_EQ(out.substr(68), "to the console\n");
#else
    EXPECT_EQ(out.substr(68), "to the console\r\n");
#endif
    EXPECT_EQ(ktl_test::read_lines(dir.path() / "trace1.log").size(), 2u);
}

TEST(Arguments, PutFunctionsRefuseBadArguments) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix());
    EXPECT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 1001, "x"), -1);
    EXPECT_EQ(last_code(), code_word(21, 1));
    EXPECT_EQ(KTLORSYM_PutInstanceWithId(trace.get(), static_cast<unsigned>(-1), "I", "x"), -1);
    EXPECT_EQ(last_code(), code_word(22, 1));
    EXPECT_EQ(KTLORSYM_PutInstanceWithIdEx(trace.get(), 0, "P", "I", nullptr), -1);
    EXPECT_EQ(last_code(), code_word(23, 1));
    EXPECT_EQ(KTLORSYM_PutInstanceWithMsgType(nullptr, 0, "P", "I", "T", "x"), -1);
    EXPECT_EQ(last_code(), code_word(33, 1));

    // Library-level puts need initialization first.
    EXPECT_EQ(KTLORSYM_PutLine(0, "x"), -1);
    EXPECT_EQ(last_code(), code_word(8, 11));
    EXPECT_EQ(KTLORSYM_PutWithMsgTypeAndTid(0, "P", "T", "I", "T", "x"), -1);
    EXPECT_EQ(last_code(), code_word(36, 11));
}

TEST(Arguments, LibraryPutLevelBoundary) {
    TempDir dir;
    const std::string prefix = dir.prefix();
    const TraceFileConfig config{4096, 1, prefix.c_str()};
    ASSERT_EQ(KTLORSYM_Initialize(&config, nullptr), 0);
    KTLORSYM_SetLogLevel(1000);
    EXPECT_EQ(KTLORSYM_PutLine(1001, "x"), -1);
    EXPECT_EQ(last_code(), code_word(8, 1));
    EXPECT_EQ(KTLORSYM_PutLine(1000, "written"), 0);
    KTLORSYM_SetLogLevel(0);
    EXPECT_EQ(KTLORSYM_Finalize(), 0);
    const auto lines = ktl_test::read_lines(dir.path() / "trace1.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].substr(33, 16), std::string(16, ' '));
    EXPECT_EQ(lines[2].substr(68), "written");
}

TEST(Lifecycle, InitializeFinalizeStates) {
    TempDir dir;
    const std::string prefix = dir.prefix();
    const TraceFileConfig config{4096, 2, prefix.c_str()};
    EXPECT_EQ(KTLORSYM_Finalize(), -1);
    EXPECT_EQ(last_code(), code_word(7, 11));
    ASSERT_EQ(KTLORSYM_Initialize(&config, "P"), 0);
    EXPECT_EQ(KTLORSYM_Initialize(&config, "P"), -1);
    EXPECT_EQ(last_code(), code_word(6, 11));
    EXPECT_EQ(KTLORSYM_GetLockWaitTime(), -1);
    EXPECT_EQ(last_code(), code_word(41, 28));
    EXPECT_EQ(KTLORSYM_SetLockWaitTime(5), -1);
    EXPECT_EQ(last_code(), code_word(42, 28));
    EXPECT_EQ(KTLORSYM_Finalize(), 0);
    EXPECT_EQ(KTLORSYM_Finalize(), -1);
    EXPECT_EQ(last_code(), code_word(7, 11));
}

TEST(Lifecycle, ConfigLimits) {
    TempDir dir;
    const std::string prefix = dir.prefix();
    const std::string long_prefix = (dir.path() / std::string(515, 'p')).string();
    struct Case {
        std::int32_t size;
        std::int32_t count;
        const char* prefix;
        bool accepted;
    };
    const Case cases[] = {
        {4095, 1, prefix.c_str(), false},       {4096, 1, prefix.c_str(), true},
        {2147483647, 16, prefix.c_str(), true}, {4096, 17, prefix.c_str(), false},
        {4096, 0, prefix.c_str(), false},       {4096, 1, nullptr, false},
        {4096, 1, long_prefix.c_str(), false},
    };
    for (const Case& c : cases) {
        const TraceFileConfig config{c.size, c.count, c.prefix};
        TraceInstance* handle = reinterpret_cast<TraceInstance*>(&dir);
        const int result = KTLORSYM_CreateInstance(&handle, &config, "P");
        EXPECT_EQ(result == 0, c.accepted) << c.size << " " << c.count;
        if (result == 0) {
            EXPECT_EQ(KTLORSYM_DeleteInstance(handle), 0);
        } else {
            EXPECT_EQ(handle, nullptr);
            EXPECT_EQ(last_code(), code_word(19, 1));
        }
    }
    EXPECT_EQ(KTLORSYM_CreateInstance(nullptr, nullptr, "P"), -1);
    EXPECT_EQ(last_code(), code_word(19, 1));
    EXPECT_EQ(KTLORSYM_Initialize(nullptr, "P"), -1);
    EXPECT_EQ(last_code(), code_word(6, 1));
}

TEST(Lifecycle, ManagedWritersCheckArgumentsThenReportUnsupported) {
    TempDir dir;
    const std::string prefix = dir.prefix();
    const TraceFileConfig good{16777216, 64, prefix.c_str()};
    const TraceFileConfig too_big{16777217, 1, prefix.c_str()};
    const TraceFileConfig too_many{4096, 65, prefix.c_str()};
    EXPECT_EQ(KTLORSYM_InitializeM(&good, "P", 64), -1);
    EXPECT_EQ(last_code(), code_word(39, 1));
    EXPECT_EQ(KTLORSYM_InitializeM(&good, "P", -1), -1);
    EXPECT_EQ(last_code(), code_word(39, 1));
    EXPECT_EQ(KTLORSYM_InitializeM(&too_big, "P", 0), -1);
    EXPECT_EQ(last_code(), code_word(39, 1));
    EXPECT_EQ(KTLORSYM_InitializeM(&good, "P", 63), -1);
    EXPECT_EQ(last_code(), code_word(39, 28));
    TraceInstance* handle = nullptr;
    EXPECT_EQ(KTLORSYM_CreateInstanceM(&handle, &too_many, "P", 0), -1);
    EXPECT_EQ(last_code(), code_word(40, 1));
    EXPECT_EQ(KTLORSYM_CreateInstanceM(&handle, &good, "P", 0), -1);
    EXPECT_EQ(last_code(), code_word(40, 28));
    EXPECT_EQ(handle, nullptr);
}

TEST(Settings, LockWaitTimesAndFixedResults) {
    EXPECT_EQ(KTLORSYM_GetLockWaitTime(), 10);
    EXPECT_EQ(KTLORSYM_SetLockWaitTime(-5), 10);
    EXPECT_EQ(KTLORSYM_GetLockWaitTime(), 0);
    EXPECT_EQ(KTLORSYM_SetLockWaitTime(10), 0);
    EXPECT_EQ(KTLORSYM_SetInstanceLockWaitTime(nullptr, 25), 10);
    EXPECT_EQ(KTLORSYM_GetInstanceLockWaitTime(nullptr), 25);
    EXPECT_EQ(KTLORSYM_SetInstanceLockWaitTime(nullptr, 10), 25);

    TempDir dir;
    ktl_test::Instance plain(dir.prefix());
    EXPECT_EQ(KTLORSYM_GetInstanceLockWaitTime(plain.get()), -1);
    EXPECT_EQ(last_code(), code_word(45, 28));

    EXPECT_EQ(KTLORSYM_GetLockRetryTimes(), -1);
    EXPECT_EQ(last_code(), code_word(43, 28));
    EXPECT_EQ(KTLORSYM_SetInstanceLockRetryTimes(plain.get(), 3), -1);
    EXPECT_EQ(last_code(), code_word(48, 28));

    // Kept for old callers: always 0, record untouched.
    EXPECT_EQ(KTLORSYM_PutToShm(0, nullptr), 0);
    EXPECT_EQ(KTLORSYM_ChFileAttr(-1), 0);
    EXPECT_EQ(last_code(), code_word(48, 28));
    EXPECT_EQ(std::strcmp(KTLORSYM_Threshold.Id, "ID_ZUNO"), 0);
}

TEST(Settings, FlushAndBackupWithoutWriter) {
    EXPECT_EQ(KTLORSYM_FileBufferFlush(), -1);
    EXPECT_EQ(last_code(), code_word(11, 11));
    EXPECT_EQ(KTLORSYM_TraceBackupM("x", 3), -1);
    EXPECT_EQ(last_code(), code_word(49, 1));
    EXPECT_EQ(KTLORSYM_InstanceTraceBackup(nullptr, "x"), -1);
    EXPECT_EQ(last_code(), code_word(25, 1));
    EXPECT_EQ(KTLORSYM_DeleteInstance(nullptr), -1);
    EXPECT_EQ(last_code(), code_word(20, 1));
}

}  // namespace
