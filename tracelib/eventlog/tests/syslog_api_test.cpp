#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <tuple>

#include "ktlorsym_syslog.h"
#include "syslog_test_support.h"

using namespace syslog_test;

namespace {

constexpr int kDaemon = 24;
constexpr int kUser = 8;

TEST_F(SysLogTest, ServiceSequenceSendsOneEventPerPut) {
    KTLORSYM_OpenSysLog("KTL-OR", 3, kDaemon);
    ASSERT_EQ(KTLORSYM_SetEventSrcName("Orvalis"), 0);
    const std::string prefix = "KTL-OR [" + process_id_text() + "]: ";
    const std::string tid = "[" + hex8(thread_id()) + "] ";

    struct Case {
        int priority;
        int syslog_priority;
    };
    for (const Case c : {Case{6, kDaemon | 6}, Case{5, kDaemon | 4}, Case{3, kDaemon | 3},
                         Case{4, kDaemon | 4}, Case{0, kDaemon | 3}}) {
        ASSERT_EQ(KTLORSYM_PutToSysLogWithTid(c.priority, "KTLOR-061-I", "The service started."),
                  0);
        if (!kEventsReadable) {
            continue;
        }
        const auto event = next_event();
        EXPECT_EQ(event.priority, c.syslog_priority) << c.priority;
        EXPECT_EQ(event.tag, "Orvalis");
        EXPECT_EQ(event.pid, static_cast<long>(process_id()));
        EXPECT_EQ(event.message, prefix + "KTLOR-061-I" + tid + "The service started.");
    }
    ASSERT_EQ(KTLORSYM_PutToSysLog(6, "plain"), 0);
    if (kEventsReadable) {
        EXPECT_EQ(next_event().message, prefix + "plain");
    }
}

TEST_F(SysLogTest, MaskFiltersByPriorityModulo32) {
    SKIP_UNLESS_EVENTS_READABLE();
    KTLORSYM_OpenSysLog("id", 0, kUser);
    EXPECT_EQ(KTLORSYM_PutToSysLog(7, "dropped by the default mask"), 0);
    EXPECT_TRUE(idle());

    EXPECT_EQ(KTLORSYM_SetLogMask(0xFF), 127);
    ASSERT_EQ(KTLORSYM_PutToSysLog(39, "priority 7 again"), 0);  // 39 mod 32
    EXPECT_EQ(next_event().priority, kUser | 3);                 // 7 and above: error
    EXPECT_EQ(KTLORSYM_PutToSysLog(-1, "bit 31 is clear"), 0);
    EXPECT_TRUE(idle());

    KTLORSYM_SetLogMask(static_cast<int>(0x80000000u));
    ASSERT_EQ(KTLORSYM_PutToSysLog(-1, "negative"), 0);
    EXPECT_EQ(next_event().priority, kUser | 3);
}

TEST_F(SysLogTest, IdentChoosesTheTemplateAndIsCutToSixteenBytes) {
    SKIP_UNLESS_EVENTS_READABLE();
    Output output;
    ASSERT_EQ(output.created(), 0);
    const std::string pid = process_id_text();
    ASSERT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 6, "ID", "text"), 0);
    auto event = next_event();
    EXPECT_EQ(event.tag, "KTLOR_Trace");  // the default source name, made a valid tag
    EXPECT_EQ(event.message, "[" + pid + "]: ID text");

    ASSERT_EQ(KTLORSYM_OpenSysLogInstance(output.get(), "ABCDEFGHIJKLMNOPQRST", 0, kUser), 0);
    ASSERT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 6, "", "text"), 0);
    EXPECT_EQ(next_event().message, "ABCDEFGHIJKLMNOP [" + pid + "]: text");

    // A two-byte character across the limit is left out whole.
    ASSERT_EQ(KTLORSYM_OpenSysLogInstance(output.get(), "ABCDEFGHIJKLMNO\xC3\xA9", 0, kUser), 0);
    ASSERT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 6, "ID", ""), 0);
    EXPECT_EQ(next_event().message, "ABCDEFGHIJKLMNO [" + pid + "]: ID");
}

TEST_F(SysLogTest, MessageIsCutAt1023BytesOnACharacterBoundary) {
    SKIP_UNLESS_EVENTS_READABLE();
    const std::string pid = "[" + process_id_text() + "]: ";
    ASSERT_EQ(KTLORSYM_PutToSysLog(6, std::string(1100, 'x').c_str()), 0);
    EXPECT_EQ(next_event().message, pid + std::string(1023, 'x'));

    ASSERT_EQ(KTLORSYM_PutToSysLog(6, (std::string(1022, 'x') + "\xC3\xA9").c_str()), 0);
    EXPECT_EQ(next_event().message, pid + std::string(1022, 'x'));

    // A piece that reaches the limit ends the message, even when its cut left a byte free.
    const std::string id = std::string(1022, 'm') + "\xC3\xA9";
    ASSERT_EQ(KTLORSYM_PutToSysLogWithTid(6, id.c_str(), "text"), 0);
    EXPECT_EQ(next_event().message, pid + std::string(1022, 'm'));

    const std::string text(1100, 't');
    ASSERT_EQ(KTLORSYM_PutToSysLogWithTid(6, "ID", text.c_str()), 0);
    const std::string head = "ID[" + hex8(thread_id()) + "] ";
    EXPECT_EQ(next_event().message, pid + head + std::string(1023 - head.size(), 't'));
}

TEST_F(SysLogTest, ThreadIdFormatsAndTheirLimits) {
    const unsigned long tid = thread_id();
    char expected[64];
    auto message = [&] {
        EXPECT_EQ(KTLORSYM_PutToSysLogWithTid(6, "I", "t"), 0);
        const std::string m = next_event().message;
        return m.substr(m.find("]: ") + 3);
    };
    EXPECT_EQ(KTLORSYM_SetSysLogTidFormat(3, nullptr, nullptr), 1);
    EXPECT_EQ(KTLORSYM_SetSysLogTidFormat(4, "12345678", nullptr), 1);
    EXPECT_EQ(KTLORSYM_SetSysLogTidFormat(4, nullptr, "12345678"), 1);
    SKIP_UNLESS_EVENTS_READABLE();

    ASSERT_EQ(KTLORSYM_SetSysLogTidFormat(8, nullptr, nullptr), 0);
    std::snprintf(expected, sizeof expected, "I[%016lX] t", tid);
    EXPECT_EQ(message(), expected);
    ASSERT_EQ(KTLORSYM_SetSysLogTidFormat(2, "<123456", ">"), 0);
    std::snprintf(expected, sizeof expected, "I<123456%lu>t", tid);
    EXPECT_EQ(message(), expected);
    ASSERT_EQ(KTLORSYM_SetSysLogTidFormat(1, "", ""), 0);
    std::snprintf(expected, sizeof expected, "I%lXt", tid);
    EXPECT_EQ(message(), expected);

    KTLORSYM_CloseSysLog();  // back to type 4, "[" and "] "
    std::snprintf(expected, sizeof expected, "I[%08lX] t", tid);
    EXPECT_EQ(message(), expected);
}

TEST_F(SysLogTest, InstanceOptionsSwitchThreadIdMode) {
    Output output;
    const std::string tid = "[" + hex8(thread_id()) + "] ";
    EXPECT_EQ(KTLORSYM_OpenSysLogInstance(output.get(), "X", 0x20000, kUser), 1);
    SKIP_UNLESS_EVENTS_READABLE();
    ASSERT_EQ(KTLORSYM_OpenSysLogInstance(output.get(), "", KTLORSYM_SYSLOG_OPTION_TID | 3, kUser),
              0);
    ASSERT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 6, "ID", "text"), 0);
    std::string m = next_event().message;
    EXPECT_EQ(m.substr(m.find("]: ") + 3), "ID" + tid + "text");

    ASSERT_EQ(KTLORSYM_CloseSysLogInstance(output.get()), 0);
    for (const auto& [id, text, expected] :
         {std::tuple{"ID", "text", "ID text"}, {"", "text", "text"}, {"ID", "", "ID"}}) {
        ASSERT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 6, id, text), 0);
        m = next_event().message;
        EXPECT_EQ(m.substr(m.find("]: ") + 3), expected);
    }
    ASSERT_EQ(KTLORSYM_PutToSysLogWithTidInstance(output.get(), 6, nullptr, nullptr), 0);
    m = next_event().message;
    EXPECT_EQ(m.substr(m.find("]: ") + 3), tid);
}

TEST_F(SysLogTest, UnregisteredSourceIsRefusedAndFailsEveryPut) {
    EXPECT_EQ(KTLORSYM_SetEventSrcName("NotRegistered"), -1);
    EXPECT_EQ(KTLORSYM_SetEventSrcName(""), -1);
    EXPECT_EQ(KTLORSYM_SetEventSrcName(std::string(65, 'a').c_str()), -1);
    EXPECT_EQ(KTLORSYM_SetEventSrcName(nullptr), -1);
    ASSERT_EQ(KTLORSYM_PutToSysLog(6, "still the old source"), 0);
    if (kEventsReadable) {
        EXPECT_EQ(next_event().tag, "KTLOR_Trace");
    }

    // A source that goes away is noticed at the next change of configuration.
    register_source("Temporary");
    Output output;
    ASSERT_EQ(KTLORSYM_SetEventSrcNameInstance(output.get(), "temporary"), 0);
    ASSERT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 6, "", "one"), 0);
    if (kEventsReadable) {
        EXPECT_EQ(next_event().tag, "temporary");
    }
    unregister("Temporary");
    KTLORSYM_SetLogMaskInstance(output.get(), 127);
    const int result = KTLORSYM_PutToSysLogInstance(output.get(), 6, "", "two");
    EXPECT_EQ(result, tagged(103, kNotFound));
    EXPECT_EQ(KTLORSYM_SysLogErrApi(result), 103);
    EXPECT_EQ(KTLORSYM_SysLogErrCode(result), kNotFound);
    // Even a masked priority fails: the source is tested first.
    EXPECT_EQ(KTLORSYM_PutToSysLogInstance(output.get(), 7, "", "masked"), tagged(103, kNotFound));
    EXPECT_EQ(KTLORSYM_SetEventSrcNameInstance(output.get(), "Gone"), 1);

    // The plain puts hand back the system error alone.
    register_source("Temporary");
    ASSERT_EQ(KTLORSYM_SetEventSrcName("Temporary"), 0);
    unregister("Temporary");
    KTLORSYM_SetLogMask(127);
    EXPECT_EQ(KTLORSYM_PutToSysLog(6, "x"), kNotFound);
    if (kEventsReadable) {
        EXPECT_TRUE(idle());
    }
}

TEST_F(SysLogTest, PutFailsAtOnceWhenNoDaemonListens) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no syslog daemon, and a failing event log cannot be staged "
                    "under Wine";
#else
    Output output;
    plat_test::ScopedEnv nowhere("VARMOTH_SYSLOG_SOCKET", dir_ / "nobody.sock");
    const int result = KTLORSYM_PutToSysLogInstance(output.get(), 3, "ID", "text");
    EXPECT_EQ(KTLORSYM_SysLogErrApi(result), 104);
    EXPECT_EQ(KTLORSYM_SysLogErrCode(result), ENOENT);
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

TEST_F(SysLogTest, BadInstancesAreRefusedWithoutBeingTouched) {
    SysLogInstance* none = nullptr;
    alignas(8) unsigned char fake[256];
    std::memset(fake, 0, sizeof fake);
    std::memcpy(fake, "ZUNX", 5);
    for (SysLogInstance* bad : {none, reinterpret_cast<SysLogInstance*>(fake)}) {
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
    if (kEventsReadable) {
        EXPECT_TRUE(idle());
    }

    Output output;
    EXPECT_EQ(KTLORSYM_SetLogMaskInstance(output.get(), 5), 127);
    EXPECT_EQ(KTLORSYM_SetLogMaskInstance(output.get(), 7), 5);
}

TEST(SysLogDecoders, SplitResultsIntoStepAndError) {
    struct Case {
        int result;
        int step;
        int error;
    };
    const Case cases[] = {
        {0, 0, 0},
        {1, 1, 87},
        {2, -1, -1},  // no result of this library
        {0x00FFFFFF, -1, -1},
        {tagged(104, 5), 104, 5},
        {tagged(103, 0), 103, -1},
        {tagged(101, 12), 101, 12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KTLORSYM_SysLogErrApi(c.result), c.step) << c.result;
        EXPECT_EQ(KTLORSYM_SysLogErrCode(c.result), c.error) << c.result;
    }
}

}  // namespace
