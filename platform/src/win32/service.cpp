// The service host on the service control manager. In the foreground (a person at a
// console) there is no manager: the service's main routine runs on a thread of its own,
// Ctrl-C, Ctrl-Break, console close and SIGINT/SIGTERM raised in the process become a stop,
// and status reports go nowhere.
#include "plat/service.h"

#include <windows.h>

#include <atomic>
#include <csignal>

namespace plat {

namespace {

constexpr ServiceStatusHandle kForegroundHandle = 1;

std::atomic<ServiceMainFunction> g_main{nullptr};
std::atomic<ServiceControlHandler> g_handler{nullptr};
std::atomic<bool> g_foreground{false};
// Foreground: a stop that came before the handler was registered.
std::atomic<bool> g_stop_pending{false};
HANDLE g_wake = nullptr;  // foreground: stop asked for, or the main routine ended

void request_stop() {
    if (const ServiceControlHandler handler = g_handler.load()) {
        handler(kServiceControlStop);
    } else {
        g_stop_pending.store(true);
    }
}

// Runs on a thread of the console's own: the handler may block until the stop is done.
BOOL WINAPI on_console_control(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (g_foreground.load() && g_wake != nullptr) {
                g_stop_pending.store(true);
                SetEvent(g_wake);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

extern "C" void on_stop_signal(int signal_number) {
    std::signal(signal_number, on_stop_signal);
    if (g_foreground.load() && g_wake != nullptr) {
        g_stop_pending.store(true);
        SetEvent(g_wake);
    } else {
        request_stop();
    }
}

void WINAPI service_main_entry(DWORD, LPSTR*) {
    if (const ServiceMainFunction main = g_main.load()) {
        main();
    }
}

DWORD WINAPI foreground_main(LPVOID) {
    if (const ServiceMainFunction main = g_main.load()) {
        main();
    }
    return 0;
}

void WINAPI handler_entry(DWORD control) {
    if (const ServiceControlHandler handler = g_handler.load()) {
        handler(control);
    }
}

Status run_in_foreground() {
    g_stop_pending.store(false);
    g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (g_wake == nullptr) {
        return Status::failure(GetLastError());
    }
    g_foreground.store(true);
    SetConsoleCtrlHandler(on_console_control, TRUE);
    HANDLE thread = CreateThread(nullptr, 0, foreground_main, nullptr, 0, nullptr);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        SetConsoleCtrlHandler(on_console_control, FALSE);
        g_foreground.store(false);
        return Status::failure(error);
    }
    const HANDLE waits[] = {thread, g_wake};
    bool stop_sent = false;
    for (;;) {
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woke != WAIT_OBJECT_0 + 1) {
            break;  // the main routine ended (or the wait failed: wait for it below)
        }
        // A stop is handed over once the service has registered its handler.
        if (!stop_sent && g_stop_pending.load() && g_handler.load() != nullptr) {
            stop_sent = true;
            g_handler.load()(kServiceControlStop);
        }
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    SetConsoleCtrlHandler(on_console_control, FALSE);
    g_foreground.store(false);
    g_handler.store(nullptr);
    CloseHandle(g_wake);
    g_wake = nullptr;
    return Status::success();
}

}  // namespace

void prepare_service_process() {
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
}

Status start_service_ctrl_dispatcher(const ServiceTableEntry* table,
                                     const ServiceHostOptions& options) {
    if (table == nullptr || table[0].name == nullptr || table[0].main == nullptr) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    g_main.store(table[0].main);
    if (options.foreground) {
        return run_in_foreground();
    }
    char name[257];
    lstrcpynA(name, table[0].name, sizeof name);
    SERVICE_TABLE_ENTRYA entries[] = {{name, service_main_entry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(entries)) {
        return Status::failure(GetLastError());
    }
    g_handler.store(nullptr);
    return Status::success();
}

ServiceStatusHandle register_service_ctrl_handler(const char* name, ServiceControlHandler handler) {
    if (name == nullptr || handler == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    g_handler.store(handler);
    if (g_foreground.load()) {
        if (g_stop_pending.load() && g_wake != nullptr) {
            SetEvent(g_wake);  // a Ctrl-C that came early is handed over now
        }
        return kForegroundHandle;
    }
    const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(name, handler_entry);
    if (handle == nullptr) {
        g_handler.store(nullptr);
        return 0;
    }
    return reinterpret_cast<ServiceStatusHandle>(handle);
}

Status set_service_status(ServiceStatusHandle handle, const ServiceStatus& status) {
    if (handle == 0) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    if (g_foreground.load()) {
        return Status::success();
    }
    SERVICE_STATUS record{};
    record.dwServiceType = status.service_type;
    record.dwCurrentState = status.current_state;
    record.dwControlsAccepted = status.controls_accepted;
    record.dwWin32ExitCode = status.exit_code;
    record.dwServiceSpecificExitCode = status.service_specific_exit_code;
    record.dwCheckPoint = status.checkpoint;
    record.dwWaitHint = status.wait_hint;
    if (!SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record)) {
        return Status::failure(GetLastError());
    }
    return Status::success();
}

// The control manager shows no text beside the state, and has no reload notice.
void set_service_status_detail(const char*) {}
void service_reload_begins() {}
void service_reload_ends() {}

}  // namespace plat
