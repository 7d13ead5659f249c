// Lines per second of a plain trace instance beside a rotating file logger that flushes
// after every line, so that in both each line has reached the operating system when the
// call returns. Same file size, file count and message; one and two threads.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <memory>
#include <string>

#include "ktlorsym_trace.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kFileSize = 1 << 20;
constexpr std::int32_t kFileCount = 4;
constexpr char kMessage[] =
    "WDT_OperationThread: Reset Watchdog Timer completed. FileName: "
    "JOVX_WDT_OperationThread, LineNumber: 412.";

fs::path bench_dir(const char* name) {
    const fs::path dir = fs::temp_directory_path() / "ktl-bench" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TraceInstance* g_trace = nullptr;
std::shared_ptr<spdlog::logger> g_peer;

void BM_TracePut(benchmark::State& state) {
    if (state.thread_index() == 0) {
        const std::string prefix = (bench_dir("trace") / "svc").string();
        const TraceFileConfig config{kFileSize, kFileCount, prefix.c_str()};
        if (KTLORSYM_CreateInstance(&g_trace, &config, "BENCH") != 0) {
            state.SkipWithError("cannot create the trace instance");
        }
        KTLORSYM_SetInstanceLogLevel(g_trace, 30);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(KTLORSYM_PutInstanceWithId(g_trace, 20, "KTLOR-101-I", kMessage));
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        KTLORSYM_DeleteInstance(g_trace);
        g_trace = nullptr;
    }
}

void BM_PeerRotatingFlushEveryLine(benchmark::State& state) {
    if (state.thread_index() == 0) {
        const std::string file = (bench_dir("peer") / "svc.log").string();
        // The peer's file count is its backups plus the current file.
        g_peer = spdlog::rotating_logger_mt("peer", file, kFileSize, kFileCount - 1);
        g_peer->set_level(spdlog::level::trace);
        g_peer->flush_on(spdlog::level::trace);
    }
    for (auto _ : state) {
        g_peer->info(kMessage);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        spdlog::drop("peer");
        g_peer.reset();
    }
}

// A put above the log level: the cost of a message the service filters out.
void BM_TracePutDroppedByLevel(benchmark::State& state) {
    const std::string prefix = (bench_dir("dropped") / "svc").string();
    const TraceFileConfig config{kFileSize, kFileCount, prefix.c_str()};
    TraceInstance* trace = nullptr;
    if (KTLORSYM_CreateInstance(&trace, &config, "BENCH") != 0) {
        state.SkipWithError("cannot create the trace instance");
        return;
    }
    KTLORSYM_SetInstanceLogLevel(trace, 10);
    for (auto _ : state) {
        benchmark::DoNotOptimize(KTLORSYM_PutInstanceWithId(trace, 30, "KTLOR-101-K", kMessage));
    }
    KTLORSYM_DeleteInstance(trace);
}

void BM_PeerDroppedByLevel(benchmark::State& state) {
    auto logger =
        spdlog::rotating_logger_mt("peer-dropped", (bench_dir("peer-dropped") / "svc.log").string(),
                                   kFileSize, kFileCount - 1);
    logger->set_level(spdlog::level::warn);
    for (auto _ : state) {
        logger->debug(kMessage);
    }
    spdlog::drop("peer-dropped");
}

}  // namespace

BENCHMARK(BM_TracePut)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_PeerRotatingFlushEveryLine)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_TracePutDroppedByLevel);
BENCHMARK(BM_PeerDroppedByLevel);
