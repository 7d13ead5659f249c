// Returns from main while its threads still put lines, as a service does whose logging
// thread did not end in time. Run by the process test, which expects a clean exit.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ktlorsym_trace.h"

namespace {

TraceInstance* g_instance = nullptr;
std::atomic<int> g_rounds{0};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    const std::string library_prefix = std::string(argv[1]) + "lib";
    const std::string instance_prefix = std::string(argv[1]) + "inst";
    const TraceFileConfig library_config{1 << 16, 2, library_prefix.c_str()};
    const TraceFileConfig instance_config{1 << 16, 2, instance_prefix.c_str()};
    if (KTLORSYM_Initialize(&library_config, "EXIT") != 0 ||
        KTLORSYM_CreateInstance(&g_instance, &instance_config, "EXIT") != 0) {
        return 3;
    }
    for (int t = 0; t < 4; ++t) {
        std::thread([] {
            for (;;) {
                KTLORSYM_PutLine(0, "library line");
                KTLORSYM_PutInstanceWithId(g_instance, 0, "ID", "instance line");
                g_rounds.fetch_add(1, std::memory_order_relaxed);
            }
        }).detach();
    }
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (g_rounds.load(std::memory_order_relaxed) < 400 &&
           std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}
