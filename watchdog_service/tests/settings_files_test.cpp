// Reading the twelve items through the settings store, loaded at run time from an install
// tree of the test's own: the service's settings files, the provider's lib directory and
// the registry entries that point at both.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>

#include "JOVX_ErrorLogging.h"
#include "JOVX_WDT_SettingsRead.h"
#include "plat/dl.h"
#include "plat/registry.h"
#include "plat/sync.h"
#include "plat/thread.h"
#include "scoped_env.h"
#include "scratch_dir.h"
#ifndef _WIN32
#include "posix_test_support.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace jovx;

class SettingsFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char library[64];
        fs::create_directories(root_.path() / "registry" / "registry.d");
        fs::create_directories(root_.path() / "pv" / "lib");
        fs::copy_file(JOVACFG_LIBRARY_FILE,
                      root_.path() / "pv" / "lib" /
                          plat::shared_library_file_name("jovacfg", library, sizeof library));
        for (const char* file : {"jowdtdef.xml", "jowdtcfg.xml"}) {
            plat_test::write_text(cnf_ / file,
                                  plat_test::read_text(fs::path(PACKAGING_DIR) / "cnf" / file));
        }
        for (const auto& [key, directory] :
             {std::pair{"KTL-OR", "or"}, std::pair{"KTL-PV", "pv"}}) {
            plat::RegistryKey location;
            const std::string path = std::string("SOFTWARE\\VARMOTH\\") + key + "\\0001\\PathName";
            ASSERT_TRUE(location.create(plat::RegistryRoot::local_machine, path.c_str()));
            ASSERT_TRUE(location.set_string("Path00", (root_.path() / directory).string().c_str()));
        }
    }
    void TearDown() override {
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
    }
    void write_value_file(const std::string& items) const {
        plat_test::write_text(cnf_ / "jowdtcfg.xml", "<config>\n" + items + "</config>\n");
    }
    // The shipped definition file with its first `from` replaced by `to`.
    void edit_definition(const std::string& from, const std::string& to) const {
        std::string text = plat_test::read_text(cnf_ / "jowdtdef.xml");
        const std::size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        plat_test::write_text(cnf_ / "jowdtdef.xml", text.replace(at, from.size(), to));
    }
    // All items in declaration order.
    static std::string fields(const WDT_Settings& s) {
        std::ostringstream out;
        out << s.TimeoutInterval << ' ' << s.IntervalCount << ' ' << s.ShorteningCount << ' '
            << s.MinimumInterval << ' ' << s.RetryInterval << ' ' << s.TimeoutAction << ' '
            << int{s.ErrorWatching} << ' ' << s.LogSize << ' ' << s.LogLevel << ' ' << s.LogPages
            << ' ' << s.LogName << ' ' << s.DefaultLogName << ' ' << s.MaximumRetryTime;
        return out.str();
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

    plat_test::ScratchDir root_;
    const fs::path cnf_ = root_.path() / "or" / "cnf";
    plat_test::ScopedEnv registry_{"VARMOTH_REGISTRY", (root_.path() / "registry").string()};
};

TEST_F(SettingsFiles, ValuesComeFromTheValueFileOrTheDefinitionsDefaults) {
    EXPECT_EQ(read_fields(), "1200 2 2 30 1800 32 1 8 30 10 jovxwdt jovxwdt 15") << "as shipped";
    write_value_file(
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
    write_value_file(watching + name_225 +
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
    const plat_test::ScopedEnv socket("VARMOTH_SYSLOG_SOCKET", root_ / "log.sock");
    plat_test::DatagramReceiver daemon(root_ / "log.sock");
    ASSERT_TRUE(daemon.bound());
    plat_test::write_text(root_.path() / "registry" / "registry.d" / "orvalis.reg",
                          "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog"
                          "\\Application\\Orvalis]\n");
#endif
    ASSERT_EQ(WDTLogInitialize(1 << 20, 1, (root_ / "svc").c_str(), 30), 0);
    for (std::string items : invalid) {
        SCOPED_TRACE(items);
        if (const std::size_t at = items.find("LONG"); at != std::string::npos) {
            items.replace(at, 4, std::string(226, 'n'));
        }
        write_value_file(watching + items);
        WDT_Settings s;
        ASSERT_EQ(WDT_ReadSettings(&s), 0);
        EXPECT_EQ(WDT_LogXMLvalues(&s), -1);
        EXPECT_EQ(fields(s), "1200 2 2 30 1800 32 0 8 30 10 jovxwdt jovxwdt 15");
    }
    WDTLogSetStopFlag();
    ASSERT_EQ(WDTLogTerminate(), 0);
    plat::NamedMutex::remove("WDT_ErrorLogMutex");
    plat::NamedMutex::remove("WDT_InstanceMutex");
    const std::string trace = plat_test::read_text(root_ / "svc1.log");
    std::size_t warnings = 0;
    for (std::size_t at = trace.find("KTLOR-118-W"); at != std::string::npos;
         at = trace.find("KTLOR-118-W", at + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, std::size(invalid));
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
    write_value_file("  <TimeoutAction>Reboot</TimeoutAction>\n");
    WDT_Settings s;
    s.TimeoutAction = 3;
    ASSERT_EQ(WDT_ReadSettings(&s), 0);
    EXPECT_EQ(s.TimeoutAction, 3);

    // An item missing from both files fails the read; the items before it are stored.
    edit_definition("<name>MaximumRetryTime</name>", "<name>Unused</name>");
    write_value_file("  <LogLevel>0</LogLevel>\n");
    EXPECT_EQ(WDT_ReadSettings(&s), 1);
    EXPECT_EQ(s.LogLevel, 0);
    edit_definition("<name>Unused</name>", "<name>MaximumRetryTime</name>");

    fs::remove(cnf_ / "jowdtcfg.xml");
    EXPECT_EQ(WDT_ReadSettings(&s), 1) << "no value file";
    write_value_file("");
    ASSERT_EQ(WDT_ReadSettings(&s), 0);
    fs::remove_all(root_.path() / "pv" / "lib");
    EXPECT_EQ(WDT_ReadSettings(&s), 1) << "no settings store";
}

}  // namespace
