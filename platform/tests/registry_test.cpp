#include "plat/registry.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "plat/thread.h"
#include "scratch_registry.h"

using plat::RegistryKey;
using plat::RegistryRoot;
using plat::RegistryType;
using plat_test::read_text;
using plat_test::write_text;

namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n\n";
constexpr RegistryRoot kMachine = RegistryRoot::local_machine;

#if defined(_WIN32)
constexpr plat::ErrorCode kNotFound = ERROR_FILE_NOT_FOUND;
constexpr plat::ErrorCode kBadArgument = ERROR_INVALID_PARAMETER;
constexpr plat::ErrorCode kWrongType = ERROR_INVALID_DATATYPE;
constexpr plat::ErrorCode kDenied = ERROR_ACCESS_DENIED;
constexpr plat::ErrorCode kKeyGone = ERROR_KEY_DELETED;
constexpr const char* kNoDropins =
    "drop-in files are how registry content is installed on POSIX; Windows has its registry";
#else
constexpr plat::ErrorCode kNotFound = ENOENT;
constexpr plat::ErrorCode kBadArgument = EINVAL;
constexpr plat::ErrorCode kWrongType = EINVAL;
constexpr plat::ErrorCode kDenied = EACCES;
constexpr plat::ErrorCode kKeyGone = ENOENT;
#endif

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

class RegistryTest : public ::testing::Test {
  protected:
#if !defined(_WIN32)
    void dropin(const std::string& name, const std::string& body) {
        write_text(reg_.dir().path() / "registry.d" / name, kHeader + body);
    }
    std::string writable_file() const {
        return reg_.dir() / "registry.reg";
    }
#endif
    std::string path(const std::string& key) const {
        return reg_.path(key);
    }

    std::string text(const RegistryKey& key, const char* name) {
        char buffer[256] = {};
        const plat::Status status = key.query_string(name, buffer, sizeof buffer);
        return status.ok() ? buffer : "<error " + std::to_string(status.error) + ">";
    }
    std::vector<std::string> subkeys(const RegistryKey& key) {
        std::vector<std::string> names;
        char name[256];
        for (std::uint32_t i = 0; key.subkey_name(i, name, sizeof name).ok(); ++i) {
            names.emplace_back(name);
        }
        return names;
    }
    std::vector<std::string> values(const RegistryKey& key) {
        std::vector<std::string> names;
        char name[256];
        for (std::uint32_t i = 0; key.value_name(i, name, sizeof name, nullptr).ok(); ++i) {
            names.emplace_back(name);
        }
        return names;
    }

    plat_test::ScratchRegistry reg_;
};

// Values of every type through the interface, on any platform.
TEST_F(RegistryTest, TypedValuesSizesAndListing) {
    RegistryKey key;
    ASSERT_TRUE(key.create(reg_.root(), path("Typed").c_str()).ok());
    ASSERT_TRUE(key.set_string("Path", "C:\\opt\\\"q\"").ok());
    ASSERT_TRUE(key.set_dword("Count", 42).ok());
    ASSERT_TRUE(key.set_value("Blob", RegistryType::binary, "\x01\x02\xff", 3).ok());
    const unsigned char eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(key.set_value("Big", RegistryType::qword, eight, sizeof eight).ok());
    RegistryKey child;
    ASSERT_TRUE(child.create(key, "beta").ok());
    ASSERT_TRUE(child.create(key, "Alpha").ok());

    ASSERT_TRUE(key.open(reg_.root(), path("TYPED").c_str()).ok());
    EXPECT_EQ(text(key, "PATH"), "C:\\opt\\\"q\"");
    std::uint32_t count = 0;
    ASSERT_TRUE(key.query_dword("count", &count).ok());
    EXPECT_EQ(count, 42u);
    RegistryType type{};
    std::size_t size = 0;
    ASSERT_TRUE(key.query_value("Path", &type, nullptr, &size).ok());
    EXPECT_EQ(type, RegistryType::string);
    EXPECT_EQ(size, 11u) << "with the terminator";
    ASSERT_TRUE(key.query_value("Blob", &type, nullptr, &size).ok());
    EXPECT_EQ(type, RegistryType::binary);
    EXPECT_EQ(size, 3u);
    unsigned char two[2];
    size = sizeof two;
    EXPECT_EQ(key.query_value("Blob", &type, two, &size).error, plat::registry_more_data_error());
    EXPECT_EQ(size, 3u);
    unsigned char data[8] = {};
    size = sizeof data;
    ASSERT_TRUE(key.query_value("big", &type, data, &size).ok());
    EXPECT_EQ(type, RegistryType::qword);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(data[0], 1);

    char small[4];
    EXPECT_EQ(key.query_string("Path", small, sizeof small).error,
              plat::registry_more_data_error());
    EXPECT_EQ(key.query_dword("Path", &count).error, kWrongType);
    EXPECT_EQ(key.query_string("Count", small, sizeof small).error, kWrongType);
    EXPECT_EQ(key.query_string("Missing", small, sizeof small).error, kNotFound);
    EXPECT_EQ(key.set_string("v", "x").error, kDenied) << "opened for reading";

    std::uint32_t subkey_count = 0;
    std::uint32_t value_count = 0;
    ASSERT_TRUE(key.subkey_count(&subkey_count).ok());
    ASSERT_TRUE(key.value_count(&value_count).ok());
    EXPECT_EQ(subkey_count, 2u);
    EXPECT_EQ(value_count, 4u);
    EXPECT_EQ(subkeys(key), (std::vector<std::string>{"Alpha", "beta"}));
    EXPECT_EQ(sorted(values(key)), (std::vector<std::string>{"Big", "Blob", "Count", "Path"}));
    char name[8];
    EXPECT_EQ(key.subkey_name(2, name, sizeof name).error, plat::registry_no_more_items_error());
    EXPECT_EQ(key.value_name(4, name, sizeof name, nullptr).error,
              plat::registry_no_more_items_error());
    char tiny[3];
    EXPECT_EQ(key.subkey_name(0, tiny, sizeof tiny).error, plat::registry_more_data_error());
    EXPECT_EQ(key.value_name(0, tiny, sizeof tiny, &type).error, plat::registry_more_data_error());

    RegistryKey missing;
    EXPECT_EQ(missing.open(reg_.root(), path("None").c_str()).error, kNotFound);
    EXPECT_EQ(missing.open(key, "ALPHA\\\\none").error, kBadArgument);
    EXPECT_EQ(missing.open(reg_.root(), path("A\\\\B").c_str()).error, kBadArgument);
    EXPECT_EQ(missing.query_dword("Count", &count).error, plat::invalid_handle_error());
}

TEST_F(RegistryTest, ReadsInstalledValuesOfEveryNotation) {
#if defined(_WIN32)
    GTEST_SKIP() << kNoDropins;
#else
    dropin("product.reg",
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-OR]\n"
           "@=\"default text\"\n"
           "\"Path\"=\"C:\\\\opt\\\\\\\"q\\\"\"\n"
           "\"Count\"=dword:0000002a\n"
           "\"Blob\"=hex:01,02,ff\n");
    RegistryKey key;
    ASSERT_TRUE(key.open(kMachine, "software\\Varmoth\\ktl-or").ok());
    EXPECT_EQ(text(key, nullptr), "default text");
    EXPECT_EQ(text(key, ""), "default text");
    EXPECT_EQ(text(key, "PATH"), "C:\\opt\\\"q\"");
    std::uint32_t count = 0;
    ASSERT_TRUE(key.query_dword("count", &count).ok());
    EXPECT_EQ(count, 42u);
    RegistryType type{};
    unsigned char blob[3];
    std::size_t size = sizeof blob;
    ASSERT_TRUE(key.query_value("Blob", &type, blob, &size).ok());
    EXPECT_EQ(type, RegistryType::binary);
    EXPECT_EQ(blob[2], 0xFF);

    RegistryKey missing;
    EXPECT_EQ(missing.open(RegistryRoot::current_user, "SOFTWARE\\VARMOTH\\KTL-OR").error, ENOENT);
#endif
}

TEST_F(RegistryTest, LayersApplyInNameOrderAndListingIsStable) {
#if defined(_WIN32)
    GTEST_SKIP() << kNoDropins;
#else
    dropin("20-second.reg",
           "[HKLM\\S\\K]\n\"Shared\"=\"second\"\n\"Two\"=\"2\"\n[HKLM\\S\\K\\gamma]\n");
    dropin("10-first.reg",
           "[HKLM\\S\\K]\n\"One\"=\"1\"\n\"Shared\"=\"first\"\n"
           "[HKLM\\S\\K\\beta]\n[HKLM\\S\\K\\Alpha]\n[HKLM\\S\\K\\Doomed]\n");
    // A later drop-in may delete what an earlier one made.
    dropin("30-third.reg", "[-HKLM\\S\\K\\doomed]\n[HKLM\\S\\K]\n\"Two\"=-\n");
    write_text(writable_file(), std::string(kHeader) +
                                    "[HKLM\\S\\K]\n\"Shared\"=\"mine\"\n"
                                    "\"Own\"=\"o\"\n");

    RegistryKey key;
    ASSERT_TRUE(key.open(kMachine, "S\\K").ok());
    EXPECT_EQ(text(key, "Shared"), "mine");
    EXPECT_EQ(subkeys(key), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    EXPECT_EQ(values(key), (std::vector<std::string>{"One", "Shared", "Own"}));
    std::uint32_t subkey_count = 0;
    std::uint32_t value_count = 0;
    ASSERT_TRUE(key.subkey_count(&subkey_count).ok());
    ASSERT_TRUE(key.value_count(&value_count).ok());
    EXPECT_EQ(subkey_count, 3u);
    EXPECT_EQ(value_count, 3u);
    char name[8];
    EXPECT_EQ(key.subkey_name(3, name, sizeof name).error, plat::registry_no_more_items_error());
    char tiny[3];
    EXPECT_EQ(key.subkey_name(0, tiny, sizeof tiny).error, plat::registry_more_data_error());

    RegistryKey child;
    ASSERT_TRUE(child.open(key, "GAMMA").ok());
    EXPECT_EQ(child.open(key, "Doomed").error, ENOENT);
#endif
}

TEST_F(RegistryTest, ReadsTextAsExportedByOtherTools) {
#if defined(_WIN32)
    GTEST_SKIP() << kNoDropins;
#else
    // Byte-order mark, CR LF, comments, indentation and a byte list over several lines.
    write_text(reg_.dir().path() / "registry.d" / "exported.reg",
               "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
               "; exported\r\n"
               "[HKEY_CLASSES_ROOT\\CLSID\\{0001}]\r\n"
               "  @ = \"Provider\"\r\n"
               "\"Data\"=hex(b):01,00,00,00,\\\r\n"
               "  00,00,00,00\r\n");
    RegistryKey key;
    ASSERT_TRUE(key.open(RegistryRoot::classes_root, "clsid\\{0001}").ok());
    EXPECT_EQ(text(key, nullptr), "Provider");
    RegistryType type{};
    unsigned char data[8];
    std::size_t size = sizeof data;
    ASSERT_TRUE(key.query_value("Data", &type, data, &size).ok());
    EXPECT_EQ(type, RegistryType::qword);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(data[0], 1);
#endif
}

TEST_F(RegistryTest, MalformedFileFailsEveryReadNamingFileAndLine) {
#if defined(_WIN32)
    GTEST_SKIP() << kNoDropins;
#else
    struct Case {
        std::string text;
        int line;
    };
    const std::string h = "Windows Registry Editor Version 5.00\n";
    std::string deep;
    for (int i = 0; i < 600; ++i) {
        deep += "\\k";
    }
    const Case cases[] = {
        {"Windows Registry Editor Version 4.00\n", 1},
        {"", 1},
        {"\xFF\xFEW\0i\0", 1},
        {h + "[HKLM\\A]\n\"v\"=\"C:\\path\"\n", 3},
        {h + "[HKLM\\A]\n\n\"v\"=\"open\n", 4},
        {h + "[HKEY_NOWHERE\\A]\n", 2},
        {h + "\"v\"=\"value before any key\"\n", 2},
        {h + "[HKLM\\A]\n\"v\"=dword:123456789\n", 3},
        {h + "[HKLM\\A]\n\"v\"=hex:01,zz\n", 3},
        {h + "[HKLM\\A]\n\"v\"=hex:01,\\\n", 3},
        {h + "[HKLM\\A\\\\B]\n", 2},
        {h + "[HKLM\\A]\n\"v\"=\"x\" trailing\n", 3},
        {h + "[HKLM" + deep + "]\n", 2},
    };
    dropin("00-good.reg", "[HKLM\\Good]\n\"v\"=\"1\"\n");
    for (const Case& c : cases) {
        write_text(reg_.dir().path() / "registry.d" / "50-bad.reg", c.text);
        RegistryKey key;
        // The good file's key is refused too: never half a registry.
        EXPECT_EQ(key.open(kMachine, "Good").error, plat::registry_corrupt_error()) << c.text;
        const std::string expected = "50-bad.reg:" + std::to_string(c.line) + ":";
        EXPECT_NE(std::string(plat::registry_error_detail()).find(expected), std::string::npos)
            << c.text << " -> " << plat::registry_error_detail();
    }
    std::filesystem::remove(reg_.dir().path() / "registry.d" / "50-bad.reg");
    RegistryKey key;
    EXPECT_TRUE(key.open(kMachine, "Good").ok());
    EXPECT_STREQ(plat::registry_error_detail(), "");
#endif
}

TEST_F(RegistryTest, CreateSetAndDeleteAreWrittenAndReadBack) {
    RegistryKey key;
    bool created = false;
    ASSERT_TRUE(
        key.create(reg_.root(), path("SOFTWARE\\VARMOTH\\New Key]\\Sub").c_str(), &created).ok());
    EXPECT_TRUE(created);
    ASSERT_TRUE(key.set_string(nullptr, "default").ok());
    ASSERT_TRUE(key.set_string("Quote\"Back\\slash", "a \"b\" c:\\d").ok());
    ASSERT_TRUE(key.set_string("Lines", "one\r\ntwo").ok());
    ASSERT_TRUE(key.set_dword("Number", 0xDEADBEEF).ok());
    std::string blob(300, '\0');
    for (std::size_t i = 0; i < blob.size(); ++i) {
        blob[i] = static_cast<char>(i);
    }
    ASSERT_TRUE(key.set_value("Blob", RegistryType::binary, blob.data(), blob.size()).ok());
#if !defined(_WIN32)
    EXPECT_EQ(key.set_string("Bad\nName", "x").error, EINVAL);  // the text form cannot hold it

    const std::string file = read_text(writable_file());
    EXPECT_EQ(file.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(writable_file() + ".new"));
#endif

    RegistryKey again;
    ASSERT_TRUE(
        again.create(reg_.root(), path("software\\varmoth\\NEW KEY]\\sub").c_str(), &created).ok());
    EXPECT_FALSE(created);
    EXPECT_EQ(text(again, ""), "default");
    EXPECT_EQ(text(again, "quote\"back\\SLASH"), "a \"b\" c:\\d");
    EXPECT_EQ(text(again, "Lines"), "one\r\ntwo");
    std::uint32_t number = 0;
    ASSERT_TRUE(again.query_dword("Number", &number).ok());
    EXPECT_EQ(number, 0xDEADBEEFu);
    std::string read_back(blob.size(), 'x');
    std::size_t size = read_back.size();
    RegistryType type{};
    ASSERT_TRUE(again.query_value("Blob", &type, read_back.data(), &size).ok());
    EXPECT_EQ(read_back, blob);

    ASSERT_TRUE(again.delete_value("Lines").ok());
    EXPECT_EQ(again.delete_value("Lines").error, kNotFound);
    const std::vector<std::string> left = {"", "Quote\"Back\\slash", "Number", "Blob"};
#if defined(_WIN32)
    EXPECT_EQ(sorted(values(again)), sorted(left)) << "the registry chooses the order";
#else
    EXPECT_EQ(values(again), left) << "in the order first set";
#endif

    EXPECT_EQ(plat::delete_registry_tree(reg_.root(), "").error, kBadArgument);
    EXPECT_EQ(plat::delete_registry_tree(reg_.root(), nullptr).error, kBadArgument);
    ASSERT_TRUE(
        plat::delete_registry_tree(reg_.root(), path("Software\\Varmoth\\New Key]").c_str()).ok());
    EXPECT_EQ(
        plat::delete_registry_tree(reg_.root(), path("Software\\Varmoth\\New Key]").c_str()).error,
        kNotFound);
    RegistryKey gone;
    EXPECT_EQ(gone.open(reg_.root(), path("SOFTWARE\\VARMOTH\\New Key]").c_str()).error, kNotFound);
    EXPECT_EQ(again.query_string("", nullptr, 0).error, kBadArgument);
    char buffer[16];
    // The handle outlived its key.
    EXPECT_EQ(again.query_string("", buffer, sizeof buffer).error, kKeyGone);
    EXPECT_EQ(again.set_string("x", "y").error, kKeyGone);
    RegistryKey parent;
    EXPECT_TRUE(parent.open(reg_.root(), path("SOFTWARE\\VARMOTH").c_str()).ok());
}

TEST_F(RegistryTest, InstalledKeysAndValuesCannotBeDeletedButCanBeOverridden) {
#if defined(_WIN32)
    GTEST_SKIP() << kNoDropins;
#else
    dropin("product.reg",
           "[HKLM\\S\\Installed]\n\"v\"=\"installed\"\n[HKLM\\S\\Installed\\Child]\n");
    RegistryKey key;
    ASSERT_TRUE(key.open(kMachine, "S\\Installed").ok());
    EXPECT_EQ(key.set_string("v", "x").error, EACCES);  // opened for reading

    ASSERT_TRUE(key.open(kMachine, "S\\Installed", plat::RegistryAccess::read_write).ok());
    ASSERT_TRUE(key.set_string("v", "overridden").ok());
    ASSERT_TRUE(key.set_string("own", "mine").ok());
    EXPECT_EQ(text(key, "v"), "overridden");
    EXPECT_EQ(key.delete_value("v").error, EACCES);
    EXPECT_TRUE(key.delete_value("own").ok());
    EXPECT_EQ(plat::delete_registry_tree(kMachine, "S\\Installed\\Child").error, EACCES);
    EXPECT_EQ(plat::delete_registry_tree(kMachine, "S\\Nothing").error, ENOENT);
    EXPECT_EQ(plat::delete_registry_tree(kMachine, "").error, EINVAL);
    RegistryKey child;
    EXPECT_TRUE(child.open(kMachine, "S\\Installed\\Child").ok());
#endif
}

// Strings that another program stored without a terminator, or with one inside.
TEST_F(RegistryTest, ForeignStringsEndAtTheirFirstTerminator) {
#if defined(_WIN32)
    RegistryKey key;
    ASSERT_TRUE(key.create(reg_.root(), path("Raw").c_str()).ok());
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path("Raw").c_str(), 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, &raw),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(raw, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3),
              ERROR_SUCCESS);
    EXPECT_EQ(
        RegSetValueExA(raw, "Inner", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("ab\0cd"), 6),
        ERROR_SUCCESS);
    RegCloseKey(raw);

    RegistryType type{};
    std::size_t size = 0;
    ASSERT_TRUE(key.query_value("Bare", &type, nullptr, &size).ok());
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(text(key, "Bare"), "abc");
    char three[3];
    EXPECT_EQ(key.query_string("Bare", three, sizeof three).error,
              plat::registry_more_data_error());
    char four[4] = {'x', 'x', 'x', 'x'};
    size = sizeof four;
    ASSERT_TRUE(key.query_value("Bare", &type, four, &size).ok());
    EXPECT_EQ(four[3], '\0');
    ASSERT_TRUE(key.query_value("Inner", &type, nullptr, &size).ok());
    EXPECT_EQ(type, RegistryType::expand_string);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(text(key, "Inner"), "ab");
#else
    GTEST_SKIP() << "only other programs writing the Windows registry store strings so";
#endif
}

// The 32-bit builds must find what 64-bit programs wrote, and the other way round.
TEST(RegistryView, KeysLiveInThe64BitView) {
#if defined(_WIN32)
    const std::string path =
        "Software\\VarmothTest\\view-" + std::to_string(plat::current_process_id());
    RegistryKey key;
    const plat::Status made = key.create(kMachine, path.c_str());
    if (made.error == ERROR_ACCESS_DENIED) {
        GTEST_SKIP() << "HKEY_LOCAL_MACHINE is not writable for this user";
    }
    ASSERT_TRUE(made.ok()) << made.error;
    key.close();
    HKEY raw = nullptr;
    const LSTATUS in32 =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &raw);
    if (in32 == ERROR_SUCCESS) {
        RegCloseKey(raw);
    }
    const LSTATUS in64 =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &raw);
    if (in64 == ERROR_SUCCESS) {
        RegCloseKey(raw);
    }
    EXPECT_TRUE(plat::delete_registry_tree(kMachine, path.c_str()).ok());
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\VarmothTest", KEY_WOW64_64KEY, 0);
    EXPECT_EQ(in32, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(in64, ERROR_SUCCESS);
#else
    GTEST_SKIP() << "registry views exist only on 64-bit Windows";
#endif
}

}  // namespace
