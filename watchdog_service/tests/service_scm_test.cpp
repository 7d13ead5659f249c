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

#include "plat/dl.h"
#include "plat/registry.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

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

bool eventually(const std::function<bool()>& condition, int timeout_ms = 30000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
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

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

BOOL CALLBACK add_station(LPSTR name, LPARAM names) {
    reinterpret_cast<std::vector<std::string>*>(names)->push_back(name);
    return TRUE;
}

// FindWindowA and PostMessageA on the desktop "Default" of each window station in turn: a
// service that does not interact with the user has its windows on a station of its own.
// On a thread of its own, which has no window and may change its desktop.
bool find_and_post(const char* message_name) {
    bool posted = false;
    std::thread poster([&posted, message_name] {
        const UINT message = RegisterWindowMessageA(message_name);
        const HWINSTA own_station = GetProcessWindowStation();
        std::vector<std::string> stations;
        EnumWindowStationsA(add_station, reinterpret_cast<LPARAM>(&stations));
        for (const std::string& name : stations) {
            HWINSTA station = OpenWindowStationA(name.c_str(), FALSE, WINSTA_ALL_ACCESS);
            if (station == nullptr || !SetProcessWindowStation(station)) {
                continue;
            }
            HDESK desktop = OpenDesktopA("Default", 0, FALSE, GENERIC_ALL);
            if (desktop != nullptr && SetThreadDesktop(desktop)) {
                if (HWND window = FindWindowA(kWindowClass, nullptr)) {
                    posted = message != 0 && PostMessageA(window, message, 0, 0);
                }
            }
            SetProcessWindowStation(own_station);
            if (desktop != nullptr) {
                CloseDesktop(desktop);
            }
            CloseWindowStation(station);
            if (posted) {
                break;
            }
        }
    });
    poster.join();
    return posted;
}

// True when no window station has a window of the service's class.
bool no_window_left() {
    bool found = false;
    std::thread looker([&found] {
        const HWINSTA own_station = GetProcessWindowStation();
        std::vector<std::string> stations;
        EnumWindowStationsA(add_station, reinterpret_cast<LPARAM>(&stations));
        for (const std::string& name : stations) {
            HWINSTA station = OpenWindowStationA(name.c_str(), FALSE, WINSTA_ALL_ACCESS);
            if (station == nullptr || !SetProcessWindowStation(station)) {
                continue;
            }
            HDESK desktop = OpenDesktopA("Default", 0, FALSE, GENERIC_ALL);
            if (desktop != nullptr && SetThreadDesktop(desktop)) {
                found = found || FindWindowA(kWindowClass, nullptr) != nullptr;
            }
            SetProcessWindowStation(own_station);
            if (desktop != nullptr) {
                CloseDesktop(desktop);
            }
            CloseWindowStation(station);
        }
    });
    looker.join();
    return !found;
}

class ServiceScm : public ::testing::Test {
  protected:
    void SetUp() override {
        remove_service();
        char library[64];
        fs::create_directories(root_.path() / "pv" / "lib");
        fs::create_directories(root_.path() / "or" / "log");
        fs::copy_file(JOVACFG_LIBRARY_FILE,
                      root_.path() / "pv" / "lib" /
                          plat::shared_library_file_name("jovacfg", library, sizeof library));
        plat_test::write_text(cnf_ / "jowdtdef.xml", plat_test::read_text(fs::path(PACKAGING_DIR) /
                                                                          "cnf" / "jowdtdef.xml"));
        write_values(60);
        for (const auto& [key, directory] :
             {std::pair{"KTL-OR", "or"}, std::pair{"KTL-PV", "pv"}}) {
            plat::RegistryKey location;
            const std::string path = std::string("SOFTWARE\\VARMOTH\\") + key + "\\0001\\PathName";
            ASSERT_TRUE(location.create(plat::RegistryRoot::local_machine, path.c_str()));
            ASSERT_TRUE(location.set_string(
                "Path00", windows_path((root_.path() / directory).string()).c_str()));
        }
        plat::RegistryKey service;
        ASSERT_TRUE(service.create(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH\\KTL-OR"));
        ASSERT_TRUE(service.set_string("IpmiTransport", "simulator"));
    }
    void TearDown() override {
        remove_service();
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
    }
    static void remove_service() {
        run(std::string("net stop ") + kServiceName);
        run(std::string("sc delete ") + kServiceName);
    }
    void write_values(int timeout) const {
        plat_test::write_text(cnf_ / "jowdtcfg.xml",
                              "<config>\n  <TimeoutInterval>" + std::to_string(timeout) +
                                  "</TimeoutInterval>\n  <IntervalCount>10</IntervalCount>\n"
                                  "  <MinimumInterval>15</MinimumInterval>\n"
                                  "  <ErrorWatching>TRUE</ErrorWatching>\n</config>\n");
    }
    std::string trace() const {
        std::string all;
        for (const auto& file : fs::directory_iterator(root_.path() / "or" / "log")) {
            all += plat_test::read_text(file.path());
        }
        return all;
    }
    bool trace_count(const std::string& text, int at_least, int timeout_ms = 30000) const {
        const bool seen =
            eventually([&] { return count_of(trace(), text) >= at_least; }, timeout_ms);
        if (!seen) {
            ADD_FAILURE() << "trace \"" << text << "\" x" << at_least << " never came:\n"
                          << trace();
        }
        return seen;
    }

    plat_test::ScratchDir root_;
    const fs::path cnf_ = root_.path() / "or" / "cnf";
    const std::string program_ = windows_path(JOVXWDT_PROGRAM);
};

TEST_F(ServiceScm, StartedByTheControlManagerReloadsOnThePostedMessageAndStops) {
    ASSERT_EQ(run(std::string("sc create ") + kServiceName + " binPath= \"" + program_ + "\""), 0);
    // Wine may keep its service database locked for a while: try again meanwhile.
    ASSERT_TRUE(eventually(
        [] { return run(std::string("net start ") + kServiceName) == 0 || service_running(); },
        60000));
    EXPECT_TRUE(trace_count("WinMain : InitializeLogFiles is successful.", 1));
    EXPECT_TRUE(trace_count("WDT_CreateWindow : CreateWindow is successful.", 1));
    EXPECT_TRUE(trace_count("WDT_WindowControl : API CreateThread is successful.", 1));

    // Another program finds the hidden window by its class and posts the registered message.
    write_values(120);
    ASSERT_TRUE(eventually([] { return find_and_post("WM_RELOADCONFIG"); }))
        << "no window of class " << kWindowClass;
    EXPECT_TRUE(trace_count("XML update event signal has been sent.", 1));
    EXPECT_TRUE(trace_count("XMLReadEvent signal has been sent.", 1));

    ASSERT_EQ(run(std::string("net stop ") + kServiceName), 0);
    EXPECT_TRUE(trace_count("DestroyWindow is successful.", 1));
    EXPECT_TRUE(trace_count("The thread handle for WDTOperationThread has been signaled.", 1));
    EXPECT_TRUE(trace_count("ServiceMain : Exit.", 1));
    EXPECT_TRUE(eventually(no_window_left)) << "the window outlived the service";
}

TEST_F(ServiceScm, AStartFromAConsoleIsRefusedUnlessInTheForeground) {
    EXPECT_EQ(run("\"" + program_ + "\"", 60000), 1);
    EXPECT_TRUE(trace_count("KTLOR-049-E", 1, 5000));
    EXPECT_EQ(count_of(trace(), "API StartServiceCtrlDispatcher has failed with error 1063."), 1)
        << trace();
    EXPECT_EQ(count_of(trace(), "ServiceMain"), 0) << "the service never started";

    // From a console with --foreground it runs, and stops by itself in order.
    EXPECT_EQ(run("\"" + program_ + "\" --foreground --run-seconds 2", 60000), 0);
    EXPECT_EQ(count_of(trace(), "ServiceMain : Exit."), 1) << trace();
    EXPECT_EQ(count_of(trace(), "The thread handle for WDTOperationThread has been signaled."), 1);
}

}  // namespace
