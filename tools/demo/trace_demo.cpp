// Writes a few trace lines through the trace library and tells where they went.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ktlorsym_trace.h"

namespace {

void usage(const char* program) {
    std::printf(
        "usage: %s [--prefix PATH] [--lines N] [--version]\n"
        "Writes N numbered trace lines (default 20) into the trace files PATH1.log ...\n"
        "(default prefix: ./trace-demo/demo) and prints where they went.\n",
        program);
}

}  // namespace

int main(int argc, char** argv) {
    std::string prefix = "./trace-demo/demo";
    long lines = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--prefix") == 0 && i + 1 < argc) {
            prefix = argv[++i];
        } else if (std::strcmp(argv[i], "--lines") == 0 && i + 1 < argc) {
            char* end = nullptr;
            lines = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || lines < 0 || lines > 1000000) {
                std::fprintf(stderr, "--lines wants a number from 0 to 1000000\n");
                return 2;
            }
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("trace_demo %s\n", VM_VERSION);
            return 0;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(argv[0]);
            return 0;
        } else {
            usage(argv[0]);
            return 2;
        }
    }

    TraceFileConfig config{65536, 4, prefix.c_str()};
    TraceInstance* trace = nullptr;
    if (KTLORSYM_CreateInstance(&trace, &config, "TRACEDEMO") != 0) {
        std::uint32_t os_error = 0;
        const std::uint32_t code = KTLORSYM_GetLastError(&os_error);
        std::fprintf(stderr, "cannot open trace files at %s: code 0x%08X, OS error %u\n",
                     prefix.c_str(), code, os_error);
        return 1;
    }
    KTLORSYM_SetInstanceLogLevel(trace, 30);
    for (long n = 1; n <= lines; ++n) {
        char text[64];
        std::snprintf(text, sizeof text, "demo line %ld of %ld", n, lines);
        if (KTLORSYM_PutInstanceWithId(trace, 20, "KTLOR-000-I", text) != 0) {
            std::fprintf(stderr, "put failed: code 0x%08X\n", KTLORSYM_GetLastError(nullptr));
        }
    }
    KTLORSYM_InstanceFileBufferFlush(trace);
    KTLORSYM_DeleteInstance(trace);
    std::printf("wrote %ld trace lines to %s1.log ... %s4.log (64 KiB each, used in turn)\n", lines,
                prefix.c_str(), prefix.c_str());
    return 0;
}
