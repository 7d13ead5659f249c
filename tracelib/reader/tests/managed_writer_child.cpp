// One writer process of a managed set: puts numbered lines through the trace library's
// managed writer as fast as it can.
// usage: reader_test_writer PREFIX FILESIZE FILECOUNT ID LINES
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ktlorsym_trace.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s PREFIX FILESIZE FILECOUNT ID LINES\n", argv[0]);
        return 2;
    }
    const TraceFileConfig config{std::atoi(argv[2]), std::atoi(argv[3]), argv[1]};
    const int id = std::atoi(argv[4]);
    const int lines = std::atoi(argv[5]);
    // Writers take turns at the mutex, the opening ones for a while (they prepare the
    // files); on a busy machine a turn may take long.
    KTLORSYM_LockValue.InstanceLockWaitTime = 10000;
    TraceInstance* trace = nullptr;
    const int opened = KTLORSYM_CreateInstanceM(&trace, &config, "READERTEST", 0);
    if (opened != 0 && opened != 3) {
        std::fprintf(stderr, "open failed: 0x%08X\n", KTLORSYM_GetLastError(nullptr));
        return 1;
    }
    KTLORSYM_SetInstanceLogLevel(trace, 1000);
    const std::string filler(40, '.');
    for (int n = 1; n <= lines; ++n) {
        char text[128];
        std::snprintf(text, sizeof text, "writer %d line %d %s", id, n, filler.c_str());
        if (KTLORSYM_PutInstanceLine(trace, 0, text) != 0) {
            std::fprintf(stderr, "line %d failed: 0x%08X\n", n, KTLORSYM_GetLastError(nullptr));
            return 1;
        }
    }
    return KTLORSYM_DeleteInstance(trace) == 0 ? 0 : 1;
}
