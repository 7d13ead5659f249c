// Event log messages of the service log reach the system's log as syslog datagrams, whatever
// the trace level. POSIX only: a socket of the test's own stands in for the syslog daemon.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <string>
#include <vector>

#include "JOVX_ErrorLogging.h"
#include "JOVX_WDT_SettingsRead.h"
#include "plat/sync.h"
#include "plat/thread.h"
#include "posix_test_support.h"
#include "scratch_dir.h"

namespace {

using namespace jovx;

constexpr char kSourceFileName[] = "service_events_test";

constexpr int kDaemonFacility = 24;
constexpr int kSeverityWarning = 4;
constexpr int kSeverityInformation = 6;

class ServiceEvents : public ::testing::Test {
  protected:
    ServiceEvents()
        : ipc_("VM_IPC_NAMESPACE", "jovxevents" + std::to_string(plat::current_process_id())),
          registry_("VARMOTH_REGISTRY", dir_.path().string()),
          socket_("VARMOTH_SYSLOG_SOCKET", (dir_.path() / "log.sock").string()),
          daemon_((dir_.path() / "log.sock").string()) {
        plat_test::write_text(dir_.path() / "registry.d" / "orvalis.reg",
                              "Windows Registry Editor Version 5.00\n\n"
                              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog"
                              "\\Application\\Orvalis]\n");
    }
    ~ServiceEvents() override {
        plat::NamedMutex::remove("WDT_ErrorLogMutex");
        plat::NamedMutex::remove("WDT_InstanceMutex");
    }
    std::string prefix() const { return (dir_.path() / "svc").string(); }
    std::vector<plat_test::SyslogLine> events() {
        std::vector<plat_test::SyslogLine> lines;
        while (auto datagram = daemon_.receive(200)) {
            if (auto line = plat_test::parse_syslog(*datagram)) {
                lines.push_back(*line);
            }
        }
        return lines;
    }

    plat_test::ScratchDir dir_;
    plat_test::ScopedEnv ipc_;
    plat_test::ScopedEnv registry_;
    plat_test::ScopedEnv socket_;
    plat_test::DatagramReceiver daemon_;
};

TEST_F(ServiceEvents, EventMessagesIgnoreTheTraceLevel) {
    ASSERT_TRUE(daemon_.bound());
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), -1), 0);
    WDT_EVENT(msg::KTLOR_061_I);
    WDT_LOG(msg::KTLOR_021_E, "Dropped", 1);
    WDTLogSetStopFlag();
    ASSERT_EQ(WDTLogTerminate(), 0);

    const auto got = events();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].priority, kDaemonFacility + kSeverityInformation);
    EXPECT_EQ(got[0].tag, "Orvalis");
    EXPECT_NE(got[0].message.find("Orvalis : The service started successfully."), std::string::npos)
        << got[0].message;
    EXPECT_EQ(got[0].message.find("FileName:"), std::string::npos) << "no file and line";
}

TEST_F(ServiceEvents, InvalidSettingsAreReportedAsAWarningEvent) {
    ASSERT_EQ(WDTLogInitialize(1 << 20, 2, prefix().c_str(), 30), 0);
    WDT_Settings settings;
    settings.IntervalCount = 11;
    EXPECT_EQ(WDT_LogXMLvalues(&settings), -1);
    WDTLogSetStopFlag();
    ASSERT_EQ(WDTLogTerminate(), 0);

    const auto got = events();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].priority, kDaemonFacility + kSeverityWarning);
    EXPECT_NE(got[0].message.find("Orvalis : Some parameters are invalid. All parameters are "
                                  "used to default value."),
              std::string::npos);
}

}  // namespace

#else
TEST(ServiceEvents, PosixOnly) {
    GTEST_SKIP() << "the syslog socket stand-in exists on POSIX systems only";
}
#endif
