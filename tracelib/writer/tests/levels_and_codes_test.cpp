// Levels, thresholds, argument checks and the code words they leave behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "trace_test_support.h"

namespace {

using ktl_test::code_word;
using ktl_test::last_code;
using ktl_test::TempDir;

// Checks a call's result and the code word it leaves: function << 24 | cause, 0 on success.
#define EXPECT_CODE(expr, result, function, cause)                   \
    do {                                                             \
        EXPECT_EQ(static_cast<int>(expr), result) << #expr;          \
        EXPECT_EQ(last_code(), code_word(function, cause)) << #expr; \
    } while (false)

TEST(Levels, SettersCheckTheirArgumentsAndLevelsDecideWhatIsWritten) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix());
    ASSERT_EQ(trace.create_result(), 0);
    alignas(8) char not_live[sizeof(void*) * 8] = "DEAD";
    auto* fake = reinterpret_cast<TraceInstance*>(not_live);
    EXPECT_CODE(KTLORSYM_SetLogLevel(-2), 0, 2, 1);
    EXPECT_CODE(KTLORSYM_SetLogLevel(1001), 0, 2, 1);
    EXPECT_CODE(KTLORSYM_GetLogLevel(), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_SetLogLevel(-1), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_SetLogLevel(1000), -1, 0, 0);
    EXPECT_CODE(KTLORSYM_SetLogLevel(0), 1000, 0, 0);
    EXPECT_CODE(KTLORSYM_SetFileThreshold(1001), 0, 4, 1);
    EXPECT_CODE(KTLORSYM_SetInstanceLogLevel(trace.get(), 30), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_SetInstanceLogLevel(trace.get(), 1001), 30, 15, 1);
    EXPECT_CODE(KTLORSYM_GetInstanceLogLevel(trace.get()), 30, 0, 0);
    EXPECT_CODE(KTLORSYM_SetInstanceLogLevel(nullptr, 5), 0, 15, 1);
    EXPECT_CODE(KTLORSYM_SetInstanceLogLevel(fake, 5), 0, 15, 11);
    EXPECT_CODE(KTLORSYM_GetInstanceLogLevel(fake), 0, 16, 11);
    EXPECT_CODE(KTLORSYM_PutInstanceLine(fake, 0, "x"), -1, 21, 11);
    EXPECT_CODE(KTLORSYM_GetLockWaitTime(), 10, 0, 0);
    EXPECT_CODE(KTLORSYM_SetLockWaitTime(-5), 10, 0, 0);
    EXPECT_CODE(KTLORSYM_GetLockWaitTime(), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_SetLockWaitTime(10), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_SetInstanceLockWaitTime(nullptr, 25), 10, 0, 0);
    EXPECT_CODE(KTLORSYM_GetInstanceLockWaitTime(nullptr), 25, 0, 0);
    EXPECT_CODE(KTLORSYM_SetInstanceLockWaitTime(nullptr, 10), 25, 0, 0);
    EXPECT_CODE(KTLORSYM_GetInstanceLockWaitTime(trace.get()), -1, 45, 28);
    EXPECT_CODE(KTLORSYM_GetLockRetryTimes(), -1, 43, 28);
    EXPECT_CODE(KTLORSYM_SetInstanceLockRetryTimes(trace.get(), 3), -1, 48, 28);
    // Kept for old callers: always 0, the record untouched.
    EXPECT_CODE(KTLORSYM_PutToShm(0, nullptr), 0, 48, 28);
    EXPECT_CODE(KTLORSYM_ChFileAttr(-1), 0, 48, 28);

    EXPECT_CODE(KTLORSYM_SetInstanceLogLevel(trace.get(), -1), 30, 0, 0);
    EXPECT_CODE(KTLORSYM_PutInstanceLine(trace.get(), 0, "level -1 drops everything"), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_SetInstanceLogLevel(trace.get(), 10), -1, 0, 0);
    EXPECT_CODE(KTLORSYM_SetLogLevel(5000), 0, 2, 1);
    // A message above the level is dropped and leaves the record alone.
    EXPECT_CODE(KTLORSYM_PutInstanceWithId(trace.get(), 11, "ID", "dropped"), 0, 2, 1);
    EXPECT_CODE(KTLORSYM_PutInstanceWithId(trace.get(), 10, "ID", "kept"), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_SetInstanceLogLevel(trace.get(), 1000), 10, 0, 0);
    EXPECT_CODE(KTLORSYM_SetInstanceFileThreshold(trace.get(), 20), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_PutInstanceLine(trace.get(), 19, "below the file threshold"), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_PutInstanceLine(trace.get(), 20, "at, not echoed"), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_SetInstanceFileThreshold(trace.get(), 0), 20, 0, 0);
    // Level 0 passes the echo threshold 0: the unopened channel leaves cause 11, result 0.
    EXPECT_CODE(KTLORSYM_PutInstanceLine(trace.get(), 0, "echoed"), 0, 0, 11);
    const auto lines = ktl_test::read_lines(dir.path() / "trace1.log");
    ASSERT_EQ(lines.size(), ktl_test::kHeaderLines + 3);
    EXPECT_EQ(lines[2].substr(68), "ID                    kept");
    EXPECT_EQ(lines[3].substr(68), "at, not echoed");
    EXPECT_EQ(lines[4].substr(68), "echoed");
}

TEST(Codes, CallsLeaveFunctionAndCauseThroughTheLifecycle) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix("inst"));
    const std::string prefix = dir.prefix("made"), lib = dir.prefix("lib");
    const TraceFileConfig config{4096, 2, lib.c_str()};
    const TraceFileConfig good{16777216, 64, prefix.c_str()};
    const TraceFileConfig too_big{16777217, 1, prefix.c_str()};
    const TraceFileConfig too_many{4096, 65, prefix.c_str()};
    TraceInstance* handle = nullptr;
    // A refused configuration hands back no instance, whatever the handle held before.
    const auto create = [&](std::int32_t size, std::int32_t count, const char* at) {
        const TraceFileConfig asked{size, count, at};
        TraceInstance* made = reinterpret_cast<TraceInstance*>(&dir);
        const int result = KTLORSYM_CreateInstance(&made, &asked, "P");
        EXPECT_EQ(result == 0 ? KTLORSYM_DeleteInstance(made) : 0, 0);
        EXPECT_TRUE(result == 0 || made == nullptr);
        return result;
    };
    const char* p = prefix.c_str();
    const std::string long_prefix = (dir.path() / std::string(515, 'p')).string();
    const std::string backup = (dir.path() / "saved" / "b.log").string();
    EXPECT_CODE(create(4095, 1, p), -1, 19, 1);
    EXPECT_CODE(create(4096, 1, p), 0, 0, 0);
    EXPECT_CODE(create(2147483647, 16, p), 0, 0, 0);
    EXPECT_CODE(create(4096, 17, p), -1, 19, 1);
    EXPECT_CODE(create(4096, 0, p), -1, 19, 1);
    EXPECT_CODE(create(4096, 1, nullptr), -1, 19, 1);
    EXPECT_CODE(create(4096, 1, long_prefix.c_str()), -1, 19, 1);
    EXPECT_CODE(KTLORSYM_PutInstanceLine(trace.get(), 1001, "x"), -1, 21, 1);
    EXPECT_CODE(KTLORSYM_PutInstanceWithId(trace.get(), static_cast<unsigned>(-1), "I", "x"), -1,
                22, 1);
    EXPECT_CODE(KTLORSYM_PutInstanceWithIdEx(trace.get(), 0, "P", "I", nullptr), -1, 23, 1);
    EXPECT_CODE(KTLORSYM_PutInstanceWithMsgType(nullptr, 0, "P", "I", "T", "x"), -1, 33, 1);
    EXPECT_CODE(KTLORSYM_InstanceTraceBackup(nullptr, "x"), -1, 25, 1);
    EXPECT_CODE(KTLORSYM_DeleteInstance(nullptr), -1, 20, 1);
    EXPECT_CODE(KTLORSYM_CreateInstance(nullptr, nullptr, "P"), -1, 19, 1);
    EXPECT_CODE(KTLORSYM_Initialize(nullptr, "P"), -1, 6, 1);
    EXPECT_CODE(KTLORSYM_TraceBackupM("x", 3), -1, 49, 1);
    // Managed writers: options, limits, and prefixes too long as given (513) or once made
    // absolute (a relative 512).
    const std::string relative_512(512, 'r');
    const TraceFileConfig long_relative{4096, 1, relative_512.c_str()};
    const std::string absolute_513 = (dir.path() / std::string(513, 'a')).string().substr(0, 513);
    const TraceFileConfig long_absolute{4096, 1, absolute_513.c_str()};
    EXPECT_CODE(KTLORSYM_InitializeM(&good, "P", 64), -1, 39, 1);
    EXPECT_CODE(KTLORSYM_InitializeM(&good, "P", -1), -1, 39, 1);
    EXPECT_CODE(KTLORSYM_InitializeM(&too_big, "P", 0), -1, 39, 1);
    EXPECT_CODE(KTLORSYM_InitializeM(&long_absolute, "P", 0), -1, 39, 1);
    EXPECT_CODE(KTLORSYM_InitializeM(&long_relative, "P", 63), -1, 39, 1);
    EXPECT_CODE(KTLORSYM_CreateInstanceM(&handle, &too_many, "P", 0), -1, 40, 1);
    EXPECT_CODE(KTLORSYM_CreateInstanceM(&handle, &long_relative, "P", 0), -1, 40, 1);
    EXPECT_CODE(KTLORSYM_CreateInstanceM(nullptr, &good, "P", 0), -1, 40, 1);
    // Library-level calls before, during and after the library's writer.
    EXPECT_CODE(KTLORSYM_PutLine(0, "x"), -1, 8, 11);
    EXPECT_CODE(KTLORSYM_PutWithMsgTypeAndTid(0, "P", "T", "I", "T", "x"), -1, 36, 11);
    EXPECT_CODE(KTLORSYM_FileBufferFlush(), -1, 11, 11);
    EXPECT_CODE(KTLORSYM_Finalize(), -1, 7, 11);
    EXPECT_CODE(KTLORSYM_Initialize(&config, nullptr), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_SetLogLevel(1000), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_Initialize(&config, "P"), -1, 6, 11);
    EXPECT_CODE(KTLORSYM_GetLockWaitTime(), -1, 41, 28);
    EXPECT_CODE(KTLORSYM_SetLockWaitTime(5), -1, 42, 28);
    EXPECT_CODE(KTLORSYM_PutLine(1001, "x"), -1, 8, 1);
    EXPECT_CODE(KTLORSYM_PutLine(1000, "written"), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_FileBufferFlush(), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_TraceBackupM(backup.c_str(), 16), 0, 0, 0);
    // With echo on, a line that the file threshold keeps from the file goes to the console.
    KTLORSYM_SetFileThreshold(-1);
    KTLORSYM_Threshold.ShmThreshold = 1000;
    KTLORSYM_Threshold.Echo = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KTLORSYM_PutLine(0, "to the console"), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    KTLORSYM_Threshold.Echo = 0;
    KTLORSYM_Threshold.ShmThreshold = 0;
    KTLORSYM_SetFileThreshold(0);
#if defined(_WIN32)
    // The capture reads its file back in text mode, which turns CR LF into LF.
    EXPECT_EQ(out.substr(std::min<std::size_t>(68, out.size())), "to the console\n");
#else
    EXPECT_EQ(out.substr(std::min<std::size_t>(68, out.size())), "to the console\r\n");
#endif
    EXPECT_CODE(KTLORSYM_Finalize(), 0, 0, 0);
    EXPECT_CODE(KTLORSYM_Finalize(), -1, 7, 11);
    EXPECT_CODE(KTLORSYM_SetLogLevel(0), 1000, 0, 0);
    EXPECT_EQ(handle, nullptr);
    const auto lines = ktl_test::read_lines(dir.path() / "lib1.log");
    ASSERT_EQ(lines.size(), ktl_test::kHeaderLines + 1);
    EXPECT_EQ(lines[2].substr(33, 16), std::string(16, ' '));  // no program id given
    EXPECT_EQ(lines[2].substr(68), "written");                 // and nothing of the echo
    EXPECT_EQ(ktl_test::read_text(backup), ktl_test::read_text(dir.path() / "lib1.log"));
}

}  // namespace
