// Reading the twelve items through the settings store, loaded at run time from an install
// tree of the test's own: the service's settings files, the provider's lib directory and
// the registry entries that point at both.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "JOVX_WDT_SettingsRead.h"
#include "plat/dl.h"
#include "plat/registry.h"

namespace {

namespace fs = std::filesystem;
using namespace jovx;

#ifdef _WIN32
void set_env(const char* name, const char* value) {
    _putenv_s(name, value);
}
#else
void set_env(const char* name, const char* value) {
    setenv(name, value, 1);
}
#endif

class SettingsFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = fs::temp_directory_path() / ("jovx-files-" + name);
        fs::remove_all(root_);
        fs::create_directories(root_ / "registry" / "registry.d");
        fs::create_directories(root_ / "or" / "cnf");
        fs::create_directories(root_ / "pv" / "lib");
        set_env("VARMOTH_REGISTRY", (root_ / "registry").string().c_str());
        char library[64];
        fs::copy_file(JOVACFG_LIBRARY_FILE,
                      root_ / "pv" / "lib" /
                          plat::shared_library_file_name("jovacfg", library, sizeof library));
        fs::copy_file(fs::path(PACKAGING_DIR) / "cnf" / "jowdtdef.xml",
                      root_ / "or" / "cnf" / "jowdtdef.xml");
        fs::copy_file(fs::path(PACKAGING_DIR) / "cnf" / "jowdtcfg.xml",
                      root_ / "or" / "cnf" / "jowdtcfg.xml");
        register_product("KTL-OR", root_ / "or");
        register_product("KTL-PV", root_ / "pv");
    }
    void TearDown() override {
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
        fs::remove_all(root_);
    }
    static void register_product(const char* key, const fs::path& directory) {
        plat::RegistryKey location;
        const std::string path = std::string("SOFTWARE\\VARMOTH\\") + key + "\\0001\\PathName";
        ASSERT_TRUE(location.create(plat::RegistryRoot::local_machine, path.c_str()));
        ASSERT_TRUE(location.set_string("Path00", directory.string().c_str()));
    }
    void write_value_file(const std::string& items) const {
        std::ofstream(root_ / "or" / "cnf" / "jowdtcfg.xml") << "<config>\n"
                                                             << items << "</config>\n";
    }
    // The shipped definition file with one item's <item> element taken out.
    void drop_definition(const std::string& item) const {
        const fs::path file = root_ / "or" / "cnf" / "jowdtdef.xml";
        std::ifstream in(file);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t name = text.find("<name>" + item + "</name>");
        ASSERT_NE(name, std::string::npos);
        const std::size_t start = text.rfind("<item>", name);
        const std::size_t end = text.find("</item>", name) + 7;
        text.erase(start, end - start);
        std::ofstream(file) << text;
    }

    fs::path root_;
};

TEST_F(SettingsFiles, ShippedFilesGiveTheShippedValues) {
    WDT_Settings s;
    ASSERT_EQ(WDT_ReadSettings(&s), 0);
    EXPECT_EQ(s.LogLevel, 30);
    EXPECT_EQ(s.LogSize, 8);
    EXPECT_EQ(s.LogPages, 10);
    EXPECT_STREQ(s.LogName, "jovxwdt");
    EXPECT_STREQ(s.DefaultLogName, "jovxwdt");
    EXPECT_EQ(s.ErrorWatching, 1);
    EXPECT_EQ(s.TimeoutAction, 0x20);
    EXPECT_EQ(s.TimeoutInterval, 1200);
    EXPECT_EQ(s.IntervalCount, 2);
    EXPECT_EQ(s.ShorteningCount, 2);
    EXPECT_EQ(s.MinimumInterval, 30);
    EXPECT_EQ(s.RetryInterval, 1800);
    EXPECT_EQ(s.MaximumRetryTime, 15);
    EXPECT_EQ(WDT_LogXMLvalues(&s), 0) << "the shipped values are valid";
}

TEST_F(SettingsFiles, ItemsMissingFromTheValueFileTakeTheDefinitionsDefaults) {
    write_value_file(
        "  <LogName>svc.trace</LogName>\n  <TimeoutAction>HardReset</TimeoutAction>\n"
        "  <IntervalCount>5</IntervalCount>\n  <ErrorWatching>FALSE</ErrorWatching>\n");
    WDT_Settings s;
    ASSERT_EQ(WDT_ReadSettings(&s), 0);
    EXPECT_STREQ(s.LogName, "svc.trace");
    EXPECT_STREQ(s.DefaultLogName, "jovxwdt");
    EXPECT_EQ(s.TimeoutAction, 1);
    EXPECT_EQ(s.IntervalCount, 5);
    EXPECT_EQ(s.ErrorWatching, 0);
    EXPECT_EQ(s.LogSize, 8);
    EXPECT_EQ(s.RetryInterval, 1800);
}

TEST_F(SettingsFiles, AnItemMissingFromBothFilesFailsTheRead) {
    drop_definition("MaximumRetryTime");
    write_value_file("  <LogLevel>0</LogLevel>\n");
    WDT_Settings s;
    EXPECT_EQ(WDT_ReadSettings(&s), 1);
    EXPECT_EQ(s.LogLevel, 0) << "items before the failing one are stored";
}

TEST_F(SettingsFiles, UnknownTimeoutActionWordLeavesTheActionAlone) {
    // A definition that allows a word the service does not know.
    const fs::path file = root_ / "or" / "cnf" / "jowdtdef.xml";
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    const std::size_t at = text.find("<SMI>");
    ASSERT_NE(at, std::string::npos);
    text.insert(at, "<Reboot>Reboot</Reboot>\n      ");
    std::ofstream(file) << text;
    write_value_file("  <TimeoutAction>Reboot</TimeoutAction>\n");
    WDT_Settings s;
    s.TimeoutAction = 3;
    ASSERT_EQ(WDT_ReadSettings(&s), 0);
    EXPECT_EQ(s.TimeoutAction, 3);
}

TEST_F(SettingsFiles, MissingLibraryOrSettingsFileFailsTheRead) {
    WDT_Settings s;
    fs::remove(root_ / "or" / "cnf" / "jowdtcfg.xml");
    EXPECT_EQ(WDT_ReadSettings(&s), 1);
    fs::remove_all(root_ / "pv" / "lib");
    EXPECT_EQ(WDT_ReadSettings(&s), 1);
}

}  // namespace
