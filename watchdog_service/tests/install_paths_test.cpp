// Install directories from the registry and the trace file path built from LogName.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <initializer_list>
#include <string>

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
#else
constexpr const char* kInstall = "/opt/prog";
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
                body += "\"Path00\"=\"" + escaped(directory) + "\"\n";
            }
            body += "\n";
        }
        plat_test::write_text(dir_.path() / "registry.d" / (key + ".reg"), body);
#endif
    }
    void set_log_names(const std::string& name, const std::string& default_name) {
        WDT_Settings* s = WDT_LockSettings();
        plat::copy_cut(s->LogName, sizeof s->LogName, name.c_str());
        plat::copy_cut(s->DefaultLogName, sizeof s->DefaultLogName, default_name.c_str());
        WDT_UnlockSettings();
    }
    std::string log_path(const std::string& name) {
        set_log_names(name, "jovxwdt");
        char path[kPathBufferSize];
        EXPECT_EQ(WDTLogGetFilePath(path), 0) << name;
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
    static std::string escaped(const std::string& text) {
        std::string out;
        for (char c : text) {
            out += c == '\\' || c == '"' ? std::string("\\") + c : std::string(1, c);
        }
        return out;
    }

    plat_test::ScratchDir dir_;
    plat_test::ScopedEnv registry_{"VARMOTH_REGISTRY", dir_.path().string()};
#endif
};

TEST_F(InstallPaths, FirstSubkeyAboveZeroIsUsed) {
    const std::string service = std::string(kInstall) + "-or";
    const std::string provider = std::string(kInstall) + "-pv";
    product("KTL-OR", {"-5", "0000", "0100", "0200", "Later"}, "0100", service);
    product("KTL-PV", {"0001"}, "0001", provider);
    char path[kPathBufferSize];
    ASSERT_EQ(WDT_GetInstallPath(path, kInstallPathService), 0);
    EXPECT_EQ(path, service);
    ASSERT_EQ(WDT_GetInstallPath(path, kInstallPathProvider), 0);
    EXPECT_EQ(path, provider);
}

TEST_F(InstallPaths, MissingKeysSubkeysOrValuesFail) {
    char path[kPathBufferSize];
    EXPECT_EQ(WDT_GetInstallPath(path, kInstallPathService), 1) << "no key at all";
    product("KTL-OR", {"Zero", "0000"}, "", "");
    EXPECT_EQ(WDT_GetInstallPath(path, kInstallPathService), 1) << "no subkey above 0";
    product("KTL-PV", {"0001"}, "", "");
    EXPECT_EQ(WDT_GetInstallPath(path, kInstallPathProvider), 1) << "no Path00 value";
    // A settings read needs both directories: it fails before it looks at any file.
    WDT_Settings settings;
    EXPECT_EQ(WDT_ReadSettings(&settings), 1);
}

TEST_F(InstallPaths, TraceFilePathRules) {
    product("KTL-OR", {"0001"}, "0001", kInstall);
    const std::string install = kInstall;
#if defined(_WIN32)
    EXPECT_EQ(log_path("trace.log"), install + "\\log\\trace.log");
    EXPECT_EQ(log_path("data\\t.log"), install + "\\data\\t.log");
    EXPECT_EQ(log_path("C:\\logs\\t"), "C:\\logs\\t") << "a drive makes a full path";
    EXPECT_EQ(log_path("\\logs\\t"), install + "\\logs\\t") << "no drive: below the install";
    const std::string full = "C:\\";
#else
    EXPECT_EQ(log_path("trace.log"), install + "/log/trace.log");
    EXPECT_EQ(log_path("data/t.log"), install + "/data/t.log");
    EXPECT_EQ(log_path("/var/log/varmoth/t"), "/var/log/varmoth/t");
    const std::string full = "/";
#endif

    // 250 characters or more fall back to the default name.
    const std::string fallback = log_path(full + std::string(250 - full.size(), 'a'));
    EXPECT_EQ(fallback, install + plat::kPathSeparator + "log" + plat::kPathSeparator + "jovxwdt");
    EXPECT_EQ(log_path(full + std::string(249 - full.size(), 'a')).size(), 249u);
}

TEST_F(InstallPaths, InstallDirectoryOnNoUsableRootIsRefused) {
    struct Case {
        std::string install;
        const char* why;
    };
#if defined(_WIN32)
    // A drive letter that nothing is mounted at.
    const DWORD drives = GetLogicalDrives();
    char unused = 'Z';
    while (unused > 'D' && (drives & (1u << (unused - 'A'))) != 0) {
        --unused;
    }
    const Case cases[] = {{"relative\\prog", "relative"},
                          {std::string(1, unused) + ":\\prog", "no such drive"}};
#else
    const Case cases[] = {{"relative/prog", "relative"}};
#endif
    for (const Case& c : cases) {
        product("KTL-OR", {"0001"}, "0001", c.install);
        set_log_names("trace.log", "jovxwdt");
        char path[kPathBufferSize];
        EXPECT_EQ(WDTLogGetFilePath(path), 1) << c.why;
        const std::string expected =
            c.install + plat::kPathSeparator + "log" + plat::kPathSeparator + "trace.log";
        EXPECT_EQ(path, expected) << "the buffer holds the path anyway";
    }
}

}  // namespace
