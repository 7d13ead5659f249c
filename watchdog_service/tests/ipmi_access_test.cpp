// The IPMI connection contract (open, call, refresh, notifications, bounded responses), the
// built-in BMC's watchdog model, the device transport's request and answer handling against
// a scripted driver, and the choice of transport.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

#include "JOVX_IPMIAcc.h"
#include "transport/simulator.h"
#include "transport/transport_choice.h"
#include "watchdog_test_support.h"
#ifdef _WIN32
#include "JOVX_WDT_OperationThread.h"
#include "transport/wmi.h"
#endif
#ifdef __linux__
#include <cerrno>

#include "scratch_registry.h"
#include "transport/device.h"
#endif

namespace {

using jovx::ipmi::Fault;
using jovx::ipmi::FaultKind;
using Bytes = std::vector<std::uint8_t>;
using wdt_test::MessageRecorder;
constexpr auto kAnswered = jovx::ipmi::CallOutcome::answered;

class CallCounter final : public jovx::IpmiCallObserver {
  public:
    void ipmi_call_begin() override {
        EXPECT_EQ(begun - ended, 0) << "calls do not nest";
        ++begun;
    }
    void ipmi_call_end() override { ++ended; }
    std::atomic<int> begun{0};
    std::atomic<int> ended{0};
};

class IpmiAccess : public ::testing::Test {
  protected:
    void SetUp() override {
        jovx::IpmiAccessSetTransport(&bmc_);
        jovx::IpmiAccessSetObserver(&calls_);
    }
    void TearDown() override {
        IpmiAccessClose();
        jovx::IpmiAccessSetObserver(nullptr);
        jovx::IpmiAccessSetTransport(nullptr);
    }

    // One call with a response buffer of `capacity` bytes between guard bytes.
    int call(std::uint8_t command, const Bytes& request, std::size_t capacity, Bytes* response) {
        std::vector<std::uint8_t> buffer(capacity + 2, 0xEE);
        std::uint16_t length = 0xFFFF;
        const int result =
            IpmiAccessCall(command, request.empty() ? nullptr : request.data(),
                           static_cast<std::uint16_t>(request.size()), buffer.data() + 1,
                           static_cast<std::uint16_t>(capacity), &length);
        EXPECT_EQ(buffer.front(), 0xEE);
        EXPECT_EQ(buffer.back(), 0xEE) << "nothing is written past the buffer";
        EXPECT_LE(length, capacity);
        response->assign(buffer.begin() + 1,
                         buffer.begin() + 1 + std::min<std::size_t>(length, capacity));
        return result;
    }

    wdt_test::VirtualClock clock_;
    jovx::ipmi::BmcSimulator bmc_{clock_};
    CallCounter calls_;
    MessageRecorder log_;
};

const Bytes kArm = {0x04, 0x01, 0x00, 0x10, 0x58, 0x02};

TEST_F(IpmiAccess, CallOpensTheConnectionAndOpenWhileOpenChangesNothing) {
    Bytes response;
    EXPECT_EQ(call(0x24, kArm, 4, &response), 0);
    EXPECT_EQ(response, Bytes{0x00});
    EXPECT_EQ(bmc_.opens(), 1);
    EXPECT_EQ(IpmiAccessOpen(), 1);
    EXPECT_EQ(MessageRecorder::count("KTLOR-092-I"), 1);
    EXPECT_EQ(bmc_.opens(), 1);
    EXPECT_EQ(calls_.begun, 1);
    EXPECT_EQ(calls_.ended, 1);
}

TEST_F(IpmiAccess, FailedAnswersRefreshTheConnectionAndAreCutToTheBuffer) {
    struct Case {
        const char* name;
        Fault fault;
        std::size_t capacity;
        int result;
        Bytes response;
        const char* message;  // written once, or null
    };
    const Case cases[] = {
        {"refused", {FaultKind::completion_code, 0xC1}, 4, 1, {0xC1}, nullptr},
        {"empty", {FaultKind::empty_answer}, 4, 1, {}, "KTLOR-116-E"},
        {"no answer", {FaultKind::no_answer}, 4, 1, {}, "KTLOR-093-E"},
        {"oversized",
         {FaultKind::oversized_answer, 0, 0, 40},
         4,
         0,
         {0x00, 0xA5, 0xA5, 0xA5},
         nullptr},
    };
    ASSERT_EQ(IpmiAccessOpen(), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MessageRecorder::clear();
        const int opens = bmc_.opens();
        bmc_.inject(c.fault, 1);
        Bytes response;
        EXPECT_EQ(call(0x24, kArm, c.capacity, &response), c.result);
        EXPECT_EQ(response, c.response);
        EXPECT_EQ(bmc_.opens() - opens, c.result) << "a failed call reopens the connection";
        EXPECT_EQ(MessageRecorder::count("KTLOR-107-I"), c.result);
        if (c.message != nullptr) {
            EXPECT_EQ(MessageRecorder::count(c.message), 1);
        }
        EXPECT_TRUE(bmc_.is_open());
    }
    EXPECT_EQ(calls_.begun, 4);
    EXPECT_EQ(calls_.ended, 4);
}

TEST_F(IpmiAccess, ConnectionThatCannotOpenFailsTheCallWithoutRefresh) {
    bmc_.inject({FaultKind::open_fails}, 1);
    Bytes response;
    EXPECT_EQ(call(0x22, {}, 8, &response), 1);
    EXPECT_EQ(MessageRecorder::count("KTLOR-035-E"), 1);
    EXPECT_EQ(MessageRecorder::count("KTLOR-107-I"), 0);
    EXPECT_TRUE(bmc_.commands().empty());
    EXPECT_EQ(calls_.begun, 1);
    EXPECT_EQ(calls_.ended, 1);
    // The next call opens again.
    EXPECT_EQ(call(0x22, {}, 8, &response), 1);  // a Reset before any Set
    EXPECT_EQ(response, Bytes{0x80});
    jovx::IpmiAccessSetTransport(nullptr);
    IpmiAccessClose();
    EXPECT_EQ(IpmiAccessOpen(), 1) << "no transport configured";
}

TEST_F(IpmiAccess, HungCallReturnsOnceReleasedWithTheWindowToldOnBothSides) {
    bmc_.inject({FaultKind::hang}, 1);
    std::atomic<int> result{-1};
    std::thread caller([&] {
        Bytes response;
        result = call(0x24, kArm, 4, &response);
    });
    for (int i = 0; i < 2000 && calls_.begun == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(calls_.begun, 1);
    EXPECT_EQ(calls_.ended, 0) << "the call is still in progress";
    bmc_.release_hang();
    caller.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calls_.ended, 1);
}

// The whole answer; for Get Watchdog Timer: completion code, use (bit 6 running), actions,
// pre-timeout, flags, initial and present countdown.
Bytes answer(jovx::ipmi::BmcSimulator& bmc, std::uint8_t net_fn, std::uint8_t command,
             const Bytes& data = {}) {
    jovx::ipmi::Response response;
    EXPECT_EQ(
        bmc.call("test", {net_fn, command, data.data(), static_cast<std::uint16_t>(data.size())},
                 &response),
        kAnswered);
    return Bytes(response.bytes, response.bytes + response.length);
}

TEST(BmcSimulator, WatchdogCountsDownOnTheClockAndPerformsItsActionWhenItRunsOut) {
    wdt_test::VirtualClock clock;
    jovx::ipmi::BmcSimulator bmc(clock);
    ASSERT_TRUE(bmc.open("test"));
    EXPECT_EQ(answer(bmc, 0x06, 0x22), Bytes{0x80}) << "Reset before any Set";
    EXPECT_EQ(answer(bmc, 0x06, 0x24, {0x04, 0x01}), Bytes{0xC7});
    EXPECT_EQ(answer(bmc, 0x06, 0x24, {0x00, 0x01, 0, 0x10, 0x58, 0x02}), Bytes{0xCC}) << "use 0";
    EXPECT_EQ(answer(bmc, 0x06, 0x24, {0x04, 0x05, 0, 0x10, 0x58, 0x02}), Bytes{0xCC}) << "action";
    EXPECT_EQ(answer(bmc, 0x06, 0x30), Bytes{0xC1});
    EXPECT_EQ(answer(bmc, 0x0A, 0x24, kArm), Bytes{0xC1});

    EXPECT_EQ(answer(bmc, 0x06, 0x24, kArm), Bytes{0x00});
    EXPECT_EQ(answer(bmc, 0x06, 0x25), (Bytes{0, 0x04, 0x01, 0, 0, 0x58, 0x02, 0x58, 0x02}))
        << "a Set leaves the timer stopped";
    EXPECT_EQ(answer(bmc, 0x06, 0x22), Bytes{0x00});
    clock.sleep_ms(25'050);
    EXPECT_EQ(answer(bmc, 0x06, 0x25), (Bytes{0, 0x44, 0x01, 0, 0, 0x58, 0x02, 0x5E, 0x01}))
        << "running, 350 units left";
    EXPECT_TRUE(bmc.expiries().empty());
    clock.sleep_ms(35'000);
    const auto expiries = bmc.expiries();
    ASSERT_EQ(expiries.size(), 1u);
    EXPECT_EQ(expiries[0].at_ms, 60'000u);
    EXPECT_EQ(expiries[0].action, 1);
    EXPECT_EQ(answer(bmc, 0x06, 0x25), (Bytes{0, 0x04, 0x01, 0, 0x10, 0x58, 0x02, 0, 0}))
        << "stopped, SMS/OS expiration flag set";
    // The flag survives until a Set clears it.
    EXPECT_EQ(answer(bmc, 0x06, 0x24, kArm), Bytes{0x00});
    EXPECT_EQ(answer(bmc, 0x06, 0x25)[4], 0);
}

#ifdef __linux__
// A driver that answers from a script: what the transport sent, and what it receives next.
class ScriptedDriver final : public jovx::ipmi::DeviceIo {
  public:
    struct Answer {
        int recv_type = IPMI_RESPONSE_RECV_TYPE;
        long msgid_offset = 0;  // relative to the last request's id
        std::uint8_t netfn = 0x07;
        std::uint8_t cmd = 0x24;
        Bytes data;
    };

    int open(const char* path) override {
        opened.push_back(path);
        return missing ? -ENOENT : 7;
    }
    void close(int) override {}
    int send(int fd, ipmi_req* request) override {
        EXPECT_EQ(fd, 7);
        const auto* address = reinterpret_cast<const ipmi_system_interface_addr*>(request->addr);
        EXPECT_EQ(request->addr_len, sizeof(ipmi_system_interface_addr));
        EXPECT_EQ(address->addr_type, IPMI_SYSTEM_INTERFACE_ADDR_TYPE);
        EXPECT_EQ(address->channel, IPMI_BMC_CHANNEL);
        EXPECT_EQ(address->lun, 0);
        last_id = request->msgid;
        sent_ids.push_back(request->msgid);
        sent.push_back({request->msg.netfn, request->msg.cmd});
        sent.back().insert(sent.back().end(), request->msg.data,
                           request->msg.data + request->msg.data_len);
        return 0;
    }
    int wait_readable(int, int) override { return answers.empty() ? 0 : 1; }
    int receive(int, ipmi_recv* out) override {
        const Answer a = answers.front();
        answers.pop_front();
        out->recv_type = a.recv_type;
        out->msgid = last_id + a.msgid_offset;
        out->msg.netfn = a.netfn;
        out->msg.cmd = a.cmd;
        const std::size_t n = std::min<std::size_t>(a.data.size(), out->msg.data_len);
        std::memcpy(out->msg.data, a.data.data(), n);
        out->msg.data_len = static_cast<unsigned short>(n);
        return 0;
    }

    bool missing = false;
    long last_id = 0;
    std::vector<long> sent_ids;
    std::vector<std::string> opened;
    std::vector<Bytes> sent;
    std::deque<Answer> answers;
};

TEST(DeviceTransport, SendsToTheSystemInterfaceAndTakesOnlyItsOwnAnswer) {
    ScriptedDriver driver;
    jovx::ipmi::DeviceTransport device("", 1000, driver);
    MessageRecorder log;
    ASSERT_TRUE(device.open("IpmiAccessOpen"));
    EXPECT_EQ(device.device(), "/dev/ipmi0");
    ASSERT_EQ(MessageRecorder::texts("KTLOR-027-I").size(), 1u);
    EXPECT_NE(MessageRecorder::texts("KTLOR-027-I")[0].find("/dev/ipmi0"), std::string::npos);

    // A late answer to an earlier request, an event, and another command's answer come first.
    driver.answers = {{IPMI_RESPONSE_RECV_TYPE, -1, 0x07, 0x24, {0xC3}},
                      {IPMI_ASYNC_EVENT_RECV_TYPE, 0, 0x07, 0x24, {0x00}},
                      {IPMI_RESPONSE_RECV_TYPE, 0, 0x07, 0x22, {0xD5}},
                      {IPMI_RESPONSE_RECV_TYPE, 0, 0x07, 0x24, {0x00}}};
    jovx::ipmi::Response response;
    ASSERT_EQ(device.call("IpmiAccessCall", {0x06, 0x24, kArm.data(), 6}, &response), kAnswered);
    EXPECT_EQ(Bytes(response.bytes, response.bytes + response.length), Bytes{0x00});
    EXPECT_EQ(driver.sent.back(), (Bytes{0x06, 0x24, 0x04, 0x01, 0x00, 0x10, 0x58, 0x02}));
    EXPECT_TRUE(driver.answers.empty());

    // No answer in time fails the call; the next request carries a new id.
    EXPECT_EQ(device.call("IpmiAccessCall", {0x06, 0x22, nullptr, 0}, &response),
              jovx::ipmi::CallOutcome::failed);
    EXPECT_EQ(driver.sent.back(), (Bytes{0x06, 0x22}));
    EXPECT_NE(driver.sent_ids[0], driver.sent_ids[1]);
    ASSERT_FALSE(MessageRecorder::texts("KTLOR-093-E").empty());
    EXPECT_NE(MessageRecorder::texts("KTLOR-093-E").back().find("poll"), std::string::npos);
}

TEST(DeviceTransport, MissingDeviceNamesTheKernelModulesAndAConfiguredPathIsTheOnlyOneTried) {
    ScriptedDriver driver;
    driver.missing = true;
    MessageRecorder log;
    jovx::ipmi::DeviceTransport any("", 1000, driver);
    EXPECT_FALSE(any.open("IpmiAccessOpen"));
    EXPECT_EQ(driver.opened,
              (std::vector<std::string>{"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"}));
    const auto failures = MessageRecorder::texts("KTLOR-093-E");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("ipmi_devintf"), std::string::npos);
    EXPECT_NE(failures[0].find("ipmi_si"), std::string::npos);

    driver.opened.clear();
    jovx::ipmi::DeviceTransport configured("/dev/bmc7", 1000, driver);
    EXPECT_FALSE(configured.open("IpmiAccessOpen"));
    EXPECT_EQ(driver.opened, std::vector<std::string>{"/dev/bmc7"});
}

TEST(TransportChoice, RegistryChoosesAndTheSwitchOverridesButUnknownNamesAreErrors) {
    plat_test::ScratchRegistry registry;
    using jovx::ipmi::TransportKind;
    jovx::ipmi::TransportChoice choice;
    std::string error;
    ASSERT_TRUE(jovx::ipmi::choose_transport(nullptr, nullptr, &choice, &error)) << error;
    EXPECT_EQ(choice.kind, TransportKind::device) << "the default, with no key at all";

    plat::RegistryKey key;
    ASSERT_TRUE(key.create(registry.root(), "SOFTWARE\\VARMOTH\\KTL-OR").ok());
    ASSERT_TRUE(key.set_string("IpmiTransport", "simulator").ok());
    ASSERT_TRUE(key.set_string("IpmiDevice", "/dev/ipmi3").ok());
    ASSERT_TRUE(jovx::ipmi::choose_transport(nullptr, nullptr, &choice, &error)) << error;
    EXPECT_EQ(choice.kind, TransportKind::simulator);
    EXPECT_EQ(choice.device, "/dev/ipmi3");
    ASSERT_TRUE(jovx::ipmi::choose_transport("device", "/dev/ipmi9", &choice, &error));
    EXPECT_EQ(choice.kind, TransportKind::device);
    EXPECT_EQ(choice.device, "/dev/ipmi9");

    EXPECT_FALSE(jovx::ipmi::choose_transport("simulater", nullptr, &choice, &error));
    EXPECT_NE(error.find("simulater"), std::string::npos);
    ASSERT_TRUE(key.set_string("IpmiTransport", "wmi").ok());
    ASSERT_TRUE(jovx::ipmi::choose_transport(nullptr, nullptr, &choice, &error));
    wdt_test::VirtualClock clock;
    EXPECT_EQ(jovx::ipmi::create_transport(choice, clock, &error), nullptr);
    EXPECT_FALSE(error.empty());
}
#endif

#ifdef _WIN32
// Where the platform has no IPMI provider instance (no BMC, no driver, or an emulator), the
// open fails at the enumeration and releases everything: a second open behaves the same,
// and the operation thread ends with "The timer is not started.".
TEST(WmiTransport, NoProviderInstanceFailsTheOpenCleanlyAndTheTimerIsNotStarted) {
    jovx::ipmi::WmiTransport wmi;
    MessageRecorder log;
    for (int round = 0; round < 2; ++round) {
        MessageRecorder::clear();
        EXPECT_FALSE(wmi.open("IpmiAccessOpen"));
        // The enumeration itself works; it yields no instance, so there is no path.
        EXPECT_EQ(MessageRecorder::count("KTLOR-024-E"), 0) << "round " << round;
        EXPECT_EQ(MessageRecorder::count("KTLOR-025-E"), 0);
        EXPECT_EQ(MessageRecorder::count("KTLOR-026-E"), 1);
        EXPECT_EQ(MessageRecorder::count("KTLOR-013-E"), 0) << "COM was released in between";
        EXPECT_EQ(MessageRecorder::count("KTLOR-014-E"), 0);
    }
    MessageRecorder::clear();
    jovx::IpmiAccessSetTransport(&wmi);
    g_fOperationThreadRunning = 1;
    EXPECT_EQ(WDT_OperationThread(), 1u);
    EXPECT_EQ(g_fOperationThreadRunning.load(), 0);
    EXPECT_EQ(MessageRecorder::events(), std::vector<std::string>{"KTLOR-110-I"});
    jovx::IpmiAccessSetTransport(nullptr);
}
#endif

}  // namespace
