// Message windows and the service host on POSIX: sent and posted messages, timers on the
// message clock, messages from other processes through the window's socket (and which of
// them are dropped), the dispatcher's signals and its reports on a notify socket of our own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/service.h"
#include "plat/thread.h"
#include "plat/time.h"
#include "plat/window.h"
#include "posix_test_support.h"
#include "window_test_support.h"

#include <cstring>

namespace {

using plat_test::FastClock;
using plat_test::kClass;
using plat_test::ScopedEnv;
using plat_test::ScratchDir;
using plat_test::Seen;
using plat_test::WindowThread;

// Sends one raw datagram to a socket path: the bytes sent, or -errno.
long send_datagram(const std::string& path, const std::string& datagram) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const long sent = sendto(fd, datagram.data(), datagram.size(), 0,
                             reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const long result = sent < 0 ? -errno : sent;
    close(fd);
    return result;
}

class WindowTest : public ::testing::Test {
  protected:
    ScratchDir dir_;
    ScopedEnv runtime_{"VARMOTH_RUNTIME_DIR", dir_ / "run"};
};

TEST(RegisteredMessages, OneNumberPerNameInAnyCase) {
    const std::uint32_t reload = plat::register_window_message("WM_RELOADCONFIG");
    EXPECT_GE(reload, 0xC000u);
    EXPECT_EQ(plat::register_window_message("wm_reloadconfig"), reload);
    EXPECT_NE(plat::register_window_message("WM_OTHER"), reload);
    EXPECT_EQ(plat::register_window_message(""), 0u);
    EXPECT_EQ(plat::register_window_message(std::string(256, 'x').c_str()), 0u);
}

TEST_F(WindowTest, SentMessagesWaitForTheWindowThreadPostedOnesKeepTheirOrder) {
    WindowThread w;
    EXPECT_EQ(w.window.send(plat::kWmUser + 1, 0, 0), plat::kWmUser + 2) << "the result";
    ASSERT_TRUE(w.window.post(plat::kWmUser + 5, 0, 0));
    ASSERT_TRUE(w.window.post(plat::kWmUser + 6, 0, 0));
    ASSERT_TRUE(w.wait_for(3));
    EXPECT_EQ(plat::find_window("plattestwindow", nullptr), &w.window) << "any case";
    EXPECT_EQ(plat::find_window(kClass, "other title"), nullptr);
    EXPECT_EQ(plat::unregister_window_class(kClass).error, EBUSY) << "a window of it lives";
    EXPECT_EQ(w.window.send(plat::kWmClose, 0, 0), plat::kWmClose + 1);
    EXPECT_FALSE(w.window.exists());
    EXPECT_EQ(w.window.send(plat::kWmUser, 0, 0), 0) << "a destroyed window answers nothing";
    EXPECT_FALSE(w.window.post(plat::kWmUser, 0, 0));
    EXPECT_EQ(plat::find_window(kClass, nullptr), nullptr);
    const std::vector<std::uint32_t> expected = {plat::kWmUser + 1, plat::kWmUser + 5,
                                                 plat::kWmUser + 6, plat::kWmClose};
    EXPECT_EQ(w.seen.all(), expected);
}

TEST_F(WindowTest, TimersRepeatRestartAndStopOnTheMessageClock) {
    FastClock fast;
    plat::set_message_clock(&fast);
    {
        WindowThread w;
        // 30 s of the fast clock are 0.3 s of real time.
        ASSERT_TRUE(w.window.set_timer(11, 30000));
        ASSERT_TRUE(w.wait_for(2));
        EXPECT_TRUE(w.window.kill_timer(11));
        EXPECT_FALSE(w.window.kill_timer(11)) << "no such timer any more";
        EXPECT_FALSE(w.window.kill_timer(12));
        const std::size_t fired = w.seen.all().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        EXPECT_EQ(w.seen.all().size(), fired) << "a killed timer stays quiet";
        for (std::uint32_t m : w.seen.all()) {
            EXPECT_EQ(m, plat::kWmTimer);
        }
        EXPECT_EQ(w.seen.wparams[0], 11u);
    }
    plat::set_message_clock(nullptr);
}

TEST_F(WindowTest, OtherProcessesPostRegisteredMessagesByName) {
    const std::uint32_t reload = plat::register_window_message("WM_RELOADCONFIG");
    WindowThread w;
    // Unknown names, garbage and empty datagrams are dropped; the known name arrives.
    const std::string socket = dir_ / "run/plattestwindow";
    for (const std::string& datagram :
         {std::string("WM_NOT_REGISTERED"), std::string("WM_RELOAD\0CONFIG", 16),
          std::string(4000, '\xff'), std::string(), std::string("WM_RELOADCONFIG\n")}) {
        EXPECT_EQ(send_datagram(socket, datagram), static_cast<long>(datagram.size()));
    }
    ASSERT_TRUE(plat::post_message_to_window(kClass, nullptr, "WM_RELOADCONFIG"));
    ASSERT_TRUE(w.wait_for(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(w.seen.all(), std::vector<std::uint32_t>{reload});
    EXPECT_EQ(plat::classify_error(
                  plat::post_message_to_window(kClass, "no such title", "WM_RELOADCONFIG").error),
              plat::ErrorKind::not_found);
}

TEST_F(WindowTest, ForeignUsersAreIgnored) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to send as another user";
    }
    plat::register_window_message("WM_RELOADCONFIG");
    WindowThread w;
    const std::string socket = dir_ / "run/plattestwindow";
    // The child opens the way as root, then sends as nobody: only its credentials differ.
    const pid_t child = fork();
    if (child == 0) {
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        const bool connected =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        const bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
        const bool sent = send(fd, "WM_RELOADCONFIG", 15, 0) == 15;
        _exit(connected && dropped && sent ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not send";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(w.seen.all().empty());
    ASSERT_TRUE(plat::post_message_to_window(kClass, nullptr, "WM_RELOADCONFIG"));
    EXPECT_TRUE(w.wait_for(1)) << "root's own message still arrives";
}

TEST_F(WindowTest, OneLiveWindowPerClassAndTitleAndATrustedDirectory) {
    WindowThread w("title");
    plat::Window second;
    EXPECT_EQ(second.create(plat::module_instance(), kClass, "title").error, EADDRINUSE);
    EXPECT_EQ(second.create(plat::module_instance(), "NoSuchClass", nullptr).error, ENOENT);
    ASSERT_TRUE(second.create(plat::module_instance(), kClass, "other"));
    EXPECT_TRUE(second.destroy());
    EXPECT_EQ(second.destroy().error, EBADF);
    // A directory others may write into could hold a socket planted by anyone.
    chmod((dir_ / "run").c_str(), 0777);
    EXPECT_EQ(second.create(plat::module_instance(), kClass, "other").error, EPERM);
    chmod((dir_ / "run").c_str(), 0755);
}

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
    plat::Window window;
    if (window.create(plat::module_instance(), kClass, nullptr)) {
        g_host->window = &window;
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
    plat_test::g_seen = new Seen;
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
    int reloads = 0;
    for (std::uint32_t m : plat_test::g_seen->all()) {
        reloads += m == reload ? 1 : 0;
    }
    EXPECT_GE(reloads, 1);
    std::vector<std::string> reports;
    while (auto datagram = manager.receive(200)) {
        reports.push_back(*datagram);
    }
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front(), "READY=1\nSTATUS=running");
    EXPECT_EQ(reports[1], "STATUS=running; last reset never");
    bool stopping = false;
    for (const std::string& r : reports) {
        stopping = stopping || r.rfind("STOPPING=1\n", 0) == 0;
    }
    EXPECT_TRUE(stopping);
    EXPECT_EQ(reports.back(), "STATUS=stopped; last reset never");
    EXPECT_TRUE(plat::unregister_window_class(kClass));
    delete plat_test::g_seen;
    plat_test::g_seen = nullptr;
}

}  // namespace
