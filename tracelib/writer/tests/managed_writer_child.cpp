// A writer process of the managed-set tests.
//   write <prefix> <id> <lines> <size> <count> <options> <wait ms>
//     puts lines "W<id> #<n> <payload>|END" (lines -1: until killed); exit 0 when all went
//     in, 1 when some failed, 3 when a put waited much longer than the wait time.
//   hold <mutex name>: takes the mutex, says 'y' on standard output, waits to be killed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ktlorsym_trace.h"
#include "plat/sync.h"

namespace {

int write_lines(const char* prefix, const char* id, long lines, int size, int count, int options,
                int wait_ms) {
    const TraceFileConfig config{size, count, prefix};
    TraceInstance* trace = nullptr;
    // The first opener prepares every file under the mutex: the others wait for it.
    KTLORSYM_SetInstanceLockWaitTime(nullptr, wait_ms);
    const int created = KTLORSYM_CreateInstanceM(&trace, &config, "CHILD", options);
    if (created != 0 && created != 3) {
        std::fprintf(stderr, "create failed: %08X\n", KTLORSYM_GetLastError(nullptr));
        return 2;
    }
    KTLORSYM_SetInstanceLockWaitTime(trace, wait_ms);
    int status = 0;
    const std::string payload(20 + std::strlen(id) * 3, 'p');
    for (long n = 0; lines < 0 || n < lines; ++n) {
        char text[128];
        std::snprintf(text, sizeof text, "W%s #%06ld %s|END", id, n, payload.c_str());
        const auto start = std::chrono::steady_clock::now();
        const int put = KTLORSYM_PutInstanceLine(trace, 0, text);
        const auto took = std::chrono::steady_clock::now() - start;
        if (took > std::chrono::milliseconds(wait_ms + 1000)) {
            std::fprintf(stderr, "put %ld blocked %lld ms\n", n,
                         static_cast<long long>(
                             std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
            status = 3;
        }
        if (put != 0 && status == 0) {
            std::fprintf(stderr, "W%s put %ld failed: %08X\n", id, n,
                         KTLORSYM_GetLastError(nullptr));
            status = 1;
        }
    }
    KTLORSYM_DeleteInstance(trace);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
        plat::NamedMutex mutex;
        if (!mutex.open(argv[2]).ok() || mutex.lock(5000) == plat::WaitResult::timed_out) {
            return 2;
        }
        (void)!write(1, "y", 1);
        for (;;) {
            pause();
        }
    }
    if (argc == 9 && std::strcmp(argv[1], "write") == 0) {
        return write_lines(argv[2], argv[3], std::atol(argv[4]), std::atoi(argv[5]),
                           std::atoi(argv[6]), std::atoi(argv[7]), std::atoi(argv[8]));
    }
    std::fprintf(stderr,
                 "usage: write <prefix> <id> <lines> <size> <count> <options> <wait>\n"
                 "       hold <mutex name>\n");
    return 2;
}
