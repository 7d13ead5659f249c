#include "plat/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "scratch_registry.h"

using plat::RegistryKey;
using plat::RegistryRoot;
using plat::RegistryType;
using Names = std::vector<std::string>;

namespace {

constexpr RegistryRoot kMachine = RegistryRoot::local_machine;
constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n\n";
#if defined(_WIN32)
constexpr plat::ErrorCode kNotFound = ERROR_FILE_NOT_FOUND, kBadArgument = ERROR_INVALID_PARAMETER,
                          kWrongType = ERROR_INVALID_DATATYPE, kDenied = ERROR_ACCESS_DENIED,
                          kKeyGone = ERROR_KEY_DELETED;
#else
constexpr plat::ErrorCode kNotFound = ENOENT, kBadArgument = EINVAL, kWrongType = EINVAL,
                          kDenied = EACCES, kKeyGone = ENOENT;
#endif

std::string text(const RegistryKey& key, const char* name) {
    char buffer[256] = {};
    const plat::Status status = key.query_string(name, buffer, sizeof buffer);
    return status.ok() ? buffer : "<error " + std::to_string(status.error) + ">";
}

// The names of the subkeys, or of the values, in the order the key lists them.
Names names(const RegistryKey& key, bool values = false) {
    Names out;
    char name[256];
    const auto next = [&](std::uint32_t i) {
        return values ? key.value_name(i, name, sizeof name, nullptr)
                      : key.subkey_name(i, name, sizeof name);
    };
    plat::Status status;
    while ((status = next(static_cast<std::uint32_t>(out.size()))).ok()) {
        out.emplace_back(name);
    }
    EXPECT_EQ(status.error, plat::registry_no_more_items_error()) << "past the last";
    return out;
}

// A value's type and data.
std::pair<RegistryType, std::string> value(const RegistryKey& key, const char* name) {
    RegistryType type{};
    std::string data(512, '\0');
    std::size_t size = data.size();
    EXPECT_TRUE(key.query_value(name, &type, data.data(), &size).ok()) << name;
    data.resize(size);
    return {type, data};
}

// Subkeys and values.
std::pair<std::uint32_t, std::uint32_t> counts(const RegistryKey& key) {
    std::pair<std::uint32_t, std::uint32_t> n{~0u, ~0u};
    EXPECT_TRUE(key.subkey_count(&n.first).ok() && key.value_count(&n.second).ok());
    return n;
}

class RegistryTest : public ::testing::Test {
  protected:
    std::string path(const std::string& key) const { return reg_.path(key); }
#if !defined(_WIN32)
    // Installs a drop-in file; reg_.dir() / "registry.reg" is the file the registry writes.
    void dropin(const std::string& name, const std::string& body,
                const std::string& header = kHeader) {
        plat_test::write_text(reg_.dir().path() / "registry.d" / name, header + body);
    }
#endif

    plat_test::ScratchRegistry reg_;
};

// Values of every type through the interface, on any platform.
TEST_F(RegistryTest, ValuesOfEveryTypeAreWrittenReadBackListedAndDeleted) {
    RegistryKey key;
    bool created = false;
    ASSERT_TRUE(
        key.create(reg_.root(), path("SOFTWARE\\VARMOTH\\New Key]\\Sub").c_str(), &created).ok());
    EXPECT_TRUE(created);
    std::string blob(300, '\0');
    std::iota(blob.begin(), blob.end(), '\0');
    const char eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(key.set_string(nullptr, "default").ok());
    ASSERT_TRUE(key.set_string("Quote\"Back\\slash", "C:\\opt\\\"q\"").ok());
    ASSERT_TRUE(key.set_string("Lines", "one\r\ntwo").ok());
    ASSERT_TRUE(key.set_dword("Number", 0xDEADBEEF).ok());
    ASSERT_TRUE(key.set_value("Blob", RegistryType::binary, blob.data(), blob.size()).ok());
    ASSERT_TRUE(key.set_value("Big", RegistryType::qword, eight, sizeof eight).ok());
    RegistryKey child;
    ASSERT_TRUE(child.create(key, "beta").ok());
    ASSERT_TRUE(child.create(key, "Alpha").ok());
#if !defined(_WIN32)
    EXPECT_EQ(key.set_string("Bad\nName", "x").error, EINVAL);  // the text form cannot hold it
    // Written whole and renamed into place.
    const std::string written = reg_.dir() / "registry.reg";
    EXPECT_EQ(plat_test::read_text(written).rfind(kHeader, 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(written + ".new"));
#endif
    // Keys and values are found whatever the case of their names.
    RegistryKey again;
    ASSERT_TRUE(
        again.create(reg_.root(), path("software\\varmoth\\NEW KEY]\\sub").c_str(), &created).ok());
    EXPECT_FALSE(created);
    ASSERT_TRUE(key.open(reg_.root(), path("SOFTWARE\\VARMOTH\\NEW KEY]\\SUB").c_str()).ok());
    EXPECT_EQ(text(key, ""), "default");
    EXPECT_EQ(text(key, "quote\"back\\SLASH"), "C:\\opt\\\"q\"");
    EXPECT_EQ(text(key, "Lines"), "one\r\ntwo");
    std::uint32_t number = 0;
    ASSERT_TRUE(key.query_dword("number", &number).ok());
    EXPECT_EQ(number, 0xDEADBEEFu);
    RegistryType type{};
    std::size_t size = 0;
    ASSERT_TRUE(key.query_value("Lines", &type, nullptr, &size).ok());
    EXPECT_EQ(type, RegistryType::string);
    EXPECT_EQ(size, 9u) << "with the terminator";
    char two[2];
    size = sizeof two;
    EXPECT_EQ(key.query_value("Blob", &type, two, &size).error, plat::registry_more_data_error());
    EXPECT_EQ(type, RegistryType::binary);
    EXPECT_EQ(size, blob.size()) << "the size it needs";
    EXPECT_EQ(value(key, "Blob"), std::make_pair(RegistryType::binary, blob));
    EXPECT_EQ(value(key, "big"),
              std::make_pair(RegistryType::qword, std::string(eight, eight + 8)));

    char small[4];
    EXPECT_EQ(key.query_string("Lines", small, sizeof small).error,
              plat::registry_more_data_error());
    EXPECT_EQ(key.query_dword("Lines", &number).error, kWrongType);
    EXPECT_EQ(key.query_string("Number", small, sizeof small).error, kWrongType);
    EXPECT_EQ(key.query_string("Missing", small, sizeof small).error, kNotFound);
    EXPECT_EQ(key.query_string("", nullptr, 0).error, kBadArgument);
    EXPECT_EQ(key.set_string("v", "x").error, kDenied) << "opened for reading";

    EXPECT_EQ(counts(key), std::make_pair(2u, 6u));
    EXPECT_EQ(names(key), (Names{"Alpha", "beta"}));
    ASSERT_TRUE(again.delete_value("Lines").ok());
    EXPECT_EQ(again.delete_value("Lines").error, kNotFound);
    const Names left = {"", "Quote\"Back\\slash", "Number", "Blob", "Big"};
#if defined(_WIN32)
    EXPECT_THAT(names(key, true), ::testing::UnorderedElementsAreArray(left))
        << "the registry chooses the order";
#else
    EXPECT_EQ(names(key, true), left) << "in the order first set";
#endif
    const Names listed = names(key, true);
    const auto number_at = std::find(listed.begin(), listed.end(), "Number") - listed.begin();
    EXPECT_EQ(key.value_name(number_at, small, 3, &type).error, plat::registry_more_data_error());
    EXPECT_EQ(key.subkey_name(0, small, 3).error, plat::registry_more_data_error());

    RegistryKey missing;
    EXPECT_EQ(missing.open(reg_.root(), path("A\\\\B").c_str()).error, kBadArgument);
    EXPECT_EQ(missing.query_dword("Number", &number).error, plat::invalid_handle_error());

    EXPECT_EQ(plat::delete_registry_tree(reg_.root(), "").error, kBadArgument);
    EXPECT_EQ(plat::delete_registry_tree(reg_.root(), nullptr).error, kBadArgument);
    const std::string doomed = path("Software\\Varmoth\\New Key]");
    ASSERT_TRUE(plat::delete_registry_tree(reg_.root(), doomed.c_str()).ok());
    EXPECT_EQ(plat::delete_registry_tree(reg_.root(), doomed.c_str()).error, kNotFound);
    EXPECT_EQ(missing.open(reg_.root(), doomed.c_str()).error, kNotFound);
    // The handles outlived their key.
    EXPECT_EQ(key.query_string("", small, sizeof small).error, kKeyGone);
    EXPECT_EQ(again.set_string("x", "y").error, kKeyGone);
    EXPECT_TRUE(missing.open(reg_.root(), path("SOFTWARE\\VARMOTH").c_str()).ok());
}

// Writers in several threads while readers keep reading: a reader must never meet a
// half-written registry, and no write may be lost.
TEST_F(RegistryTest, ReadersNeverSeeHalfWrittenFilesAndNoWriteIsLost) {
    const std::string stress = path("SOFTWARE\\Stress");
    constexpr int kWriters = 3, kWritesEach = 25;
    std::atomic<bool> writing{true};
    std::atomic<int> bad_reads{0};
    std::vector<std::thread> readers(2), writers;
    for (std::thread& reader : readers) {
        reader = std::thread([&] {
            for (RegistryKey key; writing;) {
                const plat::Status status = key.open(reg_.root(), stress.c_str());
                bad_reads += !status.ok() &&
                             plat::classify_error(status.error) != plat::ErrorKind::not_found;
            }
        });
    }
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            RegistryKey key;
            ASSERT_TRUE(key.create(reg_.root(), stress.c_str()).ok());
            const std::string padding(2000, static_cast<char>('a' + w));
            for (int i = 0; i < kWritesEach; ++i) {
                // Appended piece by piece: "w" + std::string&& trips a false overlap warning
                // of optimising g++ 12.
                std::string name = "w";
                name += std::to_string(w);
                name += '-';
                name += std::to_string(i);
                ASSERT_TRUE(key.set_string(name.c_str(), padding.c_str()).ok());
            }
        });
    }
    for (std::thread& t : writers) {
        t.join();
    }
    writing = false;
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(bad_reads.load(), 0);
    RegistryKey key;
    ASSERT_TRUE(key.open(reg_.root(), stress.c_str()).ok());
    EXPECT_EQ(counts(key).second, static_cast<std::uint32_t>(kWriters * kWritesEach));
}

#if defined(_WIN32)
// Strings that another program stored without a terminator, or with one inside.
TEST_F(RegistryTest, ForeignStringsEndAtTheFirstTerminatorAndKeysLiveInThe64BitView) {
    RegistryKey key;
    ASSERT_TRUE(key.create(reg_.root(), path("Raw").c_str()).ok());
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path("Raw").c_str(), 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, &raw),
              ERROR_SUCCESS);
    const auto bytes = [](const char* s) { return reinterpret_cast<const BYTE*>(s); };
    EXPECT_EQ(RegSetValueExA(raw, "Bare", 0, REG_SZ, bytes("abc"), 3), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(raw, "Inner", 0, REG_EXPAND_SZ, bytes("ab\0cd"), 6), ERROR_SUCCESS);
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
    // The 32-bit builds must find what 64-bit programs wrote, and the other way round.
    const std::string view_key =
        "Software\\VarmothTest\\view-" + std::to_string(plat::current_process_id());
    const plat::Status made = key.create(kMachine, view_key.c_str());
    if (made.error == ERROR_ACCESS_DENIED) {
        GTEST_SKIP() << "HKEY_LOCAL_MACHINE is not writable for this user";
    }
    ASSERT_TRUE(made.ok()) << made.error;
    key.close();
    const auto open_in = [&](REGSAM view) {
        HKEY handle = nullptr;
        const LSTATUS status =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, view_key.c_str(), 0, KEY_READ | view, &handle);
        if (status == ERROR_SUCCESS) {
            RegCloseKey(handle);
        }
        return status;
    };
    const LSTATUS in32 = open_in(KEY_WOW64_32KEY);
    const LSTATUS in64 = open_in(KEY_WOW64_64KEY);
    EXPECT_TRUE(plat::delete_registry_tree(kMachine, view_key.c_str()).ok());
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\VarmothTest", KEY_WOW64_64KEY, 0);
    EXPECT_EQ(in32, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(in64, ERROR_SUCCESS);
}
#else
// Registry content is installed on POSIX as drop-in files of the exported text form.
TEST_F(RegistryTest, ReadsInstalledFilesOfEveryNotationInLayers) {
    dropin("product.reg",
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-OR]\n"
           "@=\"default text\"\n"
           "\"Path\"=\"C:\\\\opt\\\\\\\"q\\\"\"\n"
           "\"Count\"=dword:0000002a\n"
           "\"Blob\"=hex:01,02,ff\n");
    // As other tools export it: byte-order mark, CR LF, comments, indentation and a byte list
    // over several lines.
    dropin("exported.reg",
           "; exported\r\n"
           "[HKEY_CLASSES_ROOT\\CLSID\\{0001}]\r\n"
           "  @ = \"Provider\"\r\n"
           "\"Data\"=hex(b):01,00,00,00,\\\r\n"
           "  00,00,00,00\r\n",
           "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n");
    RegistryKey key;
    ASSERT_TRUE(key.open(kMachine, "software\\Varmoth\\ktl-or").ok());
    EXPECT_EQ(text(key, nullptr), "default text");
    EXPECT_EQ(text(key, "PATH"), "C:\\opt\\\"q\"");
    std::uint32_t count = 0;
    ASSERT_TRUE(key.query_dword("count", &count).ok());
    EXPECT_EQ(count, 42u);
    EXPECT_EQ(value(key, "Blob"),
              std::make_pair(RegistryType::binary, std::string("\x01\x02\xff")));
    RegistryKey missing;
    EXPECT_EQ(missing.open(RegistryRoot::current_user, "SOFTWARE\\VARMOTH\\KTL-OR").error, ENOENT);

    ASSERT_TRUE(key.open(RegistryRoot::classes_root, "clsid\\{0001}").ok());
    EXPECT_EQ(text(key, nullptr), "Provider");
    EXPECT_EQ(value(key, "Data"),
              std::make_pair(RegistryType::qword, std::string("\x01\0\0\0\0\0\0\0", 8)));
    // Drop-ins apply in name order and the writable file last; what they install may be
    // overridden there but not deleted.
    dropin("20-second.reg",
           "[HKLM\\S\\K]\n\"Shared\"=\"second\"\n\"Two\"=\"2\"\n[HKLM\\S\\K\\gamma]\n");
    dropin("10-first.reg",
           "[HKLM\\S\\K]\n\"One\"=\"1\"\n\"Shared\"=\"first\"\n"
           "[HKLM\\S\\K\\beta]\n[HKLM\\S\\K\\Alpha]\n[HKLM\\S\\K\\Doomed]\n");
    // A later drop-in may delete what an earlier one made.
    dropin("30-third.reg", "[-HKLM\\S\\K\\doomed]\n[HKLM\\S\\K]\n\"Two\"=-\n");
    plat_test::write_text(
        reg_.dir() / "registry.reg",
        kHeader + std::string("[HKLM\\S\\K]\n\"Shared\"=\"mine\"\n\"Own\"=\"o\"\n"));

    ASSERT_TRUE(key.open(kMachine, "S\\K").ok());
    EXPECT_EQ(text(key, "Shared"), "mine");
    EXPECT_EQ(names(key), (Names{"Alpha", "beta", "gamma"}));
    EXPECT_EQ(names(key, true), (Names{"One", "Shared", "Own"}));
    EXPECT_EQ(counts(key), std::make_pair(3u, 3u));
    ASSERT_TRUE(missing.open(key, "GAMMA").ok());
    EXPECT_EQ(missing.open(key, "Doomed").error, ENOENT);

    ASSERT_TRUE(key.open(kMachine, "S\\K", plat::RegistryAccess::read_write).ok());
    ASSERT_TRUE(key.set_string("One", "overridden").ok());
    EXPECT_EQ(text(key, "one"), "overridden");
    EXPECT_EQ(key.delete_value("One").error, EACCES);
    EXPECT_TRUE(key.delete_value("Own").ok()) << "set in the writable file alone";
    EXPECT_EQ(plat::delete_registry_tree(kMachine, "S\\K\\beta").error, EACCES);
    EXPECT_EQ(plat::delete_registry_tree(kMachine, "S\\Nothing").error, ENOENT);
    EXPECT_TRUE(missing.open(kMachine, "S\\K\\beta").ok());
}

TEST_F(RegistryTest, MalformedFileFailsEveryReadNamingFileAndLine) {
    const std::string h = "Windows Registry Editor Version 5.00\n";
    std::string deep;
    for (int i = 0; i < 600; ++i) {
        deep += "\\k";
    }
    // The text of the file, and the line that is wrong.
    const std::pair<std::string, int> cases[] = {
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
    RegistryKey key;
    for (const auto& [bad, line] : cases) {
        dropin("50-bad.reg", bad, "");
        // The good file's key is refused too: never half a registry.
        EXPECT_EQ(key.open(kMachine, "Good").error, plat::registry_corrupt_error()) << bad;
        const std::string expected = "50-bad.reg:" + std::to_string(line) + ":";
        EXPECT_NE(std::string(plat::registry_error_detail()).find(expected), std::string::npos)
            << bad << " -> " << plat::registry_error_detail();
    }
    std::filesystem::remove(reg_.dir().path() / "registry.d" / "50-bad.reg");
    EXPECT_TRUE(key.open(kMachine, "Good").ok());
    EXPECT_STREQ(plat::registry_error_detail(), "");
}
#endif

}  // namespace
