// Message windows and the service host: sent and posted messages, timers on the message clock
// and registered messages posted by class name on both platforms; on POSIX also the window's
// socket (what it drops, whom it trusts) and the dispatcher's signals and notify reports, on
// Win32 the foreground host and a start from a console.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "plat/service.h"
#include "plat/thread.h"
#include "plat/time.h"
#include "plat/window.h"
#include "scoped_env.h"
#include "scratch_dir.h"
#include "window_test_support.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>

#include <cstring>

#include "child_process.h"
#include "posix_test_support.h"
#endif

namespace {

using plat_test::FastClock;
using plat_test::kClass;
using plat_test::ScopedEnv;
using plat_test::WindowThread;
using Messages = std::vector<std::uint32_t>;

class WindowTest : public ::testing::Test {
  protected:
    plat_test::ScratchDir dir_;
    ScopedEnv runtime_{"VARMOTH_RUNTIME_DIR", dir_ / "run"};
};

TEST_F(WindowTest, SentMessagesWaitForTheWindowThreadPostedOnesKeepTheirOrder) {
    const std::uint32_t reload = plat::register_window_message("WM_RELOADCONFIG");
    EXPECT_GE(reload, 0xC000u);
    EXPECT_EQ(plat::register_window_message("wm_reloadconfig"), reload) << "any case";
    EXPECT_NE(plat::register_window_message("WM_OTHER"), reload);
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
    EXPECT_EQ(w.window.send(plat::kWmUser, 0, 0), 0) << "a destroyed window answers nothing";
    EXPECT_FALSE(w.window.post(plat::kWmUser, 0, 0));
    EXPECT_FALSE(w.window.destroy());
    EXPECT_EQ(plat::find_window(kClass, nullptr), nullptr);
    EXPECT_EQ(w.seen.all(),
              (Messages{plat::kWmUser + 1, plat::kWmUser + 5, reload, plat::kWmClose}))
        << "system messages stay with the default procedure";
}

TEST_F(WindowTest, TimersRepeatAndStopOnTheMessageClock) {
    FastClock fast;
    plat::set_message_clock(&fast);
    {
        WindowThread w;
        // 30 s of the fast clock are 0.3 s of real time.
        ASSERT_TRUE(w.window.set_timer(11, 30000));
        ASSERT_TRUE(w.wait_for(2));
        EXPECT_TRUE(w.window.kill_timer(11));
        EXPECT_FALSE(w.window.kill_timer(11)) << "no such timer any more";
        const std::size_t fired = w.seen.all().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        EXPECT_EQ(w.seen.all(), Messages(fired, plat::kWmTimer)) << "a killed timer stays quiet";
        EXPECT_EQ(w.seen.wparams[0], 11u);
    }
    plat::set_message_clock(nullptr);
}

#ifndef _WIN32
// One datagram to the window's socket, as another process of this user (or, with `as_nobody`,
// opened as root and sent as nobody, so that only the sender's credentials differ).
bool send_datagram(const std::string& path, const std::string& datagram, bool as_nobody = false) {
    plat_test::ChildProcess child(fork());
    if (child.pid() == 0) {
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const bool ok =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            (!as_nobody || (setgid(65534) == 0 && setuid(65534) == 0)) &&
            send(fd, datagram.data(), datagram.size(), 0) == static_cast<long>(datagram.size());
        _exit(ok ? 0 : 1);
    }
    return child.wait_exit(std::chrono::seconds(5)) == 0;
}
#endif

TEST_F(WindowTest, OneWindowPerClassAndTitleTakesRegisteredMessagesPostedByName) {
    const std::uint32_t reload = plat::register_window_message("WM_RELOADCONFIG");
    WindowThread w;
    plat::Window second;
    EXPECT_FALSE(second.create(plat::module_instance(), kClass, nullptr)) << "taken";
    EXPECT_FALSE(second.create(plat::module_instance(), "NoSuchClass", nullptr));
    ASSERT_TRUE(second.create(plat::module_instance(), kClass, "other"));
    EXPECT_TRUE(second.destroy());
#ifndef _WIN32
    // Unknown names, garbage, empty datagrams and another user's message are dropped.
    const std::string socket = dir_ / "run/plattestwindow";
    for (const std::string& datagram :
         {std::string("WM_NOT_REGISTERED"), std::string("WM_RELOAD\0CONFIG", 16),
          std::string(4000, '\xff'), std::string(), std::string("WM_RELOADCONFIG\n")}) {
        EXPECT_TRUE(send_datagram(socket, datagram));
    }
    if (geteuid() == 0) {
        EXPECT_TRUE(send_datagram(socket, "WM_RELOADCONFIG", true));
    }
#endif
    ASSERT_TRUE(plat::post_message_to_window(kClass, nullptr, "WM_RELOADCONFIG"));
    ASSERT_TRUE(w.wait_for(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(w.seen.all(), Messages{reload});
    for (const char* missing : {"NoSuchClass", kClass}) {
        const char* title = missing == kClass ? "none" : nullptr;  // short: a socket path
        EXPECT_EQ(plat::classify_error(
                      plat::post_message_to_window(missing, title, "WM_RELOADCONFIG").error),
                  plat::ErrorKind::not_found);
    }
#ifndef _WIN32
    // A directory others may write into could hold a socket planted by anyone.
    chmod((dir_ / "run").c_str(), 0777);
    EXPECT_EQ(second.create(plat::module_instance(), kClass, "other").error, EPERM);
    chmod((dir_ / "run").c_str(), 0755);
#endif
}

#ifndef _WIN32
// The service host, driven by signals sent to this process.
struct HostRecord {
    std::atomic<int> stops{0}, pauses{0}, continues{0};
    std::atomic<bool> window_ready{false};
    plat::Window* window = nullptr;
};
HostRecord* g_host = nullptr;
plat::ServiceStatusHandle g_host_handle = 0;

void host_handler(std::uint32_t control) {
    plat::ServiceStatus status;
    status.current_state = plat::kServiceRunning;
    if (control == plat::kServiceControlStop) {
        ++g_host->stops;
        status.current_state = plat::kServiceStopPending;
        plat::set_service_status(g_host_handle, status);
        g_host->window->send(plat::kWmClose, 0, 0);
        return;
    } else if (control == plat::kServiceControlPause) {
        ++g_host->pauses;
        status.current_state = plat::kServicePaused;
    } else if (control == plat::kServiceControlContinue) {
        ++g_host->continues;
    }
    plat::set_service_status(g_host_handle, status);
}

void host_main() {
    g_host_handle = plat::register_service_ctrl_handler("TESTSVC", host_handler);
    plat::ServiceStatus status;
    status.current_state = plat::kServiceRunning;
    plat::set_service_status(g_host_handle, status);
    plat::set_service_status_detail("last reset never");
    // Never destroyed, as in the service: a second stop may reach the handler after this
    // function has returned.
    static plat::Window* const window = new plat::Window;
    if (window->create(plat::module_instance(), kClass, nullptr)) {
        g_host->window = window;
        g_host->window_ready = true;
        plat::Message message;
        while (plat::get_message(&message) > 0) {
            plat::dispatch_message(message);
        }
    }
    status.current_state = plat::kServiceStopped;
    plat::set_service_status(g_host_handle, status);
}

TEST_F(WindowTest, DispatcherRoutesSignalsAndReportsToTheNotifySocket) {
    plat::prepare_service_process();
    const plat::ServiceTableEntry table[] = {{"TESTSVC", host_main}, {nullptr, nullptr}};
    {
        // From a terminal, without being asked to run in the foreground: refused.
        ScopedEnv no_socket("NOTIFY_SOCKET", "");
        ScopedEnv no_invocation("INVOCATION_ID", "");
        EXPECT_EQ(plat::start_service_ctrl_dispatcher(table, {}).error, ENOTCONN);
    }
    plat_test::DatagramReceiver manager(dir_ / "notify");
    ASSERT_TRUE(manager.bound());
    ScopedEnv notify("NOTIFY_SOCKET", manager.path());
    plat_test::Seen seen;
    plat_test::g_seen = &seen;
    ASSERT_TRUE(plat::register_window_class(kClass, plat_test::procedure));
    const std::uint32_t reload = plat::register_window_message("WM_RELOADCONFIG");
    HostRecord record;
    g_host = &record;
    // Signals from another thread, in a burst, once the window exists.
    std::thread sender([&record] {
        for (int i = 0; i < 400 && !record.window_ready; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (int signal_number : {SIGHUP, SIGUSR1, SIGUSR1, SIGUSR2, SIGHUP}) {
            kill(getpid(), signal_number);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        kill(getpid(), SIGTERM);
        kill(getpid(), SIGTERM);
    });
    plat::ServiceHostOptions options;
    options.reload_window_class = kClass;
    options.reload_message = "WM_RELOADCONFIG";
    EXPECT_TRUE(plat::start_service_ctrl_dispatcher(table, options));
    sender.join();
    EXPECT_TRUE(record.window_ready.load());
    EXPECT_GE(record.stops.load(), 1);
    EXPECT_GE(record.pauses.load(), 1);
    EXPECT_EQ(record.continues.load(), 1);
    const Messages messages = seen.all();
    EXPECT_NE(std::find(messages.begin(), messages.end(), reload), messages.end());
    std::vector<std::string> reports;
    while (auto datagram = manager.receive(200)) {
        reports.push_back(*datagram);
    }
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front(), "READY=1\nSTATUS=running");
    EXPECT_EQ(reports[1], "STATUS=running; last reset never");
    EXPECT_TRUE(std::any_of(reports.begin(), reports.end(),
                            [](const std::string& r) { return r.rfind("STOPPING=1\n", 0) == 0; }));
    EXPECT_EQ(reports.back(), "STATUS=stopped; last reset never");
    EXPECT_TRUE(plat::unregister_window_class(kClass));
    plat_test::g_seen = nullptr;
}
#else
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
#endif

}  // namespace
