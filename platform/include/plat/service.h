// The service host: a dispatcher that runs the service's main routine on a thread of its own
// and hands control requests to the service's control handler on the dispatcher's thread,
// and status reports to the service manager. On Linux the manager is systemd (Type=notify):
// SIGTERM and SIGINT stop, SIGUSR1 pauses, SIGUSR2 continues, SIGHUP posts the reload
// message to the service's own window; reports go out through sd_notify.
#pragma once

#include <cstdint>

#include "plat/error.h"

namespace plat {

// States and controls, numbered as the service control manager numbers them.
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServicePaused = 7;
constexpr std::uint32_t kServiceControlStop = 1;
constexpr std::uint32_t kServiceControlPause = 2;
constexpr std::uint32_t kServiceControlContinue = 3;

struct ServiceStatus {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t checkpoint = 0;
    std::uint32_t wait_hint = 0;
};

using ServiceMainFunction = void (*)();
using ServiceControlHandler = void (*)(std::uint32_t control);

struct ServiceTableEntry {
    const char* name;
    ServiceMainFunction main;
};

struct ServiceHostOptions {
    // Run although no service manager started the program (a person at a terminal).
    bool foreground = false;
    // The window (class, title) that SIGHUP posts the registered message reload_message to.
    const char* reload_window_class = nullptr;
    const char* reload_window_title = nullptr;
    const char* reload_message = nullptr;
};

// Call first in main, before any thread starts: control signals are caught from then on and
// wait for the dispatcher instead of ending the process.
void prepare_service_process();

// Runs the first service of the table (ended by an entry with a null name) and returns once
// its main routine has returned. Fails at once when no service manager started the program
// and options.foreground is false (ENOTCONN; 1063 on Windows).
Status start_service_ctrl_dispatcher(const ServiceTableEntry* table,
                                     const ServiceHostOptions& options);

// 0 on failure.
using ServiceStatusHandle = std::uintptr_t;
ServiceStatusHandle register_service_ctrl_handler(const char* name, ServiceControlHandler handler);
Status set_service_status(ServiceStatusHandle handle, const ServiceStatus& status);

// A line the service manager shows beside the state (systemd's STATUS=); sent with the next
// report, and at once when the service is running.
void set_service_status_detail(const char* text);
// Around a settings reload, so that the service manager knows when it has been done.
void service_reload_begins();
void service_reload_ends();

}  // namespace plat
