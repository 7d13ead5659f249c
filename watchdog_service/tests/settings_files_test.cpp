// Reading the twelve items through the settings store, loaded at run time from an install
// tree of the test's own: the service's settings files, the provider's lib directory and
// the registry entries that point at both.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "JOVX_ErrorLogging.h"
#include "JOVX_WDT_SettingsRead.h"
#include "install_tree.h"
#include "plat/sync.h"
#include "plat/thread.h"
#include "watchdog_test_support.h"
#ifndef _WIN32
#include "posix_test_support.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace jovx;
using wdt_test::fields;

class SettingsFiles : public ::testing::Test {
  protected:
    // The shipped definition file with its first `from` replaced by `to`.
    void edit_definition(const std::string& from, const std::string& to) const {
        std::string text = plat_test::read_text(tree_.cnf() / "jowdtdef.xml");
        const std::size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        plat_test::write_text(tree_.cnf() / "jowdtdef.xml", text.replace(at, from.size(), to));
    }
    // The items as read, which must pass the check unchanged.
    static std::string read_fields() {
        WDT_Settings s;
        EXPECT_EQ(WDT_ReadSettings(&s), 0);
        const std::string read = fields(s);
        EXPECT_EQ(WDT_LogXMLvalues(&s), 0) << "valid values";
        EXPECT_EQ(fields(s), read);
        return read;
    }

    wdt_test::InstallTree tree_;
};

TEST_F(SettingsFiles, ValuesComeFromTheValueFileOrTheDefinitionsDefaults) {
    EXPECT_EQ(read_fields(), "1200 2 2 30 1800 32 1 8 30 10 jovxwdt jovxwdt 15") << "as shipped";
    tree_.write_values(
        "  <LogName>svc.trace</LogName>\n  <TimeoutAction>HardReset</TimeoutAction>\n"
        "  <IntervalCount>5</IntervalCount>\n  <ErrorWatching>FALSE</ErrorWatching>\n"
        "  <LogPages>3</LogPages>\n  <MaximumRetryTime>7</MaximumRetryTime>\n");
    EXPECT_EQ(read_fields(), "1200 5 2 30 1800 1 0 8 30 3 svc.trace jovxwdt 7");
}

// The definition file bounds nothing, so every value reaches the check as written: one
// invalid value gives all built-in defaults, never that one item's definition default.
TEST_F(SettingsFiles, InvalidValuesReachTheCheckAndGiveAllDefaults) {
    const std::string watching = "  <ErrorWatching>TRUE</ErrorWatching>\n";
    const std::string name_225 = "  <LogName>" + std::string(225, 'n') + "</LogName>\n";
    tree_.write_values(watching + name_225 +
                       "  <LogLevel>-1</LogLevel>\n  <TimeoutInterval>3600</TimeoutInterval>\n"
                       "  <IntervalCount>10</IntervalCount>\n  <LogPages>16</LogPages>\n");
    EXPECT_EQ(read_fields(),
              "3600 10 2 30 1800 32 1 8 -1 16 " + std::string(225, 'n') + " jovxwdt 15")
        << "limits are valid";

    const char* const invalid[] = {
        "<IntervalCount>11</IntervalCount><TimeoutInterval>59</TimeoutInterval>"
        "<LogPages>17</LogPages><LogName>LONG</LogName>",
        "<LogName>LONG</LogName>",
        "<IntervalCount>11</IntervalCount>",
        "<LogSize>0</LogSize>",
        "<MaximumRetryTime>61</MaximumRetryTime>",
        // Their low 32 bits would read as 60 and -1, both valid.
        "<TimeoutInterval>4294967356</TimeoutInterval>",
        "<LogLevel>-4294967297</LogLevel>",
        "<RetryInterval>9223372036854775807</RetryInterval>",
    };
    // The log runs, so that the warnings can be counted: one of each per check.
    const plat_test::ScopedEnv names("VM_IPC_NAMESPACE",
                                     "jovxfiles" + std::to_string(plat::current_process_id()));
#ifndef _WIN32
    const std::string log_socket = (tree_.root() / "log.sock").string();
    const plat_test::ScopedEnv socket("VARMOTH_SYSLOG_SOCKET", log_socket);
    plat_test::DatagramReceiver daemon(log_socket);
    ASSERT_TRUE(daemon.bound());
    plat_test::write_text(tree_.root() / "registry" / "registry.d" / "orvalis.reg",
                          "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog"
                          "\\Application\\Orvalis]\n");
#endif
    ASSERT_EQ(WDTLogInitialize(1 << 20, 1, (tree_.root() / "svc").string().c_str(), 30), 0);
    for (std::string items : invalid) {
        SCOPED_TRACE(items);
        if (const std::size_t at = items.find("LONG"); at != std::string::npos) {
            items.replace(at, 4, std::string(226, 'n'));
        }
        tree_.write_values(watching + items);
        WDT_Settings s;
        ASSERT_EQ(WDT_ReadSettings(&s), 0);
        EXPECT_EQ(WDT_LogXMLvalues(&s), -1);
        EXPECT_EQ(fields(s), "1200 2 2 30 1800 32 0 8 30 10 jovxwdt jovxwdt 15");
    }
    WDTLogSetStopFlag();
    ASSERT_EQ(WDTLogTerminate(), 0);
    plat::NamedMutex::remove("WDT_ErrorLogMutex");
    plat::NamedMutex::remove("WDT_InstanceMutex");
    EXPECT_EQ(wdt_test::count_of(plat_test::read_text(tree_.root() / "svc1.log"), "KTLOR-118-W"),
              static_cast<int>(std::size(invalid)));
#ifndef _WIN32
    std::size_t events = 0;
    while (auto datagram = daemon.receive(200)) {
        events += datagram->find("Some parameters are invalid.") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(events, std::size(invalid));
#endif
}

TEST_F(SettingsFiles, UnknownWordsMissingItemsAndMissingFiles) {
    // A definition that allows a word the service does not know: the action is left alone.
    edit_definition("<SMI>", "<Reboot>Reboot</Reboot>\n      <SMI>");
    tree_.write_values("  <TimeoutAction>Reboot</TimeoutAction>\n");
    WDT_Settings s;
    s.TimeoutAction = 3;
    ASSERT_EQ(WDT_ReadSettings(&s), 0);
    EXPECT_EQ(s.TimeoutAction, 3);

    // An item missing from both files fails the read; the items before it are stored.
    edit_definition("<name>MaximumRetryTime</name>", "<name>Unused</name>");
    tree_.write_values("  <LogLevel>0</LogLevel>\n");
    EXPECT_EQ(WDT_ReadSettings(&s), 1);
    EXPECT_EQ(s.LogLevel, 0);
    edit_definition("<name>Unused</name>", "<name>MaximumRetryTime</name>");

    fs::remove(tree_.cnf() / "jowdtcfg.xml");
    EXPECT_EQ(WDT_ReadSettings(&s), 1) << "no value file";
    tree_.write_values("");
    ASSERT_EQ(WDT_ReadSettings(&s), 0);
    fs::remove(tree_.library());
    EXPECT_EQ(WDT_ReadSettings(&s), 1) << "no settings store";
}

}  // namespace
