// Lines per second of a plain trace instance beside a rotating file logger that flushes
// after every line, so that in both each line has reached the operating system when the
// call returns. Same file size, file count and message; one and two threads. Beside them the
// limit such a line can reach: the same bytes, one write(2) each, into the same number and
// size of files switched the same way, with no formatting and no lock.
#include <fcntl.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
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
constexpr int kLinesPerRound = 20000;
constexpr int kDroppedPerRound = 2000000;
constexpr char kMessage[] =
    "WDT_OperationThread: Reset Watchdog Timer completed. FileName: "
    "JOVX_WDT_OperationThread, LineNumber: 412.";

fs::path bench_dir(const char* name) {
    const fs::path dir = fs::temp_directory_path() / "ktl-bench" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// Runs put() `lines` times in all, shared out over `threads` threads started together.
void on_threads(int threads, int lines, const std::function<void()>& put) {
    if (threads == 1) {
        for (int n = 0; n < lines; ++n) {
            put();
        }
        return;
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int n = 0; n < lines / threads; ++n) {
                put();
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
}

// The last whole line of a file, with its line end.
std::string last_line(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind('\n');
    if (end == std::string::npos || end == 0) {
        return {};
    }
    const std::size_t start = text.rfind('\n', end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

// The same bytes with one write(2) each, switching files as the plain writer does: once the
// offset has passed the size, the next number is replaced by an empty file.
class LimitWriter {
  public:
    explicit LimitWriter(std::string prefix) : prefix_(std::move(prefix)) { open(); }
    ~LimitWriter() { ::close(fd_); }
    LimitWriter(const LimitWriter&) = delete;
    LimitWriter& operator=(const LimitWriter&) = delete;

    void write_line(const std::string& line) {
        if (offset_ > static_cast<std::size_t>(kFileSize)) {
            ::close(fd_);
            current_ = current_ % kFileCount + 1;
            open();
        }
        if (::write(fd_, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
            offset_ += line.size();
        }
    }

  private:
    // Emptied by replacing, as the writer does.
    void open() {
        const std::string name = prefix_ + std::to_string(current_) + ".log";
        ::unlink(name.c_str());
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        offset_ = 0;
    }

    std::string prefix_;
    int fd_ = -1;
    std::uint32_t current_ = 1;
    std::size_t offset_ = 0;
};

}  // namespace

int main() {
    const std::string prefix = (bench_dir("trace") / "svc").string();
    const TraceFileConfig config{kFileSize, kFileCount, prefix.c_str()};
    TraceInstance* trace = nullptr;
    if (KTLORSYM_CreateInstance(&trace, &config, "BENCH") != 0) {
        std::fprintf(stderr, "cannot create the trace instance at %s\n", prefix.c_str());
        return 1;
    }
    KTLORSYM_SetInstanceLogLevel(trace, 30);
    // The peer's file count is its backups plus the current file.
    auto peer = spdlog::rotating_logger_mt("peer", (bench_dir("peer") / "svc.log").string(),
                                           kFileSize, kFileCount - 1);
    peer->set_level(spdlog::level::trace);
    peer->flush_on(spdlog::level::trace);

    const auto put_ours = [trace] {
        KTLORSYM_PutInstanceWithId(trace, 20, "KTLOR-101-I", kMessage);
    };
    const auto put_peer = [&peer] { peer->info(kMessage); };
    // A warm-up round each, which also gives the limit a line of ours to write.
    on_threads(1, kLinesPerRound, put_ours);
    on_threads(1, kLinesPerRound, put_peer);
    const std::string line = last_line(prefix + "1.log");
    if (line.empty()) {
        std::fprintf(stderr, "no line of ours to measure the limit with\n");
        return 1;
    }
    LimitWriter limit((bench_dir("limit") / "svc").string());

    bench::print_header(kRounds, "peer (or limit)");
    std::vector<std::pair<int, bench::Comparison>> against_peer;
    for (int threads : {1, 2}) {
        const bench::Comparison c = bench::alternate(
            kRounds, kLinesPerRound, [&] { on_threads(threads, kLinesPerRound, put_ours); },
            [&] { on_threads(threads, kLinesPerRound, put_peer); });
        const std::string name = "put, flushed, " + std::to_string(threads) + " thread(s)";
        bench::print_row(name.c_str(), c, "ns");
        against_peer.emplace_back(threads, c);
    }
    const bench::Comparison to_limit = bench::alternate(
        kRounds, kLinesPerRound, [&] { on_threads(1, kLinesPerRound, put_ours); },
        [&] {
            for (int n = 0; n < kLinesPerRound; ++n) {
                limit.write_line(line);
            }
        });
    bench::print_row("put vs limit (write(2)), 1 thread", to_limit, "ns");
    std::printf("(line of %zu bytes; files of %d bytes, %d of them)\n", line.size(), kFileSize,
                kFileCount);

    // A put above the log level: the cost of a message the service filters out.
    KTLORSYM_SetInstanceLogLevel(trace, 10);
    peer->set_level(spdlog::level::warn);
    const bench::Comparison dropped = bench::alternate(
        kRounds, kDroppedPerRound,
        [&] {
            for (int n = 0; n < kDroppedPerRound; ++n) {
                KTLORSYM_PutInstanceWithId(trace, 30, "KTLOR-101-K", kMessage);
            }
        },
        [&] {
            for (int n = 0; n < kDroppedPerRound; ++n) {
                peer->debug(kMessage);
            }
        });
    bench::print_row("put dropped by level", dropped, "ns");

    for (const auto& [threads, c] : against_peer) {
        bench::summary("trace put, " + std::to_string(threads) + " thread(s), time per line",
                       bench::per_op(bench::quantile(c.ours, 0.5), "ns"),
                       bench::per_op(bench::quantile(c.peer, 0.5), "ns"), c, 1.0);
    }
    bench::summary("trace put vs write(2) limit, 1 thread",
                   bench::per_op(bench::quantile(to_limit.ours, 0.5), "ns"),
                   bench::per_op(bench::quantile(to_limit.peer, 0.5), "ns") + " (limit)", to_limit,
                   0.8);

    KTLORSYM_DeleteInstance(trace);
    spdlog::drop("peer");
    return 0;
}
