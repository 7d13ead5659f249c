// The service's entry and lifecycle: the program entry reads the settings and starts the
// log, the dispatcher runs ServiceMain, which creates the hidden window and the operation
// thread and pumps window messages; the control handler turns a stop into an orderly end.
#pragma once

#include <atomic>
#include <cstdint>

#include "plat/window.h"

inline constexpr char kServiceName[] = "QKTLOR";
inline constexpr char kWindowClassName[] = "JOVXServerAssistantWatchdog";
inline constexpr char kReloadMessageName[] = "WM_RELOADCONFIG";
constexpr std::uintptr_t WDT_IPMI_TIMER_ID = 11;
constexpr std::uint32_t kIpmiCallReportMs = 30000;
constexpr std::uint32_t kOperationThreadWaitMs = 20000;

extern std::atomic<std::uint8_t> g_fWindowClassRegistered;
extern std::atomic<plat::Window*> g_hWatchdogWindow;
extern std::atomic<std::uint32_t> g_uReloadMessage;
// Set when the dispatcher could not start (a start from a terminal without --foreground).
extern std::atomic<bool> g_fDispatcherFailed;

// The program entry's flow: 0 when the service ran and ended, 1 when set-up failed or the
// dispatcher could not start. foreground: run without a service manager.
int WinMain(bool foreground);
void ServiceMain();
void ServiceCtrlHandler(std::uint32_t control);
int WDT_WindowControl(plat::ModuleInstance instance);
// 1 = class registered, 0 = failure.
int WDT_RegisterWindow(plat::ModuleInstance instance);
int WDT_CreateWindow(plat::ModuleInstance instance);
std::intptr_t WDT_RecvMsgWndProc(plat::Window* window, std::uint32_t message, std::uintptr_t wparam,
                                 std::intptr_t lparam);

// Plugs the window into the IPMI connection: every call is bracketed by the two synchronous
// window messages. Call while no IPMI call is in progress.
void WDT_ConnectIpmiObserver();
