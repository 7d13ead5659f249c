// The library across processes: the ids in a forked child's lines, and a program that
// returns from main while its threads still put lines.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "child_process.h"
#include "trace_test_support.h"

namespace {

using ktl_test::read_lines;
using ktl_test::TempDir;

std::string hex8(pid_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(id));
    return text;
}

TEST(Fork, TheChildsLinesCarryItsOwnProcessAndThreadIds) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix(), 65536, 2);
    ASSERT_EQ(trace.create_result(), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "parent"), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(KTLORSYM_PutInstanceLine(trace.get(), 0, "child") == 0 ? 0 : 1);
    }
    ASSERT_EQ(plat_test::ChildProcess(child).wait_exit(std::chrono::seconds(30)), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "parent again"), 0);

    const auto lines = read_lines(dir.path() / "trace1.log");
    ASSERT_EQ(lines.size(), ktl_test::kHeaderLines + 3);
    const std::string parent_ids = lines[2].substr(50, 17);
    EXPECT_EQ(parent_ids.substr(0, 8), hex8(getpid()));
    // The forking thread is the child's only thread; its id is the child's process id.
    EXPECT_EQ(lines[3].substr(68), "child");
    EXPECT_EQ(lines[3].substr(50, 17), hex8(child) + " " + hex8(child));
    EXPECT_EQ(lines[4].substr(50, 17), parent_ids);
}

// Nothing that a running thread uses is freed at exit; under the address sanitizer a use
// after free ends the program with a failure.
TEST(Exit, ReturningFromMainWhileThreadsPutEndsCleanly) {
    for (int run = 0; run < 5; ++run) {
        TempDir dir;
        const std::string prefix = dir.prefix();
        plat_test::ChildProcess child({EXIT_WHILE_PUTTING, prefix});
        EXPECT_EQ(child.wait_exit(std::chrono::seconds(60)), 0) << "run " << run << child.err();
    }
}

}  // namespace
