// Message windows and the service host on Win32: the hidden window's messages, timers on the
// message clock, posting a registered message by class name, and the dispatcher in the
// foreground and from a console.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/service.h"
#include "plat/time.h"
#include "plat/window.h"
#include "window_test_support.h"

namespace {

using plat_test::FastClock;
using plat_test::kClass;
using plat_test::WindowThread;

TEST(Win32Window, SentMessagesWaitPostedOnesKeepTheirOrderAndDestroyedWindowsAnswerNothing) {
    const std::uint32_t reload = plat::register_window_message("WM_RELOADCONFIG");
    EXPECT_GE(reload, 0xC000u);
    EXPECT_EQ(plat::register_window_message("wm_reloadconfig"), reload);
    EXPECT_EQ(plat::register_window_message(std::string(256, 'x').c_str()), 0u);

    WindowThread w;
    EXPECT_EQ(w.window.send(plat::kWmUser + 1, 0, 0), plat::kWmUser + 2) << "the result";
    ASSERT_TRUE(w.window.post(plat::kWmUser + 5, 0, 0));
    ASSERT_TRUE(w.window.post(reload, 0, 0));
    ASSERT_TRUE(w.wait_for(3));
    EXPECT_EQ(plat::find_window("plattestwindow", nullptr), &w.window) << "any case";
    EXPECT_EQ(plat::find_window(kClass, "other title"), nullptr);
    EXPECT_FALSE(plat::unregister_window_class(kClass)) << "a window of it lives";
    EXPECT_EQ(w.window.send(plat::kWmClose, 0, 0), plat::kWmClose + 1);
    EXPECT_FALSE(w.window.exists());
    EXPECT_EQ(w.window.send(plat::kWmUser, 0, 0), 0);
    EXPECT_FALSE(w.window.post(plat::kWmUser, 0, 0));
    EXPECT_FALSE(w.window.destroy());
    EXPECT_EQ(plat::find_window(kClass, nullptr), nullptr);
    const std::vector<std::uint32_t> expected = {plat::kWmUser + 1, plat::kWmUser + 5, reload,
                                                 plat::kWmClose};
    EXPECT_EQ(w.seen.all(), expected) << "system messages stay with the default procedure";
}

TEST(Win32Window, TimersRunOnTheMessageClockUntilKilled) {
    FastClock fast;
    plat::set_message_clock(&fast);
    {
        WindowThread w;
        // 30 s of the fast clock are 0.3 s of real time.
        ASSERT_TRUE(w.window.set_timer(11, 30000));
        ASSERT_TRUE(w.wait_for(2));
        EXPECT_TRUE(w.window.kill_timer(11));
        EXPECT_FALSE(w.window.kill_timer(12));
        const std::size_t fired = w.seen.all().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        EXPECT_EQ(w.seen.all().size(), fired) << "a killed timer stays quiet";
        EXPECT_EQ(w.seen.wparams[0], 11u);
    }
    plat::set_message_clock(nullptr);
}

TEST(Win32Window, RegisteredMessagesArePostedByClassNameAndOneWindowPerClassAndTitle) {
    WindowThread w("title");
    plat::Window second;
    EXPECT_FALSE(second.create(plat::module_instance(), kClass, "title")) << "taken";
    EXPECT_FALSE(second.create(plat::module_instance(), "NoSuchClass", nullptr));
    ASSERT_TRUE(plat::post_message_to_window(kClass, "title", "WM_RELOADCONFIG"));
    ASSERT_TRUE(w.wait_for(1));
    EXPECT_EQ(w.seen.all()[0], plat::register_window_message("WM_RELOADCONFIG"));
    const plat::Status missing = plat::post_message_to_window("NoSuchClass", nullptr, "X");
    EXPECT_EQ(plat::classify_error(missing.error), plat::ErrorKind::not_found);
}

// The foreground host: a stop raised before the handler exists is handed over once it does.
std::atomic<int> g_stops{0};
HANDLE g_stop_event = nullptr;

void stop_handler(std::uint32_t control) {
    if (control == plat::kServiceControlStop) {
        ++g_stops;
        SetEvent(g_stop_event);
    }
}

void foreground_main() {
    std::raise(SIGTERM);
    const plat::ServiceStatusHandle handle =
        plat::register_service_ctrl_handler("TESTSVC", stop_handler);
    plat::ServiceStatus status;
    status.current_state = plat::kServiceRunning;
    EXPECT_TRUE(plat::set_service_status(handle, status));
    EXPECT_EQ(WaitForSingleObject(g_stop_event, 5000), WAIT_OBJECT_0) << "the stop never came";
}

void never_runs() {
    ADD_FAILURE() << "a service main without a service manager";
}

TEST(Win32ServiceHost, ForegroundStopsOnAnEarlySignalAndAConsoleStartIsRefused) {
    plat::prepare_service_process();
    g_stop_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const plat::ServiceTableEntry table[] = {{"TESTSVC", foreground_main}, {nullptr, nullptr}};
    plat::ServiceHostOptions foreground;
    foreground.foreground = true;
    EXPECT_TRUE(plat::start_service_ctrl_dispatcher(table, foreground));
    EXPECT_EQ(g_stops.load(), 1);
    CloseHandle(g_stop_event);

    const plat::ServiceTableEntry console[] = {{"TESTSVC", never_runs}, {nullptr, nullptr}};
    EXPECT_EQ(plat::start_service_ctrl_dispatcher(console, {}).error,
              static_cast<plat::ErrorCode>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

}  // namespace
