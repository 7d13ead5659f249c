// The service's window in this process: the report of an IPMI call that does not return,
// and a stop that comes before the window exists.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "JOVX_Agent_MainThread.h"
#include "JOVX_IPMIAcc.h"
#include "JOVX_WDT_OperationThread.h"
#include "plat/window.h"
#include "scoped_env.h"
#include "scratch_dir.h"
#include "service/fast_clock.h"
#include "transport/simulator.h"
#include "watchdog_test_support.h"

namespace {

using namespace jovx;
using wdt_test::MessageRecorder;

class ServiceWindow : public ::testing::Test {
  protected:
    void TearDown() override {
        plat::unregister_window_class(kWindowClassName);
        g_fWindowClassRegistered.store(0);
        g_fStopRequested.store(0);
    }
    plat_test::ScratchDir dir_;
    plat_test::ScopedEnv runtime_{"VARMOTH_RUNTIME_DIR", dir_ / "run"};
    MessageRecorder recorder_;
};

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 400; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST_F(ServiceWindow, AStopBeforeTheWindowExistsStillEndsTheMessageLoop) {
    g_fStopRequested.store(1);
    auto done =
        std::async(std::launch::async, [] { return WDT_WindowControl(plat::module_instance()); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "the message loop never learnt of the stop";
    EXPECT_EQ(done.get(), 0);
    EXPECT_EQ(MessageRecorder::count("KTLOR-077-I"), 0) << "no operation thread after a stop";
}

TEST_F(ServiceWindow, AHungIpmiCallIsReportedOnceAndTheCallGoesOn) {
    // A thousand times faster: the 30-second report comes after 30 ms.
    FastClock fast(1000);
    set_service_clock(&fast);
    plat::set_message_clock(&fast);
    ipmi::BmcSimulator simulator(fast);
    IpmiAccessSetTransport(&simulator);
    WDT_ConnectIpmiObserver();

    std::promise<void> created;
    std::thread window_thread([&created] {
        ASSERT_EQ(WDT_RegisterWindow(plat::module_instance()), 1);
        ASSERT_EQ(WDT_CreateWindow(plat::module_instance()), 0);
        created.set_value();
        plat::Message message;
        while (plat::get_message(&message) > 0) {
            plat::dispatch_message(message);
        }
    });
    created.get_future().wait();

    const auto call = [] {
        std::uint8_t answer[8];
        std::uint16_t length = 0;
        return IpmiAccessCall(ipmi::kCmdGetWatchdog, nullptr, 0, answer, sizeof answer, &length);
    };
    simulator.inject({ipmi::FaultKind::hang}, 1);
    auto hung = std::async(std::launch::async, call);
    EXPECT_TRUE(eventually([] { return MessageRecorder::count("KTLOR-113-E") == 1; }));
    // Minutes more of the service's clock bring no second report.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(MessageRecorder::count("KTLOR-113-E"), 1);
    simulator.release_hang();
    EXPECT_EQ(hung.get(), 0) << "the report does not cancel the call";
    EXPECT_EQ(call(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(MessageRecorder::count("KTLOR-113-E"), 1) << "a prompt call is not reported";
    EXPECT_GE(MessageRecorder::count("KTLOR-115-K"), 3) << "SetTimer and KillTimer traced";

    g_hWatchdogWindow.load()->send(plat::kWmClose, 0, 0);
    window_thread.join();
    EXPECT_EQ(MessageRecorder::count("KTLOR-103-I"), 1);
    // Calls after the window is gone are not watched, and do not wait for it.
    EXPECT_EQ(call(), 0);
    IpmiAccessClose();
    IpmiAccessSetTransport(nullptr);
    IpmiAccessSetObserver(nullptr);
    plat::set_message_clock(nullptr);
    set_service_clock(nullptr);
}

}  // namespace
