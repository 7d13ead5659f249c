// Install directories from the registry and the trace file path built from LogName.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <initializer_list>
#include <string>
#include <vector>

#include "JOVX_ErrorLogging.h"
#include "JOVX_WDT_SettingsRead.h"
#include "plat/file.h"
#include "plat/registry.h"
#include "plat/text.h"
#include "scoped_env.h"
#include "scratch_dir.h"

namespace {

using namespace jovx;

constexpr plat::RegistryRoot kMachine = plat::RegistryRoot::local_machine;

#if defined(_WIN32)
constexpr const char* kInstall = "C:\\opt\\prog";
constexpr const char* kRoot = "C:\\";
#else
constexpr const char* kInstall = "/opt/prog";
constexpr const char* kRoot = "/";
#endif

// The products' keys as installation leaves them. POSIX: one drop-in file per product in a
// registry of the test's own. Windows: the real registry, provided it holds neither product
// yet; their keys are removed afterwards.
class InstallPaths : public ::testing::Test {
  protected:
#if defined(_WIN32)
    void SetUp() override {
        for (const char* product_key : kProductKeys) {
            plat::RegistryKey installed;
            if (installed.open(kMachine, product_key).ok()) {
                GTEST_SKIP() << "a product is installed here; its keys are left alone";
            }
        }
        plat::RegistryKey vendor;
        const plat::Status status = vendor.create(kMachine, kVendorKey, &vendor_created_);
        if (!status.ok()) {
            GTEST_SKIP() << "HKEY_LOCAL_MACHINE is not writable here: error " << status.error;
        }
        owns_products_ = true;
    }
    void TearDown() override {
        if (!owns_products_) {
            return;
        }
        for (const char* product_key : kProductKeys) {
            plat::delete_registry_tree(kMachine, product_key);
        }
        if (vendor_created_) {
            // Only while nothing else was put there meanwhile.
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, KEY_WOW64_64KEY, 0);
        }
    }
#endif

    // A product key with the given numbered subkeys; the one named `with_path` holds the path.
    void product(const std::string& key, std::initializer_list<std::string> subkeys,
                 const std::string& with_path, const std::string& directory) {
        const std::string base = std::string(kVendorKey) + "\\" + key;
#if defined(_WIN32)
        for (const auto& subkey : subkeys) {
            plat::RegistryKey location;
            ASSERT_TRUE(
                location.create(kMachine, (base + "\\" + subkey + "\\PathName").c_str()).ok());
            if (subkey == with_path) {
                ASSERT_TRUE(location.set_string("Path00", directory.c_str()).ok());
            }
        }
#else
        std::string body = "Windows Registry Editor Version 5.00\n\n";
        for (const auto& subkey : subkeys) {
            body += "[HKEY_LOCAL_MACHINE\\" + base + "\\" + subkey + "]\n";
            body += "[HKEY_LOCAL_MACHINE\\" + base + "\\" + subkey + "\\PathName]\n";
            if (subkey == with_path) {
                body += "\"Path00\"=\"" + directory + "\"\n";
            }
            body += "\n";
        }
        plat_test::write_text(dir_.path() / "registry.d" / (key + ".reg"), body);
#endif
    }
    // The trace file path for LogName `name`, and WDTLogGetFilePath's result.
    std::string log_path(const std::string& name, int expected_result = 0) {
        WDT_Settings* s = WDT_LockSettings();
        plat::copy_cut(s->LogName, sizeof s->LogName, name.c_str());
        plat::copy_cut(s->DefaultLogName, sizeof s->DefaultLogName, "jovxwdt");
        WDT_UnlockSettings();
        char path[kPathBufferSize];
        EXPECT_EQ(WDTLogGetFilePath(path), expected_result) << name;
        return path;
    }

  private:
    static constexpr const char* kVendorKey = "SOFTWARE\\VARMOTH";
#if defined(_WIN32)
    static constexpr const char* kProductKeys[] = {"SOFTWARE\\VARMOTH\\KTL-OR",
                                                   "SOFTWARE\\VARMOTH\\KTL-PV"};
    bool vendor_created_ = false;
    bool owns_products_ = false;
#else
    plat_test::ScratchDir dir_;
    plat_test::ScopedEnv registry_{"VARMOTH_REGISTRY", dir_.path().string()};
#endif
};

TEST_F(InstallPaths, FirstSubkeyAboveZeroGivesTheInstallAndTraceFilePath) {
    char path[kPathBufferSize];
    EXPECT_EQ(WDT_GetInstallPath(path, kInstallPathService), 1) << "no key at all";
    product("KTL-OR", {"Zero", "0000"}, "", "");
    EXPECT_EQ(WDT_GetInstallPath(path, kInstallPathService), 1) << "no subkey above 0";
    product("KTL-PV", {"0001"}, "", "");
    EXPECT_EQ(WDT_GetInstallPath(path, kInstallPathProvider), 1) << "no Path00 value";
    // A settings read needs both directories: it fails before it looks at any file.
    WDT_Settings settings;
    EXPECT_EQ(WDT_ReadSettings(&settings), 1);

    const std::string service = std::string(kInstall) + "-or";
    const std::string provider = std::string(kInstall) + "-pv";
    product("KTL-OR", {"-5", "0000", "0100", "0200", "Later"}, "0100", service);
    product("KTL-PV", {"0001"}, "0001", provider);
    ASSERT_EQ(WDT_GetInstallPath(path, kInstallPathService), 0);
    EXPECT_EQ(path, service);
    ASSERT_EQ(WDT_GetInstallPath(path, kInstallPathProvider), 0);
    EXPECT_EQ(path, provider);

    // The trace file path from LogName.
    product("KTL-OR", {"0001"}, "0001", kInstall);
    const std::string install = kInstall;
    const char sep = plat::kPathSeparator;
    const std::string longest = (kRoot + std::string(249, 'a')).substr(0, 249);
    const struct {
        std::string name, expected;
    } cases[] = {
#if defined(_WIN32)
        {"trace.log", install + "\\log\\trace.log"},
        {"data\\t.log", install + "\\data\\t.log"},
        {"C:\\logs\\t", "C:\\logs\\t"},        // a drive makes a full path
        {"\\logs\\t", install + "\\logs\\t"},  // no drive: below the install
#else
        {"trace.log", install + "/log/trace.log"},
        {"data/t.log", install + "/data/t.log"},
        {"/var/log/varmoth/t", "/var/log/varmoth/t"},
#endif
        {longest, longest},
        // 250 characters or more fall back to the default name.
        {longest + "a", install + sep + "log" + sep + "jovxwdt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(log_path(c.name), c.expected);
    }

    // An install directory on no usable root is refused; the buffer holds the path anyway.
    std::vector<std::string> unusable = {std::string("relative") + sep + "prog"};
#if defined(_WIN32)
    // A drive letter that nothing is mounted at.
    const DWORD drives = GetLogicalDrives();
    char unused = 'Z';
    while (unused > 'D' && (drives & (1u << (unused - 'A'))) != 0) {
        --unused;
    }
    unusable.push_back(std::string(1, unused) + ":\\prog");
#endif
    for (const std::string& directory : unusable) {
        product("KTL-OR", {"0001"}, "0001", directory);
        EXPECT_EQ(log_path("trace.log", 1), directory + sep + "log" + sep + "trace.log");
    }
}

}  // namespace
