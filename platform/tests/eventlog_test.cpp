#include "plat/eventlog.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "posix_test_support.h"
#endif

namespace {

#if defined(_WIN32)
constexpr const char* kNoDaemon =
    "Windows has no syslog daemon; its event log is reached through the calls tested below";

// Under Wine the event log keeps nothing, so what is tested is the call sequence: every
// event type with and without insertion strings, and the calls refused before reaching it.
TEST(EventSource, ReportsEveryTypeAndRefusesBadCalls) {
    plat::EventSource source;
    ASSERT_TRUE(source.open("KTLOR Trace").ok());
    const char* strings[] = {"KTL-OR", "0000002A", "text"};
    for (const plat::EventType type :
         {plat::EventType::error, plat::EventType::warning, plat::EventType::information}) {
        plat::EventReport event;
        event.type = type;
        event.event_id = 1;
        event.strings = strings;
        event.string_count = 3;
        EXPECT_TRUE(source.report(event).ok());
        event.event_id = 2;
        event.string_count = 0;
        EXPECT_TRUE(source.report(event).ok());
    }
    plat::EventReport bad;
    bad.string_count = 1;
    EXPECT_EQ(source.report(bad).error, static_cast<plat::ErrorCode>(ERROR_INVALID_PARAMETER));
    const char* with_null[] = {"a", nullptr};
    bad.strings = with_null;
    bad.string_count = 2;
    EXPECT_EQ(source.report(bad).error, static_cast<plat::ErrorCode>(ERROR_INVALID_PARAMETER));
    bad.string_count = 0x10000;
    EXPECT_EQ(source.report(bad).error, static_cast<plat::ErrorCode>(ERROR_INVALID_PARAMETER));

    // Opening again replaces the connection.
    ASSERT_TRUE(source.open("Orvalis").ok());
    EXPECT_TRUE(source.is_open());
    source.close();
    EXPECT_FALSE(source.is_open());
}
#endif

TEST(EventSource, ClosedSourceRefusesToReport) {
    plat::EventSource source;
    plat::EventReport event;
    event.text = "x";
    EXPECT_EQ(source.report(event).error, plat::invalid_handle_error());
    ASSERT_TRUE(source.open("Test").ok());
    source.close();
    source.close();
    EXPECT_EQ(source.report(event).error, plat::invalid_handle_error());
}

#if defined(_WIN32)
TEST(EventSourceTest, OneDatagramPerEventInTheSyslogForm) {
    GTEST_SKIP() << kNoDaemon;
}

TEST(EventSourceTest, FailsAtOnceWhenNoDaemonTakesTheEvent) {
    GTEST_SKIP() << kNoDaemon;
}
#else
class EventSourceTest : public ::testing::Test {
  protected:
    plat::Status report(plat::EventSource& source, plat::EventType type, int facility,
                        const char* text) {
        plat::EventReport event;
        event.type = type;
        event.event_id = 2;
        event.text = text;
        event.facility = facility;
        return source.report(event);
    }

    plat_test::ScratchDir dir_;
    plat_test::ScopedEnv env_{"VARMOTH_SYSLOG_SOCKET", dir_ / "log.sock"};
};

TEST_F(EventSourceTest, OneDatagramPerEventInTheSyslogForm) {
    plat_test::DatagramReceiver daemon(dir_ / "log.sock");
    ASSERT_TRUE(daemon.bound());
    plat::EventSource source;
    ASSERT_TRUE(source.open("KTLOR Trace:[x]/y").ok());

    struct Case {
        plat::EventType type;
        int facility;
        int priority;
    };
    const Case cases[] = {
        {plat::EventType::error, 24, 27},       {plat::EventType::warning, 24, 28},
        {plat::EventType::information, 24, 30}, {plat::EventType::information, 8, 14},
        {plat::EventType::error, 0, 11},        {plat::EventType::error, 5, 11},
        {plat::EventType::error, 1000, 11},     {plat::EventType::warning, 23 << 3, 188},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(report(source, c.type, c.facility, "KTL-OR [0000002A]: text\r\n").ok());
        const auto datagram = daemon.receive();
        ASSERT_TRUE(datagram.has_value());
        const auto line = plat_test::parse_syslog(*datagram);
        ASSERT_TRUE(line.has_value()) << *datagram;
        EXPECT_EQ(line->priority, c.priority) << c.facility;
        EXPECT_EQ(line->tag, "KTLOR_Trace__x__y");
        EXPECT_EQ(line->pid, static_cast<long>(getpid()));
        EXPECT_EQ(line->message, "KTL-OR [0000002A]: text");
    }
}

TEST_F(EventSourceTest, FailsAtOnceWhenNoDaemonTakesTheEvent) {
    plat::EventSource source;
    ASSERT_TRUE(source.open("Test").ok());
    EXPECT_EQ(report(source, plat::EventType::error, 8, "x").error, ENOENT);
    {
        // The socket file of a daemon that has gone.
        const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, (dir_ / "log.sock").c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        close(fd);
        EXPECT_EQ(report(source, plat::EventType::error, 8, "x").error, ECONNREFUSED);
    }

    // A daemon that does not read: once its queue is full the report fails, never waits.
    plat_test::DatagramReceiver slow(dir_ / "log.sock", 4096);
    const std::string text(900, 'x');
    const auto started = std::chrono::steady_clock::now();
    plat::Status status;
    for (int i = 0; i < 100000 && status.ok(); ++i) {
        status = report(source, plat::EventType::information, 8, text.c_str());
    }
    EXPECT_EQ(status.error, EAGAIN);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}
#endif

}  // namespace
