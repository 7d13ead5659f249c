// Call latency of the service log's WDTLogWrite while its logger thread drains into a plain
// trace instance, beside an asynchronous logger that drops its oldest messages when full,
// writing a rotating file. Median and 99th percentile from 1 and 4 threads, each the median
// of several rounds that alternate between the two loggers, so that a passing disturbance of
// the machine does not decide the comparison.
#include <spdlog/async.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "JOVX_ErrorLogging.h"
#include "plat/sync.h"
#include "plat/thread.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kSourceFileName[] = "service_log_latency_bench";
constexpr int kCallsPerThread = 50000;
constexpr int kRounds = 7;
constexpr std::uint32_t kFileSizeMb = 8;
constexpr std::uint32_t kFileCount = 4;

struct Latency {
    double median_ns;
    double p99_ns;
};

// Runs call() kCallsPerThread times on each of `threads` threads and times every call. The
// threads run at the time-critical priority the service's own threads run at, when the
// system grants it.
Latency measure(int threads, const std::function<void(int)>& call, bool* time_critical) {
    std::vector<std::vector<double>> samples(threads);
    std::vector<std::unique_ptr<plat::Thread>> workers;
    plat::Event go;
    std::atomic<int> ready{0};
    for (int t = 0; t < threads; ++t) {
        workers.push_back(std::make_unique<plat::Thread>());
        workers.back()->start([&, t] {
            samples[t].reserve(kCallsPerThread);
            ++ready;
            go.wait(plat::kWaitForever);
            go.set();  // releases the next worker
            for (int n = 0; n < kCallsPerThread; ++n) {
                const auto start = Clock::now();
                call(n);
                const auto end = Clock::now();
                samples[t].push_back(std::chrono::duration<double, std::nano>(end - start).count());
            }
        });
        *time_critical = workers.back()->raise_to_time_critical().ok() && *time_critical;
    }
    while (ready.load() < threads) {
        std::this_thread::yield();
    }
    go.set();
    for (auto& worker : workers) {
        worker->join(plat::kWaitForever);
    }
    std::vector<double> all;
    for (auto& s : samples) {
        all.insert(all.end(), s.begin(), s.end());
    }
    std::sort(all.begin(), all.end());
    return {all[all.size() / 2], all[all.size() * 99 / 100]};
}

// Median and 99th percentile each taken over the rounds on their own.
Latency median_of(std::vector<Latency> rounds) {
    const std::size_t middle = rounds.size() / 2;
    std::nth_element(rounds.begin(), rounds.begin() + middle, rounds.end(),
                     [](const Latency& a, const Latency& b) { return a.median_ns < b.median_ns; });
    const double median = rounds[middle].median_ns;
    std::nth_element(rounds.begin(), rounds.begin() + middle, rounds.end(),
                     [](const Latency& a, const Latency& b) { return a.p99_ns < b.p99_ns; });
    return {median, rounds[middle].p99_ns};
}

std::string summary_line(int threads, const char* which, double ours_ns, double peer_ns) {
    char line[200];
    std::snprintf(
        line, sizeof line,
        "summary\tservice log call, %d thread(s), %s latency\t%.0f ns\t%.0f ns\t%.2f\t-\t-\n",
        threads, which, ours_ns, peer_ns, peer_ns / ours_ns);
    return line;
}

fs::path fresh_dir(const char* name) {
    const fs::path dir = fs::temp_directory_path() / "jovx-bench" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

}  // namespace

int main() {
    const std::string space = "jovxbench" + std::to_string(plat::current_process_id());
    setenv("VM_IPC_NAMESPACE", space.c_str(), 1);

    const std::string prefix = (fresh_dir("service") / "jovxwdt").string();
    if (WDTLogInitialize(kFileSizeMb * 1048576u, kFileCount, prefix.c_str(), 30) != 0) {
        std::fprintf(stderr, "cannot start the service log at %s\n", prefix.c_str());
        return 1;
    }
    spdlog::init_thread_pool(jovx::kLogQueueCapacity, 1);
    auto peer = spdlog::create_async_nb<spdlog::sinks::rotating_file_sink_mt>(
        "peer", (fresh_dir("peer") / "jovxwdt.log").string(), kFileSizeMb * 1048576u,
        kFileCount - 1);
    peer->set_pattern("[%Y/%m/%d %H:%M:%S:%e] [%t] %v");

    std::printf("medians of %d rounds per logger\n", kRounds);
    std::printf("%-10s %8s %14s %14s %14s %14s %8s %8s\n", "threads", "calls", "ours median",
                "ours p99", "peer median", "peer p99", "median×", "p99×");
    bool time_critical = true;
    std::vector<std::string> summaries;
    for (int threads : {1, 4}) {
        std::vector<Latency> our_rounds;
        std::vector<Latency> peer_rounds;
        for (int round = 0; round < kRounds; ++round) {
            our_rounds.push_back(measure(
                threads,
                [](int n) {
                    WDT_LOG(jovx::msg::KTLOR_052_K, "WDT_OperationThread", "TimeoutInterval", n);
                },
                &time_critical));
            peer_rounds.push_back(measure(
                threads,
                [&peer](int n) {
                    peer->info(
                        "{} : Value of {} in the settings XML is {}.FileName: {}, LineNumber: {}.",
                        "WDT_OperationThread", "TimeoutInterval", n, kSourceFileName, __LINE__);
                },
                &time_critical));
        }
        const Latency ours = median_of(our_rounds);
        const Latency theirs = median_of(peer_rounds);
        std::printf("%-10d %8d %11.0f ns %11.0f ns %11.0f ns %11.0f ns %8.2f %8.2f\n", threads,
                    threads * kCallsPerThread, ours.median_ns, ours.p99_ns, theirs.median_ns,
                    theirs.p99_ns, theirs.median_ns / ours.median_ns, theirs.p99_ns / ours.p99_ns);
        // For the table tools/bench.sh ends with; these ratios are of medians over rounds.
        summaries.push_back(summary_line(threads, "median", ours.median_ns, theirs.median_ns));
        summaries.push_back(summary_line(threads, "p99", ours.p99_ns, theirs.p99_ns));
    }
    for (const std::string& line : summaries) {
        std::printf("%s", line.c_str());
    }
    std::printf("(× = peer latency / our latency: above 1 means ours is faster)\n");
    std::printf("callers at time-critical priority: %s\n",
                time_critical ? "yes" : "no (not permitted here)");

    WDTLogSetStopFlag();
    WDTLogTerminate();
    spdlog::shutdown();
    plat::NamedMutex::remove("WDT_ErrorLogMutex");
    plat::NamedMutex::remove("WDT_InstanceMutex");
    return 0;
}
