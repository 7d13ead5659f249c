// How fast the reader keeps up with a managed set that two writer processes fill at full
// speed: the follower program (built on the reader) runs beside them, and each round times
// the writers from start to their last line and the follower from start to the moment it
// has shown that line. The ratio (writers' time / follower's time) is 1 when the reader is
// done as soon as the writers are.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ktlorsym_trace.h"
#include "rounds.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kFileSize = 1 << 20;
constexpr std::int32_t kFileCount = 64;  // 64 MiB: more than a round writes, so no lapping
constexpr int kRounds = 7;
constexpr int kLinesPerWriter = 50000;
constexpr int kWriters = 2;
constexpr char kMessage[] =
    "WDT_OperationThread: Reset Watchdog Timer completed. FileName: "
    "JOVX_WDT_OperationThread, LineNumber: 412.";

TraceInstance* open_instance(const std::string& prefix) {
    const TraceFileConfig config{kFileSize, kFileCount, prefix.c_str()};
    TraceInstance* trace = nullptr;
    const int result = KTLORSYM_CreateInstanceM(&trace, &config, "BENCH", 0);
    if (result != 0 && result != 3) {
        std::fprintf(stderr, "cannot open %s: %08X\n", prefix.c_str(),
                     KTLORSYM_GetLastError(nullptr));
        std::exit(1);
    }
    KTLORSYM_SetInstanceLockWaitTime(trace, 10000);
    return trace;
}

// Counts the trace lines (not header-block lines) that the follower prints.
class FollowerOutput {
  public:
    FollowerOutput(const char* program, const std::string& prefix) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            std::exit(1);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::string lines = "1";
        char* argv[] = {const_cast<char*>(program), const_cast<char*>("--lines"), lines.data(),
                        const_cast<char*>(prefix.c_str()), nullptr};
        if (posix_spawn(&pid_, program, &actions, nullptr, argv, environ) != 0) {
            std::fprintf(stderr, "cannot run %s\n", program);
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        fd_ = fds[0];
        thread_ = std::thread([this] { pump(); });
    }
    ~FollowerOutput() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        thread_.join();
        close(fd_);
    }

    long lines() const { return lines_.load(std::memory_order_acquire); }
    bool started() const { return started_.load(std::memory_order_acquire); }

  private:
    void pump() {
        char buffer[1 << 16];
        bool line_start = true;
        for (;;) {
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            started_.store(true, std::memory_order_release);
            long found = 0;
            for (ssize_t i = 0; i < n; ++i) {
                // Header-block lines begin with "****" or spaces; trace lines with digits.
                if (line_start && buffer[i] >= '0' && buffer[i] <= '9') {
                    ++found;
                }
                line_start = buffer[i] == '\n';
            }
            lines_.fetch_add(found, std::memory_order_release);
        }
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::atomic<long> lines_{0};
    std::atomic<bool> started_{false};
    std::thread thread_;
};

template <typename Condition>
void wait_until(Condition condition, const char* what) {
    const auto give_up = bench::Clock::now() + std::chrono::seconds(120);
    while (!condition()) {
        if (bench::Clock::now() > give_up) {
            std::fprintf(stderr, "gave up waiting for %s\n", what);
            std::exit(1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

}  // namespace

int main() {
    KTLORSYM_Threshold.ShmThreshold = -1;
    const fs::path dir = fs::temp_directory_path() / "ktl-bench" / "follow";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string prefix = (dir / "f").string();
    // The set exists, with its files prepared, before the follower starts.
    KTLORSYM_DeleteInstance(open_instance(prefix));
    auto follower_holder = std::make_unique<FollowerOutput>(KTLORTAIL, prefix);
    FollowerOutput& follower = *follower_holder;
    wait_until([&] { return follower.started(); }, "the follower to start");

    bench::Comparison c;
    long expected = follower.lines();
    for (int round = 0; round < kRounds; ++round) {
        expected += static_cast<long>(kWriters) * kLinesPerWriter;
        const auto start = bench::Clock::now();
        std::vector<pid_t> writers;
        for (int k = 0; k < kWriters; ++k) {
            const pid_t child = fork();
            if (child == 0) {
                TraceInstance* trace = open_instance(prefix);
                for (int n = 0; n < kLinesPerWriter; ++n) {
                    KTLORSYM_PutInstanceLine(trace, 0, kMessage);
                }
                KTLORSYM_DeleteInstance(trace);
                _exit(0);
            }
            writers.push_back(child);
        }
        for (const pid_t child : writers) {
            waitpid(child, nullptr, 0);
        }
        const auto written = bench::Clock::now();
        wait_until([&] { return follower.lines() >= expected; }, "the follower's lines");
        const auto read = bench::Clock::now();
        const double writer_seconds = std::chrono::duration<double>(written - start).count();
        const double reader_seconds = std::chrono::duration<double>(read - start).count();
        constexpr double kLines = static_cast<double>(kWriters) * kLinesPerWriter;
        c.ours.push_back(reader_seconds / kLines);
        c.peer.push_back(writer_seconds / kLines);
        c.ratio.push_back(writer_seconds / reader_seconds);
    }
    if (follower.lines() != expected) {
        std::fprintf(stderr, "the follower showed %ld lines, not %ld\n", follower.lines(),
                     expected);
        return 1;
    }

    bench::print_header(kRounds, "writers'");
    bench::print_row("follow 2 writer processes", c, "ns");
    std::printf("  reader keeps up with %.2f M lines/s; the writers put %.2f M lines/s\n",
                1e-6 / bench::quantile(c.ours, 0.5), 1e-6 / bench::quantile(c.peer, 0.5));
    bench::summary("reader follow 2 writers lines/s", "follower", "writers", c, 0.8);
    follower_holder.reset();
    fs::remove_all(dir);
    return 0;
}
