// The program as a Windows service: registered with sc, started and stopped with net, the
// reload message posted by another program through FindWindowA and PostMessageA, and a
// start from a console refused by the control manager.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "install_tree.h"

namespace {

namespace fs = std::filesystem;

using wdt_test::count_of;
using wdt_test::eventually;

constexpr char kServiceName[] = "QKTLOR";
constexpr char kWindowClass[] = "JOVXServerAssistantWatchdog";

// "Z:\..." for a path of the build tree, which Wine shows as drive Z: the service starts
// elsewhere, where "/..." would mean drive C.
std::string windows_path(const std::string& host_path) {
    std::string path = host_path;
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

// Runs a command line; its exit code, or -1 when it did not start or end in time.
int run(const std::string& command_line, DWORD timeout_ms = 60000) {
    std::string line = command_line;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    CloseHandle(process.hThread);
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

bool service_running() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr ? OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status{};
    const bool running = service != nullptr && QueryServiceStatus(service, &status) &&
                         status.dwCurrentState == SERVICE_RUNNING;
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return running;
}

BOOL CALLBACK add_station(LPSTR name, LPARAM names) {
    reinterpret_cast<std::vector<std::string>*>(names)->push_back(name);
    return TRUE;
}

// Runs `body` on the desktop "Default" of each window station in turn until it returns true:
// a service that does not interact with the user has its windows on a station of its own.
// On a thread of its own, which has no window and may change its desktop.
bool on_any_desktop(const std::function<bool()>& body) {
    bool done = false;
    std::thread walker([&done, &body] {
        const HWINSTA own_station = GetProcessWindowStation();
        std::vector<std::string> stations;
        EnumWindowStationsA(add_station, reinterpret_cast<LPARAM>(&stations));
        for (std::size_t i = 0; i < stations.size() && !done; ++i) {
            HWINSTA station = OpenWindowStationA(stations[i].c_str(), FALSE, WINSTA_ALL_ACCESS);
            if (station == nullptr || !SetProcessWindowStation(station)) {
                continue;
            }
            HDESK desktop = OpenDesktopA("Default", 0, FALSE, GENERIC_ALL);
            done = desktop != nullptr && SetThreadDesktop(desktop) && body();
            SetProcessWindowStation(own_station);
            if (desktop != nullptr) {
                CloseDesktop(desktop);
            }
            CloseWindowStation(station);
        }
    });
    walker.join();
    return done;
}

// What another program does to make the service reload: FindWindowA and PostMessageA.
bool find_and_post(const char* message_name) {
    return on_any_desktop([message_name] {
        const UINT message = RegisterWindowMessageA(message_name);
        HWND window = FindWindowA(kWindowClass, nullptr);
        return window != nullptr && message != 0 && PostMessageA(window, message, 0, 0);
    });
}

class ServiceScm : public ::testing::Test {
  protected:
    void SetUp() override {
        remove_service();
        tree_.write_timing(60);
        plat::RegistryKey service;
        ASSERT_TRUE(service.create(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH\\KTL-OR"));
        ASSERT_TRUE(service.set_string("IpmiTransport", "simulator"));
    }
    void TearDown() override { remove_service(); }
    static void remove_service() {
        run(std::string("net stop ") + kServiceName);
        run(std::string("sc delete ") + kServiceName);
    }
    bool traced(const std::string& text, int timeout_ms = 30000) const {
        return tree_.trace_count(text, 1, timeout_ms);
    }
    int count(const std::string& text) const { return count_of(tree_.trace(), text); }

    wdt_test::InstallTree tree_{windows_path};
    const std::string program_ = windows_path(JOVXWDT_PROGRAM);
};

TEST_F(ServiceScm, StartedByTheControlManagerReloadsOnThePostedMessageAndStops) {
    ASSERT_EQ(run(std::string("sc create ") + kServiceName + " binPath= \"" + program_ + "\""), 0);
    // Wine may keep its service database locked for a while: try again meanwhile.
    ASSERT_TRUE(eventually(
        [] { return run(std::string("net start ") + kServiceName) == 0 || service_running(); },
        "the service started", 60000));
    EXPECT_TRUE(traced("WinMain : InitializeLogFiles is successful."));
    EXPECT_TRUE(traced("WDT_CreateWindow : CreateWindow is successful."));
    EXPECT_TRUE(traced("WDT_WindowControl : API CreateThread is successful."));

    // Another program finds the hidden window by its class and posts the registered message.
    tree_.write_timing(120);
    ASSERT_TRUE(eventually([] { return find_and_post("WM_RELOADCONFIG"); },
                           std::string("a window of class ") + kWindowClass, 30000));
    EXPECT_TRUE(traced("XML update event signal has been sent."));
    EXPECT_TRUE(traced("XMLReadEvent signal has been sent."));

    ASSERT_EQ(run(std::string("net stop ") + kServiceName), 0);
    EXPECT_TRUE(traced("DestroyWindow is successful."));
    EXPECT_TRUE(traced("The thread handle for WDTOperationThread has been signaled."));
    EXPECT_TRUE(traced("ServiceMain : Exit."));
    EXPECT_TRUE(eventually(
        [] {
            return !on_any_desktop([] { return FindWindowA(kWindowClass, nullptr) != nullptr; });
        },
        "the window to go with the service", 30000));
}

TEST_F(ServiceScm, AStartFromAConsoleIsRefusedUnlessInTheForeground) {
    EXPECT_EQ(run("\"" + program_ + "\"", 60000), 1);
    EXPECT_TRUE(traced("KTLOR-049-E", 5000));
    EXPECT_EQ(count("API StartServiceCtrlDispatcher has failed with error 1063."), 1)
        << tree_.trace();
    EXPECT_EQ(count("ServiceMain"), 0) << "the service never started";

    // From a console with --foreground it runs, and stops by itself in order.
    EXPECT_EQ(run("\"" + program_ + "\" --foreground --run-seconds 2", 60000), 0);
    EXPECT_EQ(count("ServiceMain : Exit."), 1) << tree_.trace();
    EXPECT_EQ(count("The thread handle for WDTOperationThread has been signaled."), 1);
}

}  // namespace
