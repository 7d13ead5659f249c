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
#include "plat/dl.h"
#include "plat/registry.h"
#include "plat/window.h"
#include "posix_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plat_test::read_text;
using plat_test::ScopedEnv;
using plat_test::write_text;

constexpr char kWindowClass[] = "JOVXServerAssistantWatchdog";

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Polls until the condition holds; fails with the message after the time-out.
bool eventually(const std::function<bool()>& condition, const std::string& what,
                int timeout_ms = 8000) {
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "timed out waiting for: " << what;
    return false;
}

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
        char library[64];
        fs::create_directories(root_.path() / "registry" / "registry.d");
        fs::create_directories(root_.path() / "pv" / "lib");
        fs::create_directories(root_.path() / "or" / "log");
        fs::create_directories(root_.path() / "run");
        fs::permissions(root_.path() / "run", fs::perms(0755));
        fs::copy_file(JOVACFG_LIBRARY_FILE,
                      root_.path() / "pv" / "lib" /
                          plat::shared_library_file_name("jovacfg", library, sizeof library));
        write_text(cnf_ / "jowdtdef.xml",
                   read_text(fs::path(PACKAGING_DIR) / "cnf" / "jowdtdef.xml"));
        write_values(60, true);
        for (const auto& [key, directory] :
             {std::pair{"KTL-OR", "or"}, std::pair{"KTL-PV", "pv"}}) {
            plat::RegistryKey location;
            const std::string path = std::string("SOFTWARE\\VARMOTH\\") + key + "\\0001\\PathName";
            ASSERT_TRUE(location.create(plat::RegistryRoot::local_machine, path.c_str()));
            ASSERT_TRUE(location.set_string("Path00", (root_.path() / directory).string().c_str()));
        }
        plat::RegistryKey source;
        ASSERT_TRUE(
            source.create(plat::RegistryRoot::local_machine,
                          "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orvalis"));
        ASSERT_TRUE(source.set_dword("TypesSupported", 7));
    }
    void TearDown() override {
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SYSTEM");
    }
    // The shortest valid settings; the service raises the countdown to fit ten resets of
    // at least the minimum interval.
    void write_values(int timeout, bool watching) const {
        write_text(cnf_ / "jowdtcfg.xml",
                   "<config>\n  <TimeoutInterval>" + std::to_string(timeout) +
                       "</TimeoutInterval>\n  <IntervalCount>10</IntervalCount>\n"
                       "  <MinimumInterval>15</MinimumInterval>\n  <ErrorWatching>" +
                       (watching ? "TRUE" : "FALSE") + "</ErrorWatching>\n</config>\n");
    }
    std::string trace() const {
        std::string all;
        for (const auto& file : fs::directory_iterator(root_.path() / "or" / "log")) {
            all += read_text(file.path());
        }
        return all;
    }
    bool trace_count(const std::string& text, int at_least) const {
        return eventually([&] { return count_of(trace(), text) >= at_least; },
                          "trace \"" + text + "\" x" + std::to_string(at_least));
    }
    static void reload() {
        ASSERT_TRUE(plat::post_message_to_window(kWindowClass, nullptr, "WM_RELOADCONFIG"));
    }

    plat_test::ScratchDir root_;
    const fs::path cnf_ = root_.path() / "or" / "cnf";
    ScopedEnv registry_{"VARMOTH_REGISTRY", (root_.path() / "registry").string()};
    ScopedEnv runtime_{"VARMOTH_RUNTIME_DIR", (root_.path() / "run").string()};
    Collector syslog_{root_ / "syslog"};
    Collector manager_{root_ / "notify"};
    ScopedEnv syslog_env_{"VARMOTH_SYSLOG_SOCKET", syslog_.path()};
    ScopedEnv notify_env_{"NOTIFY_SOCKET", manager_.path()};
    ScopedEnv invocation_{"INVOCATION_ID", ""};
    // 20 times faster: a reset every 0.75 s instead of every 15 s.
    ScopedEnv speed_up_{"JOVXWDT_TEST_CLOCK_SPEEDUP", "20"};
};

// Sends "WM_RELOADCONFIG" as the user nobody, over a socket opened while still root.
bool send_as_foreign_user(const std::string& socket_path) {
    const pid_t child = fork();
    if (child == 0) {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
        const bool ok =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            setgid(65534) == 0 && setuid(65534) == 0 && send(fd, "WM_RELOADCONFIG", 15, 0) == 15;
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(ServiceE2E, StartReloadPauseAndStop) {
    ServiceProcess service(root_.path(), {"--foreground", "--transport", "simulator"});
    ASSERT_TRUE(syslog_.wait_count("Orvalis : The service started successfully.", 1));
    ASSERT_TRUE(syslog_.wait_count("Orvalis : The timer is successfully set and started.", 1));
    EXPECT_TRUE(manager_.wait_count("READY=1", 1));
    EXPECT_TRUE(trace_count("WinMain : InitializeLogFiles is successful.", 1));
    EXPECT_TRUE(trace_count("ServiceMain : Enter.", 1));
    EXPECT_TRUE(eventually([&] { return count_of(service.out(), "countdown 150 s") == 1; },
                           "armed with the raised countdown"));

    // Ignored: another user's message, names nobody registered, garbage.
    const std::string socket = root_ / "run/jovxserverassistantwatchdog";
    if (geteuid() == 0) {
        EXPECT_TRUE(send_as_foreign_user(socket));
    }
    for (const char* name : {"WM_RELOADCONFIGX", "WM_CLOSE", "\x01\x02garbage"}) {
        EXPECT_TRUE(plat::post_message_to_window(kWindowClass, nullptr, name));
    }

    // A new countdown: the timer is stopped, the settings re-read, the timer armed again.
    write_values(200, true);
    reload();
    EXPECT_TRUE(eventually([&] { return count_of(service.out(), "countdown 200 s") == 1; },
                           "armed with the new countdown"));
    EXPECT_TRUE(syslog_.wait_count("Orvalis : The timer is successfully stopped.", 1));
    EXPECT_TRUE(syslog_.wait_count("Orvalis : The timer is successfully set and started.", 2));
    EXPECT_TRUE(manager_.wait_count("RELOADING=1", 1));
    EXPECT_TRUE(trace_count("XMLReadEvent signal has been sent.", 1));
    EXPECT_EQ(count_of(trace(), "XML update event signal has been sent."), 1)
        << "only the test's own reload was taken";

    // Watching off ends the operation thread; on again starts a new one.
    write_values(200, false);
    reload();
    EXPECT_TRUE(syslog_.wait_count("Orvalis : The timer is disabled.", 1));
    EXPECT_TRUE(trace_count("Error watching is set to FALSE.", 1));
    EXPECT_TRUE(trace_count("The function WDT_WatchdogSetReset has returned a value 1.", 1));
    write_values(200, true);
    reload();
    EXPECT_TRUE(trace_count("API CreateThread is successful.", 2));
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
    const std::string tail = service.out().substr(before_stop);
    EXPECT_GE(count_of(tail, "Set Watchdog Timer (stop)"), 1) << tail;
    EXPECT_LE(count_of(tail, "Set Watchdog Timer (stop)"), 4) << tail;
    EXPECT_NE(tail.find("Summary:"), std::string::npos);
    EXPECT_TRUE(manager_.wait_count("STOPPING=1", 1));
    EXPECT_FALSE(fs::exists(socket)) << "the window's socket goes with the window";
}

TEST_F(ServiceE2E, MissingSettingsPartsEndItBeforeItReports) {
    char library[64];
    const std::vector<std::pair<std::string, std::function<void()>>> breaks = {
        {"no settings store library",
         [&] {
             fs::remove(root_.path() / "pv" / "lib" /
                        plat::shared_library_file_name("jovacfg", library, sizeof library));
         }},
        {"no registry key",
         [] {
             plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
         }},
    };
    for (const auto& [name, damage] : breaks) {
        damage();
        ServiceProcess service(root_.path(), {"--foreground", "--transport", "simulator"});
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
        ServiceProcess program(root_.path(), c.args);
        EXPECT_EQ(program.wait_exit(10s), c.exit_code) << c.args[0];
        EXPECT_NE(program.out().find(c.out), std::string::npos) << c.args[0] << program.out();
        EXPECT_NE(program.err().find(c.err), std::string::npos) << c.args[0] << program.err();
    }
    // Without a service manager and without --foreground: refused, and told how to run it.
    ScopedEnv no_manager("NOTIFY_SOCKET", "");
    ServiceProcess console(root_.path(), {"--transport", "simulator"});
    EXPECT_EQ(console.wait_exit(10s), 1);
    EXPECT_NE(console.err().find("--foreground"), std::string::npos) << console.err();
    EXPECT_TRUE(trace_count("KTLOR-049-E", 1));
    EXPECT_TRUE(syslog_.all().empty()) << "the service never started";
}

TEST_F(ServiceE2E, RunSecondsStopsItByItself) {
    ServiceProcess service(root_.path(),
                           {"--foreground", "--transport", "simulator", "--run-seconds", "2"});
    EXPECT_EQ(service.wait_exit(15s), 0);
    EXPECT_NE(service.out().find("Set Watchdog Timer (stop)"), std::string::npos);
    EXPECT_NE(service.out().find("Summary:"), std::string::npos);
}

}  // namespace
