#include "JOVX_Agent_MainThread.h"

#include <mutex>

#include "JOVX_ErrorLogging.h"
#include "JOVX_IPMIAcc.h"
#include "JOVX_WDT_OperationThread.h"
#include "JOVX_WDT_SettingsRead.h"
#include "plat/service.h"
#include "plat/text.h"
#include "plat/thread.h"

std::atomic<std::uint8_t> g_fWindowClassRegistered{0};
std::atomic<plat::Window*> g_hWatchdogWindow{nullptr};
std::atomic<std::uint32_t> g_uReloadMessage{0};
std::atomic<bool> g_fDispatcherFailed{false};

namespace {

using namespace jovx;

constexpr char kSourceFileName[] = "JOVX_Agent_MainThread";
constexpr std::uint32_t kServiceType = 0x30;
constexpr std::uint32_t kControlsAccepted = 3;  // stop, pause and continue
constexpr std::uint32_t kBytesPerMb = 1048576;

// Touched by the window thread only.
plat::Thread* g_hOperationThread = nullptr;

// The status record: the control handler and ServiceMain both change it.
std::mutex g_statusMutex;
plat::ServiceStatus g_ServiceStatus;
plat::ServiceStatusHandle g_hServiceStatus = 0;

bool stop_requested() {
    return g_fStopRequested.load() != 0;
}

// Reports the record; KTLOR-051-E names the caller when the report fails.
void report_status(const char* function) {
    plat::ServiceStatus copy;
    {
        std::lock_guard<std::mutex> lock(g_statusMutex);
        copy = g_ServiceStatus;
    }
    const plat::Status reported = plat::set_service_status(g_hServiceStatus, copy);
    if (!reported) {
        WDT_LOG(msg::KTLOR_051_E, function, static_cast<int>(reported.error));
    }
}

void set_state(std::uint32_t state) {
    std::lock_guard<std::mutex> lock(g_statusMutex);
    g_ServiceStatus.current_state = state;
    g_ServiceStatus.checkpoint = 0;
    g_ServiceStatus.wait_hint = 0;
}

void trace_priority(const char* function, const plat::Status& raised) {
    if (raised) {
        WDT_LOG(msg::KTLOR_106_I, function);
    } else {
        WDT_LOG(msg::KTLOR_105_E, function, static_cast<int>(raised.error));
    }
}

// Closes any previous operation thread and starts a new one; false after KTLOR-098-E.
bool start_operation_thread(const char* function) {
    delete g_hOperationThread;  // a thread that still runs goes on by itself
    g_hOperationThread = nullptr;
    // Set before the thread can run, so that a thread that ends at once leaves it at 0.
    g_fOperationThreadRunning.store(1);
    auto* thread = new plat::Thread;
    const plat::Status started = thread->start([] { WDT_OperationThread(); });
    if (!started) {
        g_fOperationThreadRunning.store(0);
        delete thread;
        WDT_LOG(msg::KTLOR_098_E, function, static_cast<int>(started.error));
        return false;
    }
    g_hOperationThread = thread;
    trace_priority(function, thread->raise_to_time_critical());
    WDT_LOG(msg::KTLOR_077_I, function);
    return true;
}

void trace_timer_api(const char* function, const char* api, const plat::Status& done) {
    if (done) {
        WDT_LOG(msg::KTLOR_115_K, function, api);
    } else {
        WDT_LOG(msg::KTLOR_114_E, function, api, static_cast<int>(done.error));
    }
}

// The reload of the settings: 0 success, 1 failure. A failure after the operation thread
// was woken leaves it waiting with the timer stopped.
int reload_settings(const char* function) {
    if (g_fOperationThreadRunning.load() != 0) {
        WDT_Events().notify_xml.set();
        WDT_LOG(msg::KTLOR_099_I, function);
    }
    char fallback[kPathBufferSize];
    if (WDTLogGetFilePath(fallback) != 0) {
        return 1;
    }
    WDT_Settings* settings = WDT_LockSettings();
    if (WDT_ReadSettings(settings) != 0) {
        WDT_UnlockSettings();
        return 1;
    }
    const int checked = WDT_LogXMLvalues(settings);
    char path[kPathBufferSize];
    if (WDTLogGetFilePath(path) != 0) {
        plat::copy_cut(path, sizeof path, fallback);
    }
    if (WDTLogReconfigure(static_cast<std::uint32_t>(settings->LogSize),
                          static_cast<std::uint32_t>(settings->LogPages), path,
                          settings->LogLevel) != 0) {
        WDT_UnlockSettings();
        return 1;
    }
    if (checked == -1) {
        WDT_LogXMLvalues(settings);
    }
    const bool watching = settings->ErrorWatching != 0;
    WDT_UnlockSettings();

    const bool running = g_fOperationThreadRunning.load() != 0;
    if (watching) {
        if (running) {
            WDT_Events().start_wdt.set();
            WDT_LOG(msg::KTLOR_060_I, function);
        } else if (!stop_requested() && !start_operation_thread(function)) {
            return 1;
        }
    } else {
        WDT_EVENT(msg::KTLOR_109_I);
        if (running) {
            WDT_Events().bmc_stop.set();
        }
    }
    return 0;
}

// Tells the window thread about every IPMI call, synchronously.
class WindowIpmiObserver final : public IpmiCallObserver {
  public:
    void ipmi_call_begin() override { send(WM_WDT_IPMI_CALL_BEGIN); }
    void ipmi_call_end() override { send(WM_WDT_IPMI_CALL_END); }

  private:
    static void send(std::uint32_t message) {
        // A window that is gone answers at once: the call is no longer watched.
        if (plat::Window* window = g_hWatchdogWindow.load()) {
            window->send(message, 0, 0);
        }
    }
};

}  // namespace

void WDT_ConnectIpmiObserver() {
    static WindowIpmiObserver* const observer = new WindowIpmiObserver;
    IpmiAccessSetObserver(observer);
}

int WinMain(bool foreground) {
    static constexpr char kFunction[] = "WinMain";
    try {
        const plat::Status raised = plat::raise_current_thread_to_time_critical();
        WDT_LockSettings();
        WDT_UnlockSettings();

        // Nothing can be logged before the log runs: failures end the program quietly.
        WDT_Settings* settings = WDT_LockSettings();
        const int read = WDT_ReadSettings(settings);
        WDT_UnlockSettings();
        if (read != 0) {
            return 1;
        }
        char path[kPathBufferSize];
        if (WDTLogGetFilePath(path) != 0) {
            return 1;
        }
        settings = WDT_LockSettings();
        const std::uint32_t size_mb = static_cast<std::uint32_t>(settings->LogSize);
        const std::uint32_t pages = static_cast<std::uint32_t>(settings->LogPages);
        const std::int32_t level = settings->LogLevel;
        WDT_UnlockSettings();
        if (WDTLogInitialize(size_mb * kBytesPerMb, pages, path, level) != 0) {
            return 1;
        }
        settings = WDT_LockSettings();
        const int checked = WDT_LogXMLvalues(settings);
        WDT_UnlockSettings();
        if (checked == -1) {
            if (WDTLogGetFilePath(path) != 0) {
                return 1;
            }
            settings = WDT_LockSettings();
            const int reconfigured = WDTLogReconfigure(
                static_cast<std::uint32_t>(settings->LogSize),
                static_cast<std::uint32_t>(settings->LogPages), path, settings->LogLevel);
            if (reconfigured == 0) {
                WDT_LogXMLvalues(settings);
            }
            WDT_UnlockSettings();
            if (reconfigured != 0) {
                return 1;
            }
        }
        WDT_LOG(msg::KTLOR_080_K, kFunction);
        trace_priority(kFunction, raised);

        int result = 0;
        static const plat::ServiceTableEntry kServiceTable[] = {{kServiceName, ServiceMain},
                                                                {nullptr, nullptr}};
        plat::ServiceHostOptions host;
        host.foreground = foreground;
        host.reload_window_class = kWindowClassName;
        host.reload_message = kReloadMessageName;
        const plat::Status dispatched = plat::start_service_ctrl_dispatcher(kServiceTable, host);
        if (!dispatched) {
            WDT_LOG(msg::KTLOR_049_E, kFunction, static_cast<int>(dispatched.error));
            g_fDispatcherFailed.store(true);
            result = 1;
            WDTLogSetStopFlag();
        }
        WDTLogTerminate();
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

void ServiceMain() {
    static constexpr char kFunction[] = "ServiceMain";
    try {
        {
            std::lock_guard<std::mutex> lock(g_statusMutex);
            g_ServiceStatus = {
                kServiceType, plat::kServiceStartPending, kControlsAccepted, 0, 0, 0, 0};
        }
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        WDT_EVENT(msg::KTLOR_061_I);
        trace_priority(kFunction, plat::raise_current_thread_to_time_critical());

        bool stopped_cleanly = false;
        g_hServiceStatus = plat::register_service_ctrl_handler(kServiceName, ServiceCtrlHandler);
        if (g_hServiceStatus == 0) {
            WDT_LOG(msg::KTLOR_050_E, kFunction);
        } else {
            set_state(plat::kServiceRunning);
            plat::ServiceStatus copy;
            {
                std::lock_guard<std::mutex> lock(g_statusMutex);
                copy = g_ServiceStatus;
            }
            const plat::Status reported = plat::set_service_status(g_hServiceStatus, copy);
            if (!reported) {
                WDT_LOG(msg::KTLOR_051_E, kFunction, static_cast<int>(reported.error));
            } else {
                const bool watching = WDT_LockSettings()->ErrorWatching != 0;
                WDT_UnlockSettings();
                if (!watching) {
                    WDT_EVENT(msg::KTLOR_109_I);
                    g_fTimerDisabledAtStart.store(1);
                }
                WDT_ServiceEvents& events = WDT_Events();
                if (!events.notify_xml.valid() || !events.start_wdt.valid() ||
                    !events.bmc_stop.valid()) {
                    WDT_LOG(msg::KTLOR_097_E, kFunction, 12);
                } else if (stop_requested()) {
                    stopped_cleanly = true;
                } else if (const plat::ModuleInstance instance = plat::module_instance();
                           instance == nullptr) {
                    WDT_LOG(msg::KTLOR_090_E, kFunction, static_cast<int>(plat::last_error()));
                } else {
                    if (WDT_WindowControl(instance) == 1) {
                        WDT_LOG(msg::KTLOR_096_E, kFunction);
                    } else if (g_fWindowClassRegistered.load() != 0) {
                        const plat::Status gone = plat::unregister_window_class(kWindowClassName);
                        if (gone) {
                            g_fWindowClassRegistered.store(0);
                            WDT_LOG(msg::KTLOR_102_I, kFunction);
                        } else {
                            WDT_LOG(msg::KTLOR_101_E, kFunction, static_cast<int>(gone.error));
                        }
                    }
                    stopped_cleanly = true;
                }
            }
        }
        if (stopped_cleanly) {
            WDT_EVENT(msg::KTLOR_062_I);
        }
        // The events live as long as the process; the window is gone.
        g_hWatchdogWindow.store(nullptr);
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        WDTLogSetStopFlag();
        set_state(plat::kServiceStopped);
        if (g_hServiceStatus != 0) {
            report_status(kFunction);
        }
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
    }
}

void ServiceCtrlHandler(std::uint32_t control) {
    static constexpr char kFunction[] = "ServiceCtrlHandler";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        switch (control) {
            case plat::kServiceControlStop: {
                {
                    std::lock_guard<std::mutex> lock(g_statusMutex);
                    g_ServiceStatus.exit_code = 0;
                }
                set_state(plat::kServiceStopPending);
                // The flag comes before the look at the window: a window created after this
                // look finds the flag set and ends its loop by itself.
                g_fStopRequested.store(1);
                WDT_Events().notify_xml.set();
                if (plat::Window* window = g_hWatchdogWindow.load()) {
                    window->send(plat::kWmClose, 0, 0);
                }
                break;
            }
            case plat::kServiceControlPause:
                set_state(plat::kServicePaused);
                break;
            case plat::kServiceControlContinue:
                set_state(plat::kServiceRunning);
                break;
            default:
                break;
        }
        report_status(kFunction);
        WDT_LOG(msg::KTLOR_012_K, kFunction);
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
    }
}

int WDT_WindowControl(plat::ModuleInstance instance) {
    static constexpr char kFunction[] = "WDT_WindowControl";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        if (instance == nullptr) {
            WDT_LOG(msg::KTLOR_012_K, kFunction);
            return 1;
        }
        const std::uint32_t reload = plat::register_window_message(kReloadMessageName);
        if (reload == 0) {
            WDT_LOG(msg::KTLOR_074_E, kFunction, static_cast<int>(plat::last_error()));
            WDT_LOG(msg::KTLOR_012_K, kFunction);
            return 1;
        }
        g_uReloadMessage.store(reload);
        WDT_LOG(msg::KTLOR_075_I, kFunction);
        if (WDT_RegisterWindow(instance) != 1) {
            WDT_LOG(msg::KTLOR_100_E, kFunction);
            WDT_LOG(msg::KTLOR_012_K, kFunction);
            return 1;
        }
        g_fWindowClassRegistered.store(1);
        if (!stop_requested()) {
            if (WDT_CreateWindow(instance) != 0) {
                WDT_LOG(msg::KTLOR_059_E, kFunction);
                WDT_LOG(msg::KTLOR_012_K, kFunction);
                return 1;
            }
            WDT_LOG(msg::KTLOR_076_I, kFunction);
            if (!stop_requested() && !start_operation_thread(kFunction)) {
                WDT_LOG(msg::KTLOR_012_K, kFunction);
                return 1;
            }
        }
        // A stop that came before the window existed reached no window: end the loop here.
        if (stop_requested()) {
            if (plat::Window* window = g_hWatchdogWindow.load(); window != nullptr) {
                window->destroy();
            }
            plat::post_quit_message(0);
        }
        plat::Message message;
        while (plat::get_message(&message) > 0) {
            plat::dispatch_message(message);
        }
        if (g_hOperationThread != nullptr) {
            switch (g_hOperationThread->join(kOperationThreadWaitMs)) {
                case plat::WaitResult::signalled:
                    WDT_LOG(msg::KTLOR_070_I, kFunction);
                    break;
                case plat::WaitResult::timed_out:
                    WDT_LOG(msg::KTLOR_022_I, kFunction);
                    break;
                default:
                    WDT_LOG(msg::KTLOR_056_E, kFunction);
                    break;
            }
            delete g_hOperationThread;
            g_hOperationThread = nullptr;
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return 0;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

int WDT_RegisterWindow(plat::ModuleInstance) {
    static constexpr char kFunction[] = "WDT_RegisterWindow";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        const plat::Status registered =
            plat::register_window_class(kWindowClassName, WDT_RecvMsgWndProc);
        if (!registered) {
            WDT_LOG(msg::KTLOR_078_E, kFunction, static_cast<int>(registered.error));
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return registered ? 1 : 0;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 0;
    }
}

int WDT_CreateWindow(plat::ModuleInstance instance) {
    static constexpr char kFunction[] = "WDT_CreateWindow";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        // Never destroyed: other threads may still send to it while the process ends.
        static plat::Window* const window = new plat::Window;
        const plat::Status created = window->create(instance, kWindowClassName, nullptr);
        if (!created) {
            WDT_LOG(msg::KTLOR_071_E, kFunction, static_cast<int>(created.error));
            WDT_LOG(msg::KTLOR_012_K, kFunction);
            return 1;
        }
        g_hWatchdogWindow.store(window);
        WDT_LOG(msg::KTLOR_091_I, kFunction);
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return 0;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

std::intptr_t WDT_RecvMsgWndProc(plat::Window* window, std::uint32_t message, std::uintptr_t wparam,
                                 std::intptr_t) {
    static constexpr char kFunction[] = "WDT_RecvMsgWndProc";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        std::intptr_t result = 0;
        const std::uint32_t reload = g_uReloadMessage.load();
        if (message == plat::kWmClose) {
            const plat::Status destroyed = window->destroy();
            if (destroyed) {
                WDT_LOG(msg::KTLOR_103_I, kFunction);
            } else {
                WDT_LOG(msg::KTLOR_104_E, kFunction, static_cast<int>(destroyed.error));
            }
            plat::post_quit_message(0);
        } else if (message == plat::kWmTimer) {
            if (wparam == WDT_IPMI_TIMER_ID) {
                // Reported once: the timer goes, the call goes on.
                WDT_LOG(msg::KTLOR_113_E, kFunction);
                trace_timer_api(kFunction, "KillTimer", window->kill_timer(WDT_IPMI_TIMER_ID));
            }
        } else if (message == WM_WDT_IPMI_CALL_BEGIN) {
            trace_timer_api(kFunction, "SetTimer",
                            window->set_timer(WDT_IPMI_TIMER_ID, kIpmiCallReportMs));
        } else if (message == WM_WDT_IPMI_CALL_END) {
            trace_timer_api(kFunction, "KillTimer", window->kill_timer(WDT_IPMI_TIMER_ID));
        } else if (reload != 0 && message == reload) {
            plat::service_reload_begins();
            result = reload_settings(kFunction);
            plat::service_reload_ends();
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}
