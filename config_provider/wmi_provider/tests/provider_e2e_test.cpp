// The provider and the watchdog service together: jovaprv sets a new countdown in the
// service's value file, the service is told through its window, reads its settings again and
// arms the timer of the built-in BMC with the new countdown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "posix_test_support.h"
#include "provider_test_support.h"

extern char** environ;

namespace {

using namespace provider_test;
using plat_test::ScopedEnv;
using Clock = std::chrono::steady_clock;

// Drains a datagram socket so that its sender never blocks.
class Drain {
  public:
    explicit Drain(std::string path) : receiver_(std::move(path)) {
        reader_ = std::thread([this] {
            while (!done_) {
                receiver_.receive(50);
            }
        });
    }
    ~Drain() {
        done_ = true;
        reader_.join();
    }
    const std::string& path() const { return receiver_.path(); }

  private:
    plat_test::DatagramReceiver receiver_;
    std::atomic<bool> done_{false};
    std::thread reader_;
};

pid_t spawn(std::vector<std::string> args, const fs::path& out, const fs::path& err) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Polls often, so that the time it notices something is close to when it happened.
bool wait_for(const std::function<bool()>& condition, int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

TEST(ProviderE2E, SetCountdownReArmsTheServicesTimer) {
    ProviderTree tree;
    const fs::path root = tree.dir();
    const fs::path cnf = root / "or" / "cnf";
    fs::create_directories(root / "or" / "log");
    fs::create_directories(root / "run");
    fs::permissions(root / "run", fs::perms(0755));
    write_text(cnf / "jowdtdef.xml", read_text(fs::path(PACKAGING_DIR) / "cnf" / "jowdtdef.xml"));
    write_text(cnf / "jowdtcns.xml", read_text(fs::path(PACKAGING_DIR) / "cnf" / "jowdtcns.xml"));
    // The shortest valid settings: the service raises the countdown to 150 s.
    write_text(
        cnf / "jowdtcfg.xml",
        "<config>\n  <TimeoutInterval>60</TimeoutInterval>\n  <IntervalCount>10</IntervalCount>\n"
        "  <MinimumInterval>15</MinimumInterval>\n  <ErrorWatching>TRUE</ErrorWatching>\n"
        "</config>\n");
    // As the installed drop-ins have it.
    ProviderTree::set_string("SOFTWARE\\VARMOTH\\KTL-OR\\0001\\PathName", "Path00",
                             (root / "or").string());
    ProviderTree::set_string(kAssistKey, "Orvalis", (cnf / "jowdtcns.xml").string());
    ProviderTree::set_string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orvalis",
                             "Source", "Orvalis");
    ScopedEnv runtime("VARMOTH_RUNTIME_DIR", (root / "run").string());
    Drain syslog((root / "syslog").string());
    Drain manager((root / "notify").string());
    ScopedEnv syslog_env("VARMOTH_SYSLOG_SOCKET", syslog.path());
    ScopedEnv notify_env("NOTIFY_SOCKET", manager.path());
    ScopedEnv invocation("INVOCATION_ID", "");

    const fs::path service_out = root / "service-out.txt";
    const pid_t service = spawn({JOVXWDT_PROGRAM, "--foreground", "--transport", "simulator"},
                                service_out, root / "service-err.txt");
    const auto armed = [&](const char* countdown) {
        return read_text(service_out).find(countdown) != std::string::npos;
    };
    ASSERT_TRUE(wait_for([&] { return armed("armed: countdown 150 s"); }, 10000))
        << read_text(service_out) << read_text(root / "service-err.txt");
    // The window is up once the timer is armed; let the service settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    write_text(root / "new-values.xml", "<config><TimeoutInterval>600</TimeoutInterval></config>");
    const auto start = Clock::now();
    const pid_t host =
        spawn({JOVAPRV_PROGRAM, "set", "Orvalis", (root / "new-values.xml").string()},
              root / "host-out.txt", root / "host-err.txt");
    const bool rearmed = wait_for([&] { return armed("armed: countdown 600 s"); }, 10000);
    const auto elapsed = Clock::now() - start;
    int status = -1;
    waitpid(host, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_text(root / "host-err.txt");
    EXPECT_TRUE(rearmed) << read_text(service_out);
    const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
    std::printf("from jovaprv set to the re-armed timer: %.1f ms\n", ms);
    RecordProperty("rearm_ms", std::to_string(ms));
    EXPECT_NE(read_text(cnf / "jowdtcfg.xml").find("<TimeoutInterval>600</TimeoutInterval>"),
              std::string::npos);
    EXPECT_NE(read_text(cnf / "jowdtcfg.old").find("<TimeoutInterval>60</TimeoutInterval>"),
              std::string::npos);

    kill(service, SIGTERM);
    EXPECT_TRUE(wait_for([&] { return waitpid(service, &status, WNOHANG) == service; }, 15000));
    if (waitpid(service, &status, WNOHANG) == 0) {
        kill(service, SIGKILL);
        waitpid(service, &status, 0);
    }
}

}  // namespace
