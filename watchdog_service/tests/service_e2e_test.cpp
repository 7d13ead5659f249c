// The service program as a process: an install tree of the test's own (registry files,
// settings files, the settings store library), the built-in BMC, event lines caught on a
// syslog socket and status reports on a notify socket of the test's own, and the service's
// clock sped up where the watchdog would wait minutes.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "install_tree.h"
#include "plat/window.h"
#include "posix_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plat_test::ScopedEnv;
using wdt_test::count_of;
using wdt_test::eventually;
using wdt_test::InstallTree;

constexpr char kWindowClass[] = "JOVXServerAssistantWatchdog";

// Collects every datagram a socket receives, reading all the time: a sender whose datagrams
// nobody reads would block.
class Collector {
  public:
    explicit Collector(std::string path) : receiver_(std::move(path)) {
        reader_ = std::thread([this] {
            while (!done_) {
                if (auto datagram = receiver_.receive(50)) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    seen_.push_back(*datagram);
                }
            }
        });
    }
    ~Collector() {
        done_ = true;
        reader_.join();
    }
    const std::string& path() const { return receiver_.path(); }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    int count(const std::string& text) {
        int n = 0;
        for (const std::string& datagram : all()) {
            n += count_of(datagram, text);
        }
        return n;
    }
    bool wait_count(const std::string& text, int at_least) {
        return eventually([&] { return count(text) >= at_least; },
                          "\"" + text + "\" x" + std::to_string(at_least));
    }

  private:
    plat_test::DatagramReceiver receiver_;
    std::mutex mutex_;
    std::vector<std::string> seen_;
    std::atomic<bool> done_{false};
    std::thread reader_;
};

// The program, started with its output in files.
class ServiceProcess : public plat_test::ChildProcess {
  public:
    ServiceProcess(const fs::path& dir, std::vector<std::string> args)
        : ChildProcess(with_program(std::move(args)), dir / "stdout.txt", dir / "stderr.txt") {}

  private:
    static std::vector<std::string> with_program(std::vector<std::string> args) {
        args.insert(args.begin(), JOVXWDT_PROGRAM);
        return args;
    }
};

class ServiceE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(tree_.root() / "run");
        fs::permissions(tree_.root() / "run", fs::perms(0755));
        tree_.write_timing(60);
        plat::RegistryKey source;
        ASSERT_TRUE(
            source.create(plat::RegistryRoot::local_machine,
                          "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orvalis"));
    }
    static void reload() {
        ASSERT_TRUE(plat::post_message_to_window(kWindowClass, nullptr, "WM_RELOADCONFIG"));
    }
    std::string at(const char* name) const { return (tree_.root() / name).string(); }

    InstallTree tree_;
    ScopedEnv runtime_{"VARMOTH_RUNTIME_DIR", at("run")};
    Collector syslog_{at("syslog")};
    Collector manager_{at("notify")};
    ScopedEnv syslog_env_{"VARMOTH_SYSLOG_SOCKET", syslog_.path()};
    ScopedEnv notify_env_{"NOTIFY_SOCKET", manager_.path()};
    ScopedEnv invocation_{"INVOCATION_ID", ""};
    // 20 times faster: a reset every 0.75 s instead of every 15 s.
    ScopedEnv speed_up_{"JOVXWDT_TEST_CLOCK_SPEEDUP", "20"};
};

// Sends "WM_RELOADCONFIG" as the user nobody, over a socket opened while still root.
bool send_as_foreign_user(const std::string& socket_path) {
    plat_test::ChildProcess child(fork());
    if (child.pid() == 0) {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
        const bool ok =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            setgid(65534) == 0 && setuid(65534) == 0 && send(fd, "WM_RELOADCONFIG", 15, 0) == 15;
        _exit(ok ? 0 : 1);
    }
    return child.wait_exit(5s) == 0;
}

TEST_F(ServiceE2E, StartReloadPauseAndStop) {
    ServiceProcess service(tree_.root(), {"--foreground", "--transport", "simulator"});
    ASSERT_TRUE(syslog_.wait_count("Orvalis : The service started successfully.", 1));
    ASSERT_TRUE(syslog_.wait_count("Orvalis : The timer is successfully set and started.", 1));
    EXPECT_TRUE(manager_.wait_count("READY=1", 1));
    EXPECT_TRUE(tree_.trace_count("WinMain : InitializeLogFiles is successful.", 1));
    EXPECT_TRUE(tree_.trace_count("ServiceMain : Enter.", 1));
    EXPECT_TRUE(eventually([&] { return count_of(service.out(), "countdown 150 s") == 1; },
                           "armed with the raised countdown"));

    // Ignored: another user's message, names nobody registered, garbage.
    const std::string socket = at("run/jovxserverassistantwatchdog");
    if (geteuid() == 0) {
        EXPECT_TRUE(send_as_foreign_user(socket));
    }
    for (const char* name : {"WM_RELOADCONFIGX", "WM_CLOSE", "\x01\x02garbage"}) {
        EXPECT_TRUE(plat::post_message_to_window(kWindowClass, nullptr, name));
    }

    // A new countdown: the timer is stopped, the settings re-read, the timer armed again.
    tree_.write_timing(200, true);
    reload();
    EXPECT_TRUE(eventually([&] { return count_of(service.out(), "countdown 200 s") == 1; },
                           "armed with the new countdown"));
    EXPECT_TRUE(syslog_.wait_count("Orvalis : The timer is successfully stopped.", 1));
    EXPECT_TRUE(syslog_.wait_count("Orvalis : The timer is successfully set and started.", 2));
    EXPECT_TRUE(manager_.wait_count("RELOADING=1", 1));
    EXPECT_TRUE(tree_.trace_count("XMLReadEvent signal has been sent.", 1));
    EXPECT_EQ(count_of(tree_.trace(), "XML update event signal has been sent."), 1)
        << "only the test's own reload was taken";

    // Watching off ends the operation thread; on again starts a new one.
    tree_.write_timing(200, false);
    reload();
    EXPECT_TRUE(syslog_.wait_count("Orvalis : The timer is disabled.", 1));
    EXPECT_TRUE(tree_.trace_count("Error watching is set to FALSE.", 1));
    EXPECT_TRUE(tree_.trace_count("The function WDT_WatchdogSetReset has returned a value 1.", 1));
    tree_.write_timing(200, true);
    reload();
    EXPECT_TRUE(tree_.trace_count("API CreateThread is successful.", 2));
    EXPECT_TRUE(eventually([&] { return count_of(service.out(), "countdown 200 s") == 2; },
                           "a new thread arms the timer"));

    // Pause and continue change only the reported state: the resets go on.
    service.signal(SIGUSR1);
    EXPECT_TRUE(manager_.wait_count("STATUS=paused", 1));
    const int resets = count_of(service.out(), "Reset Watchdog Timer");
    EXPECT_TRUE(
        eventually([&] { return count_of(service.out(), "Reset Watchdog Timer") >= resets + 2; },
                   "resets while paused"));
    service.signal(SIGUSR2);
    EXPECT_TRUE(manager_.wait_count("READY=1\nSTATUS=running", 2));

    // Bursts of signals in any order leave it running.
    for (int i = 0; i < 20; ++i) {
        for (int signal_number : {SIGHUP, SIGUSR2, SIGUSR1, SIGHUP}) {
            service.signal(signal_number);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(service.running());
    service.signal(SIGUSR2);
    EXPECT_TRUE(eventually([&] { return count_of(service.out(), "armed: countdown") >= 3; },
                           "armed after reloads"));

    const std::size_t before_stop = service.out().size();
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait_exit(30s), 0);
    EXPECT_TRUE(syslog_.wait_count("Orvalis : The service stopped successfully.", 1));
    const std::string all = service.out();
    const std::string tail = all.substr(before_stop);
    // A reload still under way may have stopped the timer before the stop came: what counts
    // is that the last command left it stopped.
    const std::size_t last_stop = all.rfind("Set Watchdog Timer (stop)");
    ASSERT_NE(last_stop, std::string::npos) << tail;
    EXPECT_GT(last_stop, all.rfind("armed: countdown")) << "the timer was left armed: " << tail;
    EXPECT_LE(count_of(tail, "Set Watchdog Timer (stop)"), 4) << tail;
    EXPECT_NE(tail.find("Summary:"), std::string::npos);
    EXPECT_TRUE(manager_.wait_count("STOPPING=1", 1));
    EXPECT_FALSE(fs::exists(socket)) << "the window's socket goes with the window";
}

TEST_F(ServiceE2E, MissingSettingsPartsEndItBeforeItReports) {
    const std::vector<std::pair<std::string, std::function<void()>>> breaks = {
        {"no settings store library", [&] { fs::remove(tree_.library()); }},
        {"no registry key",
         [] {
             plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
         }},
    };
    for (const auto& [name, damage] : breaks) {
        damage();
        ServiceProcess service(tree_.root(), {"--foreground", "--transport", "simulator"});
        EXPECT_EQ(service.wait_exit(10s), 1) << name;
        EXPECT_TRUE(manager_.all().empty()) << name << ": nothing reported";
        EXPECT_TRUE(syslog_.all().empty()) << name << ": nothing logged";
    }
}

TEST_F(ServiceE2E, SwitchesAndAStartFromATerminal) {
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {{"--help"}, 0, "--foreground", ""},
        {{"--version"}, 0, "jovxwdt ", ""},
        {{"--bogus"}, 2, "", "unknown argument: --bogus"},
        {{"--run-seconds", "0"}, 2, "", "--run-seconds"},
        {{"--transport", "carrier-pigeon"}, 1, "", "unknown IPMI transport"},
        {{"--status", "--transport", "simulator"}, 0, "Present countdown:", ""},
    };
    for (const Case& c : cases) {
        ServiceProcess program(tree_.root(), c.args);
        EXPECT_EQ(program.wait_exit(10s), c.exit_code) << c.args[0];
        EXPECT_NE(program.out().find(c.out), std::string::npos) << c.args[0] << program.out();
        EXPECT_NE(program.err().find(c.err), std::string::npos) << c.args[0] << program.err();
    }
    // Without a service manager and without --foreground: refused, and told how to run it.
    ScopedEnv no_manager("NOTIFY_SOCKET", "");
    ServiceProcess console(tree_.root(), {"--transport", "simulator"});
    EXPECT_EQ(console.wait_exit(10s), 1);
    EXPECT_NE(console.err().find("--foreground"), std::string::npos) << console.err();
    EXPECT_TRUE(tree_.trace_count("KTLOR-049-E", 1));
    EXPECT_TRUE(syslog_.all().empty()) << "the service never started";
}

TEST_F(ServiceE2E, RunSecondsStopsItByItself) {
    ServiceProcess service(tree_.root(),
                           {"--foreground", "--transport", "simulator", "--run-seconds", "2"});
    EXPECT_EQ(service.wait_exit(15s), 0);
    EXPECT_NE(service.out().find("Set Watchdog Timer (stop)"), std::string::npos);
    EXPECT_NE(service.out().find("Summary:"), std::string::npos);
}

}  // namespace
