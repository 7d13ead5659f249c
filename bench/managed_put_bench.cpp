// Lines per second of managed trace instances (mapped files shared through the writers'
// mutex) beside plain instances, whose every line is one write to the file, so that in
// both each line has reached the operating system when the call returns. Same message,
// file size and count; one process with one thread, and two processes with two threads
// each (the plain side then has a prefix per process, as plain writers cannot share one).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ktlorsym_trace.h"
#include "rounds.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kFileSize = 1 << 20;
constexpr std::int32_t kFileCount = 4;
constexpr int kRounds = 11;
constexpr int kLinesPerRound = 100000;
constexpr char kMessage[] =
    "WDT_OperationThread: Reset Watchdog Timer completed. FileName: "
    "JOVX_WDT_OperationThread, LineNumber: 412.";

fs::path bench_dir(const char* name) {
    const fs::path dir = fs::temp_directory_path() / "ktl-bench" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TraceInstance* open_instance(const std::string& prefix, bool managed) {
    const TraceFileConfig config{kFileSize, kFileCount, prefix.c_str()};
    TraceInstance* trace = nullptr;
    const int result = managed ? KTLORSYM_CreateInstanceM(&trace, &config, "BENCH", 0)
                               : KTLORSYM_CreateInstance(&trace, &config, "BENCH");
    if (result != 0 && result != 3) {
        std::fprintf(stderr, "cannot open %s: %08X\n", prefix.c_str(),
                     KTLORSYM_GetLastError(nullptr));
        std::exit(1);
    }
    KTLORSYM_SetInstanceLockWaitTime(trace, 10000);
    return trace;
}

void put_lines(TraceInstance* trace, int threads, int lines) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([=] {
            for (int n = 0; n < lines / threads; ++n) {
                KTLORSYM_PutInstanceLine(trace, 0, kMessage);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
}

// Runs `processes` children, each with its own instance on prefix(k), `threads` threads
// putting their share of `lines`.
void in_processes(int processes, int threads, int lines, bool managed,
                  const std::function<std::string(int)>& prefix) {
    std::fflush(stdout);  // the children must not print it again
    std::vector<pid_t> children;
    for (int k = 0; k < processes; ++k) {
        const pid_t child = fork();
        if (child == 0) {
            TraceInstance* trace = open_instance(prefix(k), managed);
            put_lines(trace, threads, lines / processes);
            KTLORSYM_DeleteInstance(trace);
            _exit(0);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
    }
}

}  // namespace

int main() {
    // Shared memory is off: only the files count.
    KTLORSYM_Threshold.ShmThreshold = -1;
    const fs::path managed_dir = bench_dir("managed");
    const fs::path plain_dir = bench_dir("plain");
    const std::string managed_prefix = (managed_dir / "m").string();
    bench::print_header(kRounds, "plain");

    TraceInstance* managed = open_instance(managed_prefix, true);
    TraceInstance* plain = open_instance((plain_dir / "p").string(), false);
    const auto one = bench::alternate(
        kRounds, kLinesPerRound, [&] { put_lines(managed, 1, kLinesPerRound); },
        [&] { put_lines(plain, 1, kLinesPerRound); });
    KTLORSYM_DeleteInstance(managed);
    KTLORSYM_DeleteInstance(plain);
    bench::print_row("put, 1 process x 1 thread", one, "ns");
    std::printf("  managed %.2f M lines/s\n", 1e-6 / bench::quantile(one.ours, 0.5));

    const auto two = bench::alternate(
        kRounds, kLinesPerRound,
        [&] { in_processes(2, 2, kLinesPerRound, true, [&](int) { return managed_prefix; }); },
        [&] {
            in_processes(2, 2, kLinesPerRound, false,
                         [&](int k) { return (plain_dir / (k == 0 ? "p0" : "p1")).string(); });
        });
    bench::print_row("put, 2 processes x 2 threads", two, "ns");
    std::printf("  managed %.2f M lines/s in all\n", 1e-6 / bench::quantile(two.ours, 0.5));

    bench::summary("managed put 1x1 lines/s", "managed", "plain", one, 2.0);
    bench::summary("managed put 2x2 lines/s", "managed", "plain", two, 2.0);
    fs::remove_all(managed_dir.parent_path());
    return 0;
}
