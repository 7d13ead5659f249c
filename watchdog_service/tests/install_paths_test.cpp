// Install directories from the registry and the trace file path built from LogName.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "JOVX_ErrorLogging.h"
#include "JOVX_WDT_SettingsRead.h"
#include "plat/text.h"

namespace {

namespace fs = std::filesystem;
using namespace jovx;

// A registry of the test's own: one drop-in file per product.
class InstallPaths : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("jovx-reg-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "registry.d");
        setenv("VARMOTH_REGISTRY", root_.string().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VARMOTH_REGISTRY");
        fs::remove_all(root_);
    }
    void drop_in(const std::string& name, const std::string& body) {
        std::ofstream(root_ / "registry.d" / name) << "Windows Registry Editor Version 5.00\n\n"
                                                   << body;
    }
    // A product key with the given numbered subkeys; the one named `with_path` holds the path.
    void product(const std::string& file, const std::string& key,
                 std::initializer_list<std::string> subkeys, const std::string& with_path,
                 const std::string& directory) {
        std::string body;
        for (const auto& subkey : subkeys) {
            body += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\" + key + "\\" + subkey + "]\n";
            body +=
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\" + key + "\\" + subkey + "\\PathName]\n";
            if (subkey == with_path) {
                body += "\"Path00\"=\"" + directory + "\"\n";
            }
            body += "\n";
        }
        drop_in(file, body);
    }
    void set_log_names(const std::string& name, const std::string& default_name) {
        WDT_Settings* s = WDT_LockSettings();
        plat::copy_cut(s->LogName, sizeof s->LogName, name.c_str());
        plat::copy_cut(s->DefaultLogName, sizeof s->DefaultLogName, default_name.c_str());
        WDT_UnlockSettings();
    }

    fs::path root_;
};

TEST_F(InstallPaths, FirstSubkeyAboveZeroIsUsed) {
    product("ktl-or.reg", "KTL-OR", {"-5", "0000", "0100", "0200", "Later"}, "0100",
            "/opt/varmoth/ktl-or");
    product("ktl-pv.reg", "KTL-PV", {"0001"}, "0001", "/opt/varmoth/ktl-pv");
    char path[kPathBufferSize];
    ASSERT_EQ(WDT_GetInstallPath(path, kInstallPathService), 0);
    EXPECT_STREQ(path, "/opt/varmoth/ktl-or");
    ASSERT_EQ(WDT_GetInstallPath(path, kInstallPathProvider), 0);
    EXPECT_STREQ(path, "/opt/varmoth/ktl-pv");
}

TEST_F(InstallPaths, MissingKeysSubkeysOrValuesFail) {
    char path[kPathBufferSize];
    EXPECT_EQ(WDT_GetInstallPath(path, kInstallPathService), 1) << "no key at all";
    product("ktl-or.reg", "KTL-OR", {"Zero", "0000"}, "", "");
    EXPECT_EQ(WDT_GetInstallPath(path, kInstallPathService), 1) << "no subkey above 0";
    product("ktl-pv.reg", "KTL-PV", {"0001"}, "", "");
    EXPECT_EQ(WDT_GetInstallPath(path, kInstallPathProvider), 1) << "no Path00 value";
    // A settings read needs both directories: it fails before it looks at any file.
    WDT_Settings settings;
    EXPECT_EQ(WDT_ReadSettings(&settings), 1);
}

TEST_F(InstallPaths, TraceFilePathRules) {
    product("ktl-or.reg", "KTL-OR", {"0001"}, "0001", "/opt/prog");
    char path[kPathBufferSize];

    set_log_names("trace.log", "jovxwdt");
    EXPECT_EQ(WDTLogGetFilePath(path), 0);
    EXPECT_STREQ(path, "/opt/prog/log/trace.log");

    set_log_names("data/t.log", "jovxwdt");
    EXPECT_EQ(WDTLogGetFilePath(path), 0);
    EXPECT_STREQ(path, "/opt/prog/data/t.log");

    set_log_names("/var/log/varmoth/t", "jovxwdt");
    EXPECT_EQ(WDTLogGetFilePath(path), 0);
    EXPECT_STREQ(path, "/var/log/varmoth/t");

    // 250 characters or more fall back to the default name.
    set_log_names("/" + std::string(249, 'a'), "jovxwdt");
    EXPECT_EQ(WDTLogGetFilePath(path), 0);
    EXPECT_STREQ(path, "/opt/prog/log/jovxwdt");
    set_log_names("/" + std::string(248, 'a'), "jovxwdt");
    EXPECT_EQ(WDTLogGetFilePath(path), 0);
    EXPECT_EQ(std::string(path).size(), 249u);
}

TEST_F(InstallPaths, RelativeInstallDirectoryIsNotAUsableLocation) {
    product("ktl-or.reg", "KTL-OR", {"0001"}, "0001", "relative/prog");
    set_log_names("trace.log", "jovxwdt");
    char path[kPathBufferSize];
    EXPECT_EQ(WDTLogGetFilePath(path), 1);
    EXPECT_STREQ(path, "relative/prog/log/trace.log") << "the buffer holds the path anyway";
}

}  // namespace
