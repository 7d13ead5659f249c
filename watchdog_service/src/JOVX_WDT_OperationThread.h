// The watchdog operation thread: arms the BMC timer, resets it at a fixed interval, shortens
// the interval when commands fail, declares the hardware unresponsive when it cannot keep
// up, and stops the timer on a reload and on a service stop.
#pragma once

#include <atomic>
#include <cstdint>

#include "plat/sync.h"

// Results of WDT_PerformSetReset and WDT_SleepForFixedInterval.
constexpr int WDT_SLEEP_XML_UPDATED = 1;
constexpr int WDT_SLEEP_FAILED = 2;
constexpr int WDT_SLEEP_ELAPSED = 3;
constexpr int WDT_RESULT_EXCEPTION = 4;
constexpr int WDT_RESULT_WATCH_OFF = 10;

// Modes of WDT_WatchdogSetOrStopBMC.
constexpr int WDT_MODE_ARM = 1;
constexpr int WDT_MODE_STOP = 0;

// Flags shared with the service's entry: each is written by one thread and read by others.
extern std::atomic<std::uint8_t> g_fStopRequested;
extern std::atomic<std::uint8_t> g_fOperationThreadRunning;
extern std::atomic<std::uint8_t> g_fTimerDisabledAtStart;
extern std::atomic<std::int32_t> g_nSavedMinimumInterval;
extern std::atomic<std::int32_t> g_nSavedMaximumRetryTime;

// The service's three auto-reset events.
struct WDT_ServiceEvents {
    plat::Event notify_xml;  // "WDT_NotifyXMLEvnt": a reload, or a stop, wakes the thread
    plat::Event start_wdt;   // "WDT_StartWDT": watch again with the reloaded settings
    plat::Event bmc_stop;    // "WDT_BMCStop": stop watching
};
// The one set of events, alive for the whole process.
WDT_ServiceEvents& WDT_Events();

// The thread's body: 0 after a normal end, 1 when the IPMI connection could not be opened.
unsigned WDT_OperationThread();

int WDT_Win_WatchdogInit();
int WDT_WatchdogSetReset();
int WDT_PerformSetReset();
// mode WDT_MODE_ARM arms the timer with the settings; any other mode stops it.
int WDT_WatchdogSetOrStopBMC(int mode);
int WDT_Win_WatchdogReset();
// The one door to IpmiAccessCall: its arguments pass unchanged.
int WDT_Win_WatchdogExecute(std::uint8_t command, const std::uint8_t* request,
                            std::uint16_t request_length, std::uint8_t* response,
                            std::uint16_t response_capacity, std::uint16_t* response_length);
void WDT_StopBmcAtExit();
void WDT_Win_ExitWatchdog();
int WDT_SleepForFixedInterval(std::uint32_t seconds);
