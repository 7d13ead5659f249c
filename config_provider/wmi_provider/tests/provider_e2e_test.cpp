// The provider and the watchdog service together: jovaprv sets a new countdown in the
// service's value file, the service is told through its window, reads its settings again and
// arms the timer of the built-in BMC with the new countdown.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "child_process.h"
#include "posix_test_support.h"
#include "provider_test_support.h"

namespace {

using namespace provider_test;
using namespace std::chrono_literals;
using plat_test::ChildProcess;
using plat_test::ScopedEnv;

TEST(ProviderE2E, SetCountdownReArmsTheServicesTimer) {
    ProviderTree tree;
    const fs::path root = tree.dir();
    const fs::path values = tree.add_watchdog();
    ScopedEnv runtime("VARMOTH_RUNTIME_DIR", (root / "run").string());
    // Large buffers stand in for the syslog daemon and the service manager: the service never
    // waits on them during its short run.
    plat_test::DatagramReceiver syslog((root / "syslog").string(), 1 << 20);
    plat_test::DatagramReceiver manager((root / "notify").string(), 1 << 20);
    ScopedEnv syslog_env("VARMOTH_SYSLOG_SOCKET", syslog.path());
    ScopedEnv notify_env("NOTIFY_SOCKET", manager.path());
    ScopedEnv invocation("INVOCATION_ID", "");

    ChildProcess service({JOVXWDT_PROGRAM, "--foreground", "--transport", "simulator"});
    ASSERT_TRUE(service.wait_for_output("armed: countdown 150 s", 10s))
        << service.out() << service.err();
    // The window is up once the timer is armed; let the service settle.
    std::this_thread::sleep_for(300ms);

    write_text(root / "new-values.xml", "<config><TimeoutInterval>600</TimeoutInterval></config>");
    const auto start = std::chrono::steady_clock::now();
    ChildProcess host({JOVAPRV_PROGRAM, "set", "Orvalis", (root / "new-values.xml").string()});
    const bool rearmed = service.wait_for_output("armed: countdown 600 s", 10s);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(host.wait_exit(30s), 0) << host.err();
    EXPECT_TRUE(rearmed) << service.out();
    std::printf("from jovaprv set to the re-armed timer: %.1f ms\n", ms);
    RecordProperty("rearm_ms", std::to_string(ms));
    EXPECT_NE(read_text(values).find("<TimeoutInterval>600</TimeoutInterval>"), std::string::npos);
    EXPECT_EQ(read_text(values.parent_path() / "jowdtcfg.old"), watchdog_values(60));

    service.signal(SIGTERM);
    EXPECT_EQ(service.wait_exit(15s), 0) << service.err();
}

}  // namespace
