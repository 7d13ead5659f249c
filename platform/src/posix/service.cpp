// The service host under systemd. Signals only set a flag and write one byte into a pipe;
// the dispatcher's thread reads the pipe and does the work. Reports go out with sd_notify,
// which sends nothing when $NOTIFY_SOCKET is not set.
#include "plat/service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "plat/thread.h"
#include "plat/window.h"

namespace plat {

namespace {

constexpr int kSignals[] = {SIGHUP, SIGUSR1, SIGUSR2, SIGINT, SIGTERM};
constexpr int kMaxSignal = 65;

int g_pipe[2] = {-1, -1};
// Lock-free atomics: the handler may run on any thread, and must not take locks.
std::atomic<int> g_pending[kMaxSignal] = {};
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<bool> g_prepared{false};
std::atomic<ServiceControlHandler> g_handler{nullptr};
std::atomic<bool> g_main_ended{false};

struct Report {
    std::mutex mutex;
    std::uint32_t state = kServiceStartPending;
    std::string detail;
};
Report& report() {
    static Report* const r = new Report;
    return *r;
}

void wake_dispatcher() {
    const char byte = 0;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t ignored = ::write(g_pipe[1], &byte, 1);
}

extern "C" void on_control_signal(int signal_number) {
    const int saved = errno;
    if (signal_number > 0 && signal_number < kMaxSignal) {
        g_pending[signal_number].store(1);
    }
    wake_dispatcher();
    errno = saved;
}

bool take_pending(int signal_number) {
    return g_pending[signal_number].exchange(0) != 0;
}

bool started_by_service_manager() {
    for (const char* name : {"NOTIFY_SOCKET", "INVOCATION_ID"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

const char* state_word(std::uint32_t state) {
    switch (state) {
        case kServiceStartPending:
            return "starting";
        case kServiceRunning:
            return "running";
        case kServiceStopPending:
            return "stopping";
        case kServicePaused:
            return "paused (the watchdog keeps running)";
        case kServiceStopped:
            return "stopped";
        default:
            return "unknown";
    }
}

// "STATUS=<state>; <detail>", under the report lock.
std::string status_line_locked() {
    std::string line = std::string("STATUS=") + state_word(report().state);
    if (!report().detail.empty()) {
        line += "; " + report().detail;
    }
    return line;
}

Status notify(const std::string& text) {
    const int result = sd_notify(0, text.c_str());
    return result < 0 ? Status::failure(static_cast<ErrorCode>(-result)) : Status::success();
}

void route_signals(const ServiceHostOptions& options) {
    const ServiceControlHandler handler = g_handler.load();
    if (handler == nullptr) {
        return;  // kept until the service has registered its handler
    }
    if (take_pending(SIGHUP) && options.reload_window_class != nullptr &&
        options.reload_message != nullptr) {
        if (Window* window =
                find_window(options.reload_window_class, options.reload_window_title)) {
            window->post(register_window_message(options.reload_message), 0, 0);
        }
    }
    if (take_pending(SIGUSR1)) {
        handler(kServiceControlPause);
    }
    if (take_pending(SIGUSR2)) {
        handler(kServiceControlContinue);
    }
    const bool stop = take_pending(SIGTERM);
    if (take_pending(SIGINT) || stop) {
        handler(kServiceControlStop);
    }
}

}  // namespace

void prepare_service_process() {
    if (g_prepared.exchange(true)) {
        return;
    }
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_prepared.store(false);
        return;
    }
    struct sigaction action {};
    action.sa_handler = on_control_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal_number : kSignals) {
        sigaction(signal_number, &action, nullptr);
    }
}

Status start_service_ctrl_dispatcher(const ServiceTableEntry* table,
                                     const ServiceHostOptions& options) {
    if (table == nullptr || table[0].name == nullptr || table[0].main == nullptr) {
        return Status::failure(EINVAL);
    }
    if (!options.foreground && !started_by_service_manager()) {
        return Status::failure(ENOTCONN);
    }
    prepare_service_process();
    if (!g_prepared.load()) {
        return Status::failure(EMFILE);
    }
    g_main_ended.store(false);
    Thread service_thread;
    const ServiceMainFunction service_main = table[0].main;
    const Status started = service_thread.start([service_main] {
        service_main();
        g_main_ended.store(true);
        wake_dispatcher();
    });
    if (!started) {
        return started;
    }
    while (!g_main_ended.load()) {
        pollfd readable{g_pipe[0], POLLIN, 0};
        if (::poll(&readable, 1, -1) < 0 && errno != EINTR) {
            break;
        }
        char drained[64];
        while (::read(g_pipe[0], drained, sizeof drained) > 0) {
        }
        if (!g_main_ended.load()) {
            route_signals(options);
        }
    }
    service_thread.join(kWaitForever);
    g_handler.store(nullptr);
    return Status::success();
}

ServiceStatusHandle register_service_ctrl_handler(const char* name, ServiceControlHandler handler) {
    if (name == nullptr || handler == nullptr) {
        errno = EINVAL;
        return 0;
    }
    g_handler.store(handler);
    if (g_prepared.load()) {
        wake_dispatcher();  // controls that came early are handed over now
    }
    return 1;
}

Status set_service_status(ServiceStatusHandle handle, const ServiceStatus& status) {
    if (handle == 0) {
        return Status::failure(EBADF);
    }
    std::lock_guard<std::mutex> lock(report().mutex);
    // A handler that reports stop pending after the service has stopped changes nothing.
    if (report().state == kServiceStopped && status.current_state == kServiceStopPending) {
        return Status::success();
    }
    report().state = status.current_state;
    std::string text;
    if (status.current_state == kServiceRunning) {
        text = "READY=1\n";
    } else if (status.current_state == kServiceStopPending) {
        text = "STOPPING=1\n";
    }
    return notify(text + status_line_locked());
}

void set_service_status_detail(const char* text) {
    std::lock_guard<std::mutex> lock(report().mutex);
    report().detail = text != nullptr ? text : "";
    if (report().state == kServiceRunning) {
        notify(status_line_locked());
    }
}

void service_reload_begins() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[96];
    std::snprintf(text, sizeof text, "RELOADING=1\nMONOTONIC_USEC=%llu\nSTATUS=reloading",
                  static_cast<unsigned long long>(now.tv_sec) * 1000000ull +
                      static_cast<unsigned long long>(now.tv_nsec / 1000));
    notify(text);
}

void service_reload_ends() {
    std::lock_guard<std::mutex> lock(report().mutex);
    notify("READY=1\n" + status_line_locked());
}

}  // namespace plat
