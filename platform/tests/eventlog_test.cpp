#include "plat/eventlog.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>

#include "posix_test_support.h"
#endif

namespace {

// POSIX: one datagram per event to the daemon's socket; a report fails at once, never waits,
// when nothing takes the event. Windows has no syslog daemon, and under Wine the event log
// keeps nothing, so what is tested there is the call sequence: every event type with and
// without insertion strings, and the calls refused before reaching it.
TEST(EventSource, ReportsWhileOpenAndNeverWaits) {
    plat::EventSource source;
    plat::EventReport event;
    event.text = "x";
    EXPECT_EQ(source.report(event).error, plat::invalid_handle_error());
    ASSERT_TRUE(source.open("KTLOR Trace").ok());
#if defined(_WIN32)
    const char* strings[] = {"KTL-OR", "0000002A", "text"};
    for (const plat::EventType type :
         {plat::EventType::error, plat::EventType::warning, plat::EventType::information}) {
        for (const std::size_t count : {3, 0}) {
            event.type = type;
            event.event_id = count == 0 ? 2 : 1;
            event.strings = strings;
            event.string_count = count;
            EXPECT_TRUE(source.report(event).ok());
        }
    }
    // No strings for a count, a null string, and more strings than the call takes.
    plat::EventReport bad;
    const char* with_null[] = {"a", nullptr};
    for (const std::size_t count : {1, 2, 0x10000}) {
        bad.strings = count == 1 ? nullptr : with_null;
        bad.string_count = count;
        EXPECT_EQ(source.report(bad).error, static_cast<plat::ErrorCode>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_TRUE(source.open("Orvalis").ok()) << "opening again replaces the connection";
#else
    plat_test::ScratchDir dir;
    const std::string socket_path = dir / "log.sock";
    plat_test::ScopedEnv env("VARMOTH_SYSLOG_SOCKET", socket_path);
    ASSERT_TRUE(source.open("KTLOR Trace:[x]/y").ok()) << "opening again replaces the connection";
    const auto report = [&](plat::EventType type, int facility, const char* text) {
        event.type = type;
        event.event_id = 2;
        event.text = text;
        event.facility = facility;
        return source.report(event);
    };
    EXPECT_EQ(report(plat::EventType::error, 8, "x").error, ENOENT);
    {
        // The socket file of a daemon that has gone.
        plat_test::DatagramReceiver gone(dir / "gone.sock");
        std::filesystem::create_hard_link(gone.path(), socket_path);
    }
    EXPECT_EQ(report(plat::EventType::error, 8, "x").error, ECONNREFUSED);
    {
        plat_test::DatagramReceiver daemon(socket_path);
        ASSERT_TRUE(daemon.bound());
        // Type, facility, and the priority the datagram carries.
        const std::tuple<plat::EventType, int, int> cases[] = {
            {plat::EventType::error, 24, 27},       {plat::EventType::warning, 24, 28},
            {plat::EventType::information, 24, 30}, {plat::EventType::information, 8, 14},
            {plat::EventType::error, 0, 11},        {plat::EventType::error, 5, 11},
            {plat::EventType::error, 1000, 11},     {plat::EventType::warning, 23 << 3, 188},
        };
        for (const auto& [type, facility, priority] : cases) {
            ASSERT_TRUE(report(type, facility, "KTL-OR [0000002A]: text\r\n").ok());
            const auto datagram = daemon.receive();
            ASSERT_TRUE(datagram.has_value());
            const auto line = plat_test::parse_syslog(*datagram);
            ASSERT_TRUE(line.has_value()) << *datagram;
            EXPECT_EQ(line->priority, priority) << facility;
            EXPECT_EQ(line->tag, "KTLOR_Trace__x__y");
            EXPECT_EQ(line->pid, static_cast<long>(getpid()));
            EXPECT_EQ(line->message, "KTL-OR [0000002A]: text");
        }
    }
    // A daemon that does not read: once its queue is full the report fails, never waits.
    plat_test::DatagramReceiver slow(socket_path, 4096);
    const std::string text(900, 'x');
    const auto started = std::chrono::steady_clock::now();
    plat::Status status;
    for (int i = 0; i < 100000 && status.ok(); ++i) {
        status = report(plat::EventType::information, 8, text.c_str());
    }
    EXPECT_EQ(status.error, EAGAIN);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
#endif
    source.close();
    source.close();
    EXPECT_FALSE(source.is_open());
    EXPECT_EQ(source.report(event).error, plat::invalid_handle_error());
}

}  // namespace
