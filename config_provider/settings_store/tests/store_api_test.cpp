#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "plat/file.h"
#include "scratch_dir.h"
#include "store_support.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

namespace qac::testing {
namespace {

using namespace std::string_literals;

const char* const kDefinitions = R"(<config_define><name>Test</name><description>about</description>
  <dispstring>Shown</dispstring><hidden>TRUE</hidden>
  <item><name>Count</name><type>integer</type><number>0</number><minimum>-5</minimum>
    <maximum>100</maximum><default>7</default></item>
  <item><name>Big</name><type>integer</type><number>0</number></item>
  <item><name>Text</name><type>string</type><number>0</number><maximum>8</maximum>
    <default>abc</default></item>
  <item><name>Flag</name><type>boolean</type><number>0</number></item>
  <item><name>Host</name><type>ipaddr</type><number>0</number><default>server</default></item>
  <item><name>Mode</name><type>enumeration</type><number>2</number>
    <enum><Off/><On/><Auto/></enum><default>On</default></item>
  <item><name>Bare</name><type>enumeration</type></item><item><name>Untyped</name></item>
  <item><name>rule</name><type>structure</type><number>0</number>
    <item><name>id</name><type>integer</type><identifier>TRUE</identifier></item>
    <item><name>note</name><type>string</type></item>
    <item><name>target</name><type>structure</type><number>0</number>
      <item><name>host</name><type>ipaddr</type></item>
      <item><name>port</name><type>integer</type></item>
    </item></item>
  <item><name>pair</name><type>structure</type><number>0</number>
    <item><name>x</name><type>integer</type><number>0</number></item>
    <item><name>y</name><type>integer</type></item></item>
</config_define>)";

// A numeric address; the mask bytes not given are zero.
QAC_IpAddr numeric(std::uint16_t family, std::initializer_list<std::uint8_t> address,
                   std::initializer_list<std::uint8_t> mask = {}) {
    QAC_IpAddr a{};
    a.Form = QAC_IPADDR_NUMERIC;
    a.Family = family;
    std::copy(address.begin(), address.end(), a.Address);
    std::copy(mask.begin(), mask.end(), a.Mask);
    return a;
}

// What a directory holds, by name.
std::string names(const plat_test::ScratchDir& dir) {
    std::set<std::string> sorted;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        sorted.insert(entry.path().filename().string());
    }
    std::string out;
    for (const std::string& name : sorted) {
        out += std::string(out.empty() ? "" : " ") + name;
    }
    return out;
}

// A handle whose value file takes about that many bytes, in lines of one letter.
QAC_Config* lines(Handles* handles, std::size_t bytes, char letter, std::size_t line = 1000) {
    QAC_Config* handle = handles->create(
        "lines.xml",
        "<config_define><item><name>Line</name><type>string</type><number>0</number></item>"
        "</config_define>");
    std::string document = "<config>";
    for (std::size_t i = 0; document.size() < bytes; ++i) {
        document +=
            std::string("<Line>") + std::to_string(i) + std::string(line, letter) + "</Line>";
    }
    EXPECT_EQ(store().ConfigReadFromData((document + "</config>").c_str(), handle), 0u);
    return handle;
}

#ifndef _WIN32
// Files of this process end at that size while it lives; a write beyond fails with EFBIG.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) : handler(signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit{bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, handler);
    }
    void (*handler)(int);
    rlimit saved{};
};
#endif

class StoreApi : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = handles_.create("definitions.xml", kDefinitions);
        ASSERT_NE(handle_, nullptr);
    }

    std::uint32_t read(QAC_Config* handle, const std::string& values) {
        return store().ConfigReadFromData(("<config>" + values + "</config>").c_str(), handle);
    }
    std::uint32_t read(const std::string& values) { return read(handle_, values); }

    std::string get(const char* name) { return rendered(values_of(handle_, name)); }
    std::uint32_t add(QAC_Data* value) { return store().DataAdd(handle_, value); }
    std::uint32_t change(QAC_Data* value, std::int64_t number) {
        return store().DataChange(handle_, value, &number);
    }
    static std::uint32_t change_in(QAC_Data* structure, QAC_Data* member, std::int64_t number) {
        return store().DataChangeToData(structure, member, &number);
    }

    // A new value from the definition's default, changed to the payload if one is given.
    QAC_Data* make(const char* name, const void* payload = nullptr) {
        QAC_Data* value = nullptr;
        EXPECT_EQ(store().DataDefaultCreate(handle_, name, &value), 0u) << name;
        if (payload != nullptr) {
            EXPECT_EQ(store().DataChange(handle_, value, payload), 0u) << name;
        }
        return value;
    }
    QAC_Data* make_integer(const char* name, std::int64_t number) { return make(name, &number); }
    QAC_Data* member(QAC_Data* structure, const char* name) {
        QAC_Data* value = nullptr;
        EXPECT_EQ(store().DataDefaultCreateFromData(structure, name, &value), 0u) << name;
        return value;
    }
    void add_member(QAC_Data* structure, const char* name, std::int64_t number) {
        QAC_Data* value = member(structure, name);
        EXPECT_EQ(change_in(structure, value, number), 0u);
        EXPECT_EQ(store().DataAddToData(structure, value), 0u);
    }

    Handles handles_;
    QAC_Config* handle_ = nullptr;
};

// The handle's texts, content lists and defaults, and what a value that is no structure
// answers one level down.
TEST_F(StoreApi, DefinitionsThroughTheHandle) {
    EXPECT_EQ(std::string(handle_->Name) + handle_->Description + handle_->DispString,
              "TestaboutShown");
    EXPECT_EQ(handle_->Hidden, 1u);
    // A capacity below the count: the first entries, and the count of all.
    QAC_ContentEntry entries[3] = {};
    std::uint32_t count = 3;
    ASSERT_EQ(store().ContentListGet(handle_, entries, &count), 0u);
    EXPECT_EQ(count, 10u);
    EXPECT_STREQ(entries[2].Name, "Text");
    count = 5;
    EXPECT_EQ(store().ContentListGet(handle_, nullptr, &count), 0u);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(store().ContentListGet(handle_, entries, nullptr), QAC_E_PARAM);
    // From a value's own definition on: the rest of its level.
    QAC_Data* rule = make("rule");
    count = 3;
    ASSERT_EQ(store().ContentListGetFromData(member(rule, "note"), entries, &count), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(entries[0].Name) + " " + entries[1].Name, "note target");
    EXPECT_EQ(entries[1].Type, QAC_TYPE_STRUCTURE);
    count = 0;
    EXPECT_EQ(store().ContentListGetFromData(rule, nullptr, &count), 0u);
    EXPECT_EQ(count, 2u);  // rule, pair
    EXPECT_EQ(store().ContentListGetFromData(nullptr, entries, &count), QAC_E_PARAM);

    const QAC_Default* given = nullptr;
    ASSERT_EQ(store().DataDefaultGet(handle_, "Text", &given), 0u);
    EXPECT_STREQ(given->Payload.String, "abc");
    EXPECT_EQ(store().DataDefaultGet(handle_, "Nope", &given), QAC_E_UNDEFINED);
    EXPECT_EQ(store().DataDefaultGet(handle_, "Text", nullptr), QAC_E_PARAM);
    QAC_Data* text = make("Text");
    EXPECT_STREQ(text->Payload.String, "abc");
    EXPECT_NE(text->Payload.String, given->Payload.String);  // a copy of its own
    EXPECT_EQ(make("Count")->Payload.Integer, 7);
    QAC_Data* value = nullptr;
    EXPECT_EQ(store().DataDefaultCreate(handle_, "Bare", &value), QAC_E_PARAM);  // no default
    EXPECT_EQ(store().DataDefaultCreate(handle_, "Nope", &value), QAC_E_UNDEFINED);

    ASSERT_EQ(store().DataDefaultGetFromData(rule, "port", &given), QAC_E_UNDEFINED);
    QAC_Data* target = member(rule, "target");
    ASSERT_EQ(store().DataDefaultGetFromData(target, "port", &given), 0u);
    QAC_Data* port = member(target, "port");
    EXPECT_EQ(store().DataGetFromData(port, "port", nullptr, &count), QAC_E_UNDEFINED);
    EXPECT_EQ(store().DataDefaultGetFromData(port, "port", &given), QAC_E_PARAM);
    EXPECT_EQ(store().DataDefaultCreateFromData(port, "port", &value), QAC_E_PARAM);
    // A default is not a value.
    EXPECT_EQ(add(reinterpret_cast<QAC_Data*>(const_cast<QAC_Default*>(given))), QAC_E_PARAM);
}

TEST_F(StoreApi, CreateFailuresAndEmptyDefinitions) {
    QAC_Config* handle = nullptr;
    EXPECT_EQ(store().ConfigCreate(nullptr, &handle), QAC_E_PARAM);
    const std::string missing = (temp_dir() / "missing.xml").string();
    EXPECT_EQ(store().ConfigCreate(missing.c_str(), nullptr), QAC_E_PARAM);  // arguments first
    EXPECT_EQ(store().ConfigCreate(missing.c_str(), &handle), QAC_E_SYSTEM | 2u);
    // A directory is no definition file.
    const std::uint32_t directory = store().ConfigCreate(temp_dir().string().c_str(), &handle);
    EXPECT_EQ(directory & 0xFFF00000u, QAC_E_SYSTEM);
    EXPECT_NE(directory & 0x000FFFFFu, 0u);
#ifdef __linux__
    EXPECT_EQ(directory, QAC_E_SYSTEM | EISDIR);
    EXPECT_EQ(store().ConfigRead(temp_dir().string().c_str(), handle_), QAC_E_SYSTEM | EISDIR);
#endif
    EXPECT_EQ(handle, nullptr);
    store().ConfigDestroy(nullptr);

    // No items: a handle without definitions, which reads nothing and writes an empty file.
    QAC_Config* empty = handles_.create("empty.xml", "<config_define><name>e</name>");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Contents, nullptr);
    std::uint32_t count = 0;
    EXPECT_EQ(store().ContentListGet(empty, nullptr, &count), QAC_E_PARAM);
    EXPECT_EQ(store().DataGet(empty, "Count", nullptr, &count), QAC_E_UNDEFINED);
    EXPECT_EQ(read(empty, "<Count>1</Count>"), 0u);
    EXPECT_EQ(written(empty), "<config>\n</config>\n");

    // A minimum far beyond what is worth making up front costs no handle: the padding of
    // spaces comes when it is asked for, at any level.
    constexpr std::size_t kLong = 20000000;
    const std::string wide = "<item><name>Wide</name><type>string</type><minimum>" +
                             std::to_string(kLong) + "</minimum><default>x</default></item>";
    QAC_Config* padded =
        handles_.create("padded.xml", "<config_define>" + wide +
                                          "<item><name>s</name><type>structure</type>" + wide +
                                          "</item><item><name>Small</name><type>string</type>"
                                          "<minimum>2</minimum></item></config_define>");
    ASSERT_NE(padded, nullptr);
    const auto is_padding = [&](const char* text) {
        return text != nullptr && std::strlen(text) == kLong && std::strspn(text, " ") == kLong;
    };
    QAC_Data* value = nullptr;
    ASSERT_EQ(store().DataDefaultCreate(padded, "Wide", &value), 0u);
    EXPECT_TRUE(is_padding(value->Payload.String));
    EXPECT_EQ(store().DataAdd(padded, value), 0u);
    const QAC_Default* given = nullptr;
    ASSERT_EQ(store().DataDefaultGet(padded, "Wide", &given), 0u);
    EXPECT_TRUE(is_padding(given->Payload.String));
    EXPECT_NE(given->Payload.String, value->Payload.String);
    const QAC_Default* again = nullptr;
    ASSERT_EQ(store().DataDefaultGet(padded, "Wide", &again), 0u);
    EXPECT_EQ(again->Payload.String, given->Payload.String);  // made once
    ASSERT_EQ(store().DataDefaultCreate(padded, "s", &value), 0u);
    QAC_Data* member = nullptr;
    ASSERT_EQ(store().DataDefaultGetFromData(value, "Wide", &given), 0u);
    EXPECT_TRUE(is_padding(given->Payload.String));
    ASSERT_EQ(store().DataDefaultCreateFromData(value, "Wide", &member), 0u);
    EXPECT_TRUE(is_padding(member->Payload.String));
    ASSERT_EQ(store().DataDefaultGet(padded, "Small", &given), 0u);
    EXPECT_STREQ(given->Payload.String, "  ");
    EXPECT_EQ(read(padded, "<Wide>short</Wide><Small>abc</Small>"), 0u);  // too short: skipped
    EXPECT_EQ(rendered(values_of(padded, "Small")), "abc");
    EXPECT_EQ(values_of(padded, "Wide").size(), 1u);
}

// Handles made again from an unchanged definition file have definitions of their own; a
// file changed in place, to the same size, is read again.
TEST_F(StoreApi, HandlesMadeAgainFromTheSameFile) {
    const std::string path = write_file("again.xml", kDefinitions);
    QAC_Config* first = nullptr;
    QAC_Config* second = nullptr;
    ASSERT_EQ(store().ConfigCreate(path.c_str(), &first), 0u);
    ASSERT_EQ(store().ConfigCreate(path.c_str(), &second), 0u);
    EXPECT_NE(second->Contents, first->Contents);
    EXPECT_NE(second->Name, first->Name);
    store().ConfigDestroy(first);
    EXPECT_STREQ(second->Name, "Test");
    EXPECT_EQ(read(second, "<Count>3</Count>"), 0u);
    EXPECT_EQ(rendered(values_of(second, "Count")), "3");
    const QAC_Default* given = nullptr;
    ASSERT_EQ(store().DataDefaultGet(second, "Text", &given), 0u);
    EXPECT_STREQ(given->Payload.String, "abc");
    store().ConfigDestroy(second);

    std::string changed = kDefinitions;
    changed.replace(changed.find("<default>abc<"), 13, "<default>xyz<");
    write_file("again.xml", changed);
    QAC_Config* third = nullptr;
    ASSERT_EQ(store().ConfigCreate(path.c_str(), &third), 0u);
    ASSERT_EQ(store().DataDefaultGet(third, "Text", &given), 0u);
    EXPECT_STREQ(given->Payload.String, "xyz");
    store().ConfigDestroy(third);
}

TEST_F(StoreApi, GetCountsAndCapacity) {
    ASSERT_EQ(read("<Count>3</Count><Count>1</Count><Count>2</Count>"), 0u);
    std::uint32_t count = 0;
    EXPECT_EQ(store().DataGet(handle_, "Count", nullptr, &count), 0u);
    EXPECT_EQ(count, 3u);
    QAC_Data* one[2] = {nullptr, nullptr};
    count = 1;
    EXPECT_EQ(store().DataGet(handle_, "Count", one, &count), 0u);
    EXPECT_EQ(count, 3u);
    ASSERT_NE(one[0], nullptr);
    EXPECT_EQ(one[0]->Payload.Integer, 1);  // the smallest
    EXPECT_EQ(one[1], nullptr);
    count = 2;
    EXPECT_EQ(store().DataGet(handle_, "Count", nullptr, &count), QAC_E_PARAM);
    EXPECT_EQ(store().DataGet(handle_, "count", one, &count), QAC_E_UNDEFINED);
    EXPECT_EQ(store().DataGet(handle_, nullptr, one, &count), QAC_E_PARAM);
    EXPECT_EQ(store().DataGet(handle_, "Count", one, nullptr), QAC_E_PARAM);
    EXPECT_EQ(store().DataGet(nullptr, "Count", one, &count), QAC_E_PARAM);
}

TEST_F(StoreApi, FailedReadEmptiesTheTopLevel) {
    ASSERT_EQ(read("<Count>4</Count><Text>kept</Text><Bogus>1</Bogus><Untyped>x</Untyped>"), 0u);
    ASSERT_EQ(add(make_integer("Count", 5)), 0u);
    EXPECT_EQ(get("Count"), "4,5");
    // Reads add to what is there; the third value duplicates one added before.
    EXPECT_EQ(read("<Count>1</Count><Text>new</Text><Count>5</Count><Flag>TRUE</Flag>"),
              QAC_E_EXIST);
    EXPECT_EQ(get("Count") + get("Text") + get("Flag"), "");
    EXPECT_EQ(written(handle_), "<config>\n</config>\n");

    // The same file read twice. A NUL byte ends the text it stands in; stray bytes are text.
    const std::string path = write_file(
        "twice.xml", "<config><Count>9</Count><Text>a\0b</Text><Big>\xC3</Big>9</config>"s);
    EXPECT_EQ(store().ConfigRead(path.c_str(), handle_), 0u);
    EXPECT_EQ(get("Count") + get("Text") + get("Big"), "9a");
    EXPECT_EQ(store().ConfigRead(path.c_str(), handle_), QAC_E_EXIST);
    EXPECT_EQ(get("Count"), "");
    EXPECT_EQ(store().ConfigRead(nullptr, handle_), QAC_E_PARAM);
    EXPECT_EQ(store().ConfigRead(path.c_str(), nullptr), QAC_E_PARAM);
    EXPECT_EQ(store().ConfigReadFromData(nullptr, handle_), QAC_E_PARAM);
}

// Within one document the first of equal values stays and the others do not count towards
// a definition's number, whether its set was empty before the read or not. Values outside
// the bounds or that do not convert are skipped.
TEST_F(StoreApi, ReadKeepsTheFirstOfEqualValues) {
    ASSERT_EQ(read("<Count>3</Count><Count>1</Count><Count>3</Count><Count>2</Count>"
                   "<Count>101</Count><Count>x</Count><Count></Count><Text>123456789</Text>"
                   "<Flag>yes</Flag><Flag></Flag><Big>1</Big><Big>1</Big><Big>2</Big><Big>0x2</Big>"
                   "<Big>3</Big><Big>4</Big><Mode>on</Mode><Mode>On</Mode><Mode>On</Mode>"
                   "<Mode>Off</Mode><Mode>Auto</Mode>"
                   "<rule><id>5</id><note>first</note></rule><rule><id>5</id><note>2nd</note>"
                   "</rule><rule><target><port>1</port><port>1</port></target></rule>"),
              0u);
    EXPECT_EQ(get("Count") + ";" + get("Text") + get("Flag") + ";" + get("Big"), "1,2,3;;1,2,3,4");
    EXPECT_EQ(get("Mode"), "Off,On");  // two at most: Auto comes third
    EXPECT_EQ(get("rule"), "{id=5 note=first},{target={port=1}}");
    // Into sets that hold values already.
    ASSERT_EQ(read("<Count>7</Count><Count>7</Count><Count>0</Count>"), 0u);
    EXPECT_EQ(get("Count"), "0,1,2,3,7");
}

// The same with many values in one level, where equal ones are looked up another way: an
// equal value seen on either side of that change still does not count towards the number.
TEST_F(StoreApi, ReadKeepsTheFirstOfEqualValuesInLongLevels) {
    for (const int before : {14, 15, 16, 40}) {
        std::string document;
        for (int i = 0; i < before; ++i) {
            document += "<Big>" + std::to_string(i) + "</Big>";
        }
        QAC_Config* handle = handles_.create("definitions.xml", kDefinitions);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(read(handle, document + "<Mode>On</Mode><Big>0</Big><Mode>On</Mode>"
                                          "<Mode>Off</Mode>"),
                  0u);
        EXPECT_EQ(rendered(values_of(handle, "Mode")), "Off,On") << before << " values first";
        EXPECT_EQ(values_of(handle, "Big").size(), static_cast<std::size_t>(before));
    }
}

TEST_F(StoreApi, ChangeChecksAndCollisions) {
    ASSERT_EQ(read("<Count>1</Count><Count>2</Count><Text>a</Text><Mode>Off</Mode>"), 0u);
    QAC_Data* one = values_of(handle_, "Count")[0];
    EXPECT_EQ(change(one, 200), QAC_E_RANGE);
    EXPECT_EQ(one->Payload.Integer, 1);
    EXPECT_EQ(store().DataChange(handle_, one, nullptr), QAC_E_PARAM);

    // Colliding with 2: detached with its new number, and not written.
    EXPECT_EQ(change(one, 2), QAC_E_EXIST);
    EXPECT_EQ(one->Payload.Integer, 2);
    EXPECT_EQ(get("Count"), "2");
    EXPECT_EQ(add(one), QAC_E_EXIST);
    EXPECT_EQ(change(one, -5), 0u);
    EXPECT_EQ(add(one), 0u);
    EXPECT_EQ(get("Count"), "-5,2");

    QAC_Data* text = values_of(handle_, "Text")[0];
    EXPECT_EQ(store().DataChange(handle_, text, "123456789"), QAC_E_RANGE);
    EXPECT_EQ(store().DataChange(handle_, text, "12345678"), 0u);
    QAC_Data* mode = values_of(handle_, "Mode")[0];
    EXPECT_EQ(store().DataChange(handle_, mode, "on"), QAC_E_PARAM);
    EXPECT_EQ(store().DataChange(handle_, mode, "Auto"), 0u);
    EXPECT_EQ(get("Text") + get("Mode"), "12345678Auto");

    // Addresses are taken as given, whatever their form and family; only a host name is
    // copied, and only for a host-name address. The writer has no text for the odd ones.
    QAC_Config* hosts = handles_.create("hosts.xml", kDefinitions);
    QAC_IpAddr odd_form = numeric(4, {10});
    odd_form.Form = 3;
    odd_form.HostName = "ignored";
    QAC_IpAddr no_name{};
    no_name.Form = QAC_IPADDR_HOSTNAME;
    for (const QAC_IpAddr& given :
         {odd_form, numeric(0, {10}), numeric(5, {11}), no_name, numeric(4, {10, 0, 0, 9})}) {
        QAC_Data* host = nullptr;
        ASSERT_EQ(store().DataDefaultCreate(hosts, "Host", &host), 0u);
        ASSERT_EQ(store().DataChange(hosts, host, &given), 0u) << given.Form << given.Family;
        const QAC_IpAddr& kept = host->Payload.IpAddr;
        EXPECT_TRUE(kept.Form == given.Form && kept.Family == given.Family &&
                    kept.Address[0] == given.Address[0] && kept.HostName == nullptr)
            << given.Form << " " << given.Family;
        EXPECT_EQ(store().DataAdd(hosts, host), 0u);
    }
    EXPECT_EQ(written(hosts),
              "<config>\n  <Host></Host>\n  <Host></Host>\n  <Host></Host>\n"
              "  <Host></Host>\n  <Host>10.0.0.9</Host>\n</config>\n");
    const std::uint32_t truth = 7;
    EXPECT_EQ(make("Flag", &truth)->Payload.Boolean, 1u);

    // A value of another handle, and a member changed as a top-level value.
    QAC_Config* other = handles_.create("other.xml", kDefinitions);
    const std::int64_t number = 3;
    EXPECT_EQ(store().DataChange(other, one, &number), QAC_E_FOREIGN);
    EXPECT_EQ(change(member(member(make("rule"), "target"), "port"), 3), QAC_E_FOREIGN);
}

TEST_F(StoreApi, AddAndRemove) {
    QAC_Config* other = handles_.create("other.xml", kDefinitions);
    QAC_Data* foreign = nullptr;
    ASSERT_EQ(store().DataDefaultCreate(other, "Count", &foreign), 0u);
    EXPECT_EQ(add(foreign), QAC_E_FOREIGN);

    // Mode holds at most two values, whatever the third.
    QAC_Data* off = make("Mode", "Off");
    EXPECT_EQ(add(make("Mode")), 0u);
    EXPECT_EQ(add(off), 0u);
    EXPECT_EQ(add(off), QAC_E_EXIST);  // in the group already
    EXPECT_EQ(add(make("Mode", "Auto")), QAC_E_RANGE);
    EXPECT_EQ(get("Mode"), "Off,On");

    // Removing twice is fine; the value can come back.
    EXPECT_EQ(store().DataDel(handle_, off), 0u);
    EXPECT_EQ(store().DataDel(handle_, off), 0u);
    EXPECT_EQ(get("Mode"), "On");
    EXPECT_EQ(add(off), 0u);
    EXPECT_EQ(store().DataDel(other, off), QAC_E_FOREIGN);
    EXPECT_EQ(written(handle_), "<config>\n  <Mode>On</Mode>\n  <Mode>Off</Mode>\n</config>\n");

    // A value added with a default outside the bounds is refused.
    QAC_Config* loose = handles_.create(
        "loose.xml",
        "<config_define><item><name>E</name><type>enumeration</type><enum><A/></enum>"
        "<default>Z</default></item></config_define>");
    QAC_Data* unlisted = nullptr;
    ASSERT_EQ(store().DataDefaultCreate(loose, "E", &unlisted), 0u);
    EXPECT_EQ(store().DataAdd(loose, unlisted), QAC_E_PARAM);
}

TEST_F(StoreApi, OrderOverAllTypes) {
    ASSERT_EQ(read("<Big>9223372036854775807</Big><Big>-1</Big><Big>-9223372036854775808</Big>"
                   "<Big>0</Big><Text>b</Text><Text>\xC3\xA9</Text><Text>ab</Text><Text>a</Text>"
                   "<Flag>TRUE</Flag><Flag>false</Flag>"
                   "<Host>::1</Host><Host>10.0.0.2</Host><Host>zeta</Host><Host>10.0.0.1</Host>"
                   "<Host>alpha</Host><Host>10.0.0.1/255.0.0.0</Host><Host>0:0:0:0:0:0:0:1</Host>"),
              0u);
    EXPECT_EQ(get("Big"), "-9223372036854775808,-1,0,9223372036854775807");
    EXPECT_EQ(get("Text") + ";" + get("Flag"), "a,ab,b,\xC3\xA9;FALSE,TRUE");
    EXPECT_EQ(get("Host"), "alpha,zeta,10.0.0.1,10.0.0.2,0000:0000:0000:0000:0000:0000:0000:0001");

    // The mask plays no part, read or added: 10.0.0.1/255.0.0.0 equals 10.0.0.1.
    const QAC_IpAddr masked = numeric(4, {10, 0, 0, 1}, {255});
    EXPECT_EQ(add(make("Host", &masked)), QAC_E_EXIST);
    // Empty addresses are never equal to one another.
    const QAC_IpAddr empty{};
    EXPECT_EQ(add(make("Host", &empty)), 0u);
    EXPECT_EQ(add(make("Host", &empty)), 0u);
    EXPECT_EQ(values_of(handle_, "Host").size(), 7u);
}

// Long sets take other sorting routes than short ones; the order and the duplicates dropped
// must not depend on that. Addresses order by their bytes from the first on.
TEST_F(StoreApi, LongSetsAndAddressBytesKeepTheOrder) {
    std::string document;
    std::set<std::int64_t> numbers;
    std::set<std::string> texts;
    for (int i = 0; i < 60; ++i) {
        const std::int64_t number = (i * 37 % 50) - 25;  // repeats after 50
        const std::string text = std::string("t") + std::to_string(i * 13 % 40);
        document += "<Big>" + std::to_string(number) + "</Big><Text>" + text + "</Text>";
        numbers.insert(number);
        texts.insert(text);
    }
    ASSERT_EQ(read(document), 0u);
    const auto joined = [](const auto& values) {
        std::ostringstream out;
        for (const auto& v : values) {
            out << (out.tellp() > 0 ? "," : "") << v;
        }
        return out.str();
    };
    EXPECT_EQ(get("Big"), joined(numbers));
    EXPECT_EQ(get("Text"), joined(texts));

    // Of every form, with equal ones (masks play no part) whose first must stay, and IPv6
    // addresses that differ in their first or in their last eight bytes only.
    std::istringstream hosts(
        "zeta 10.0.0.1/255.0.0.0 2001:db8::2:0 alpha 10.0.0.2 fe80::1 9.255.255.255 ::1 mid "
        "10.0.0.1 2001:db9::1 0:0:0:0:0:0:0:1 1.2.3.4 2001:db8::1 alpha 10.0.1.0 "
        "2001:db8:0:0:1:: 10.0.0.2/255.255.0.0");
    document.clear();
    for (std::string host; hosts >> host;) {
        document += "<Host>" + host + "</Host>";
    }
    ASSERT_EQ(read(document), 0u);
    EXPECT_EQ(get("Host"),
              "alpha,mid,zeta,1.2.3.4,9.255.255.255,10.0.0.1/255.0.0.0,10.0.0.2,10.0.1.0,"
              "0000:0000:0000:0000:0000:0000:0000:0001,2001:0db8:0000:0000:0000:0000:0000:0001,"
              "2001:0db8:0000:0000:0000:0000:0002:0000,2001:0db8:0000:0000:0001:0000:0000:0000,"
              "2001:0db9:0000:0000:0000:0000:0000:0001,fe80:0000:0000:0000:0000:0000:0000:0001");

    // Host names that agree on their first bytes and differ before, within and after the
    // eight compared as one word, beside numeric addresses.
    QAC_Config* named = handles_.create("named.xml", kDefinitions);
    std::set<std::string> names;
    document.clear();
    for (const char* tail : {"b", "a", "abcdefgh", "abcdefghb", "abcdefgha", "abcdefg", "a",
                             "abcdefgha", "c_example", "abcdefghij_example", ""}) {
        const std::string host = std::string("node_one_") + tail;
        document +=
            "<Host>" + host + "</Host><Host>10.0.0." + std::to_string(names.size()) + "</Host>";
        names.insert(host);
    }
    ASSERT_EQ(read(named, document), 0u);
    std::string expected;
    for (const std::string& name : names) {
        expected += (expected.empty() ? "" : ",") + name;
    }
    EXPECT_EQ(rendered(values_of(named, "Host")).substr(0, expected.size()), expected);
}

TEST_F(StoreApi, StructuresByIdentifierOrByAllMembers) {
    ASSERT_EQ(read("<rule><note>b</note><id>2</id></rule><rule><id>1</id><note>a</note></rule>"
                   "<rule><note>no id</note></rule><rule><note>no id</note></rule>"),
              0u);
    const std::vector<QAC_Data*> rules = values_of(handle_, "rule");
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(render(rules[0]) + render(rules[1]), "{id=1 note=a}{id=2 note=b}");
    // The first member by list order, whatever its definition.
    ASSERT_NE(rules[1]->Payload.FirstMember, nullptr);
    EXPECT_STREQ(rules[1]->Payload.FirstMember->Payload.String, "b");

    // Same identifier, other note: equal.
    QAC_Data* rule = make("rule");
    add_member(rule, "id", 2);
    EXPECT_EQ(add(rule), QAC_E_EXIST);

    // Without identifier members all members count, in any order across definitions but in
    // list order within one.
    ASSERT_EQ(read("<pair><x>1</x><y>2</y></pair><pair><x>1</x><x>2</x></pair>"), 0u);
    const auto pair = [&](std::initializer_list<std::pair<const char*, std::int64_t>> members) {
        QAC_Data* value = make("pair");
        for (const auto& [name, number] : members) {
            add_member(value, name, number);
        }
        return add(value);
    };
    EXPECT_EQ(pair({{"y", 2}, {"x", 1}}), QAC_E_EXIST);
    EXPECT_EQ(pair({{"x", 1}, {"x", 3}, {"y", 2}}), 0u);
    EXPECT_EQ(pair({{"x", 2}, {"x", 1}}), 0u);
    // Definition by definition, a shorter run first; members render in value order.
    EXPECT_EQ(get("pair"), "{x=1 y=2},{x=1 x=2},{x=1 x=3 y=2},{x=1 x=2}");
}

// Long sets of structures are sorted on the member a comparison looks at first, falling back
// to the whole comparison: the order is the one of values added one at a time, and of
// equal ones the first in the document stays.
TEST_F(StoreApi, LongSetsOfStructuresKeepTheOrder) {
    std::mt19937 random(5);
    std::set<std::string> seen;
    std::vector<std::string> distinct;
    std::string duplicates;
    while (distinct.size() < 40) {
        std::string pair;
        // Runs of up to two members, never equal to each other, in either order.
        const auto x = random() % 8;
        const auto xs = random() % 3;
        const bool rising = random() % 2 == 0;
        for (auto i = xs; i > 0; --i) {
            pair += "<x>" + std::to_string(rising ? x + 3 - i : x + i) + "</x>";
        }
        if (random() % 2 == 0) {
            pair += "<y>" + std::to_string(random() % 2) + "</y>";
        }
        if (!pair.empty() && seen.insert(pair).second) {
            distinct.push_back("<pair>" + pair + "</pair>");
        }
    }
    for (int id = 0; id < 40; ++id) {
        const std::string target = id % 3 == 0 ? "<target><port>1</port></target>" : "";
        distinct.push_back("<rule><note>first</note><id>" + std::to_string(id * 7 % 40) + "</id>" +
                           target + "</rule>");
        duplicates += "<rule><id>" + std::to_string(id) + "</id><note>later</note></rule>";
    }
    std::shuffle(distinct.begin(), distinct.end(), random);
    std::string document;
    for (const std::string& value : distinct) {
        document += value;
    }
    for (std::size_t i = 0; i < distinct.size(); i += 5) {
        duplicates += distinct[i];
    }
    ASSERT_EQ(read(document + duplicates), 0u);
    QAC_Config* one_by_one = handles_.create("one_by_one.xml", kDefinitions);
    for (const std::string& value : distinct) {
        ASSERT_EQ(read(one_by_one, value), 0u) << value;
    }
    EXPECT_EQ(get("pair"), rendered(values_of(one_by_one, "pair")));
    EXPECT_EQ(get("rule"), rendered(values_of(one_by_one, "rule")));
    EXPECT_EQ(values_of(handle_, "rule").size() + values_of(handle_, "pair").size(), 80u);

    // The identifier decides, also where it is not the first member definition.
    QAC_Config* keyed = handles_.create(
        "keyed.xml",
        "<config_define><item><name>s</name><type>structure</type><number>0</number>"
        "<item><name>a</name><type>integer</type></item><item><name>key</name><type>integer"
        "</type><identifier>TRUE</identifier></item></item></config_define>");
    std::string reversed;
    for (int i = 0; i <= 20; ++i) {
        reversed += "<s><a>" + std::to_string(i) + "</a><key>" + std::to_string((20 - i) % 20) +
                    "</key></s>";
    }
    ASSERT_EQ(read(keyed, reversed), 0u);
    const std::vector<QAC_Data*> by_key = values_of(keyed, "s");
    ASSERT_EQ(by_key.size(), 20u);
    EXPECT_EQ(render(by_key[0]) + render(by_key[1]) + render(by_key[19]),
              "{a=0 key=0}{a=19 key=1}{a=1 key=19}");
}

// Structures of many member definitions sort their members out in one pass, and a level of
// many definitions finds them by name: the order and the lookups stay as with few.
TEST_F(StoreApi, WideStructuresAndManyDefinitionsKeepTheOrder) {
    // Twelve integer members; m11 is the identifier where one is wanted.
    const auto members = [](bool identifier) {
        std::string text;
        for (int m = 0; m < 12; ++m) {
            text += std::string("<item><name>m").append(std::to_string(m)) +
                    "</name><type>integer</type><number>0</number>" +
                    (identifier && m == 11 ? "<identifier>TRUE</identifier>" : "") + "</item>";
        }
        return text;
    };
    std::string definitions =
        "<config_define><item><name>w</name><type>structure</type><number>0</number>" +
        members(false) + "</item><item><name>k</name><type>structure</type><number>0</number>" +
        members(true) + "</item>";
    for (int d = 0; d < 300; ++d) {
        definitions += std::string("<item><name>d").append(std::to_string(d)) +
                       "</name><type>integer</type></item>";
    }
    QAC_Config* wide = handles_.create("wide.xml", definitions + "</config_define>");
    ASSERT_NE(wide, nullptr);
    ASSERT_EQ(read(wide,
                   "<w><m11>1</m11><m0>5</m0></w><w><m0>5</m0><m11>1</m11></w>"
                   "<w><m0>5</m0><m0>6</m0></w><w><m0>5</m0></w><w><m1>0</m1></w>"
                   "<k><m11>1</m11><m0>1</m0></k><k><m0>2</m0><m11>1</m11></k>"
                   "<k><m11>0</m11></k><k><m0>3</m0></k>"),
              0u);
    // Definition by definition, a shorter run first; by the identifier where there is one.
    EXPECT_EQ(rendered(values_of(wide, "w")), "{m1=0},{m0=5},{m0=5 m11=1},{m0=5 m0=6}");
    const std::vector<QAC_Data*> keyed = values_of(wide, "k");
    ASSERT_EQ(keyed.size(), 3u);
    EXPECT_EQ(render(keyed[0]) + render(keyed[1]), "{m11=0}{m0=1 m11=1}");
    EXPECT_EQ(rendered(members_of(values_of(wide, "w")[3], "m0")), "5,6");

    QAC_Config* other = handles_.create("wide2.xml", definitions + "</config_define>");
    for (int d = 299; d >= 0; --d) {
        const std::string name = std::string(1, 'd').append(std::to_string(d));
        QAC_Data* value = nullptr;
        ASSERT_EQ(store().DataDefaultCreate(wide, name.c_str(), &value), 0u) << name;
        const std::int64_t number = d;
        ASSERT_EQ(store().DataChange(wide, value, &number), 0u);
        // The same name in another handle is another definition.
        ASSERT_EQ(store().DataAdd(other, value), QAC_E_FOREIGN);
        ASSERT_EQ(store().DataAdd(wide, value), 0u) << name;
    }
    EXPECT_EQ(rendered(values_of(wide, "d0")) + rendered(values_of(wide, "d150")) +
                  rendered(values_of(wide, "d299")),
              "0150299");
    std::uint32_t count = 0;
    EXPECT_EQ(store().DataGet(wide, "d300", nullptr, &count), QAC_E_UNDEFINED);
    EXPECT_EQ(store().DataGet(wide, "D0", nullptr, &count), QAC_E_UNDEFINED);
    QAC_Data* structure = values_of(wide, "w")[0];
    count = 0;
    EXPECT_EQ(store().DataGetFromData(structure, "m1", nullptr, &count), 0u);
    EXPECT_EQ(count, 1u);
    count = 0;
    EXPECT_EQ(store().DataGetFromData(structure, "d0", nullptr, &count), QAC_E_UNDEFINED);
}

// Changes inside a structure keep it in order in its own set, at any depth.
TEST_F(StoreApi, NestedChangesKeepTheEnclosingOrder) {
    ASSERT_EQ(read("<rule><id>1</id><target><host>a</host><port>80</port></target></rule>"
                   "<rule><id>2</id></rule><rule><id>3</id></rule>"),
              0u);
    QAC_Data* first = values_of(handle_, "rule")[0];
    QAC_Data* id = members_of(first, "id")[0];
    ASSERT_EQ(change_in(first, id, 10), 0u);
    EXPECT_EQ(get("rule"), "{id=2},{id=3},{id=10 target={host=a port=80}}");

    // Two levels down: the target changes, the rule keeps its place.
    QAC_Data* target = members_of(first, "target")[0];
    QAC_Data* port = members_of(target, "port")[0];
    ASSERT_EQ(change_in(target, port, 8080), 0u);
    EXPECT_EQ(change_in(first, port, 8080), QAC_E_FOREIGN);
    EXPECT_EQ(store().DataAddToData(target, member(target, "host")), QAC_E_RANGE);  // one host
    EXPECT_EQ(render(first), "{id=10 target={host=a port=8080}}");

    // Taking the identifier away makes the rule equal to no other; giving it one that is
    // taken detaches it.
    EXPECT_EQ(store().DataDelFromData(first, id), 0u);
    EXPECT_EQ(store().DataDelFromData(first, id), 0u);
    EXPECT_EQ(values_of(handle_, "rule").size(), 3u);
    ASSERT_EQ(change_in(first, id, 2), 0u);
    EXPECT_EQ(store().DataAddToData(first, id), QAC_E_EXIST);
    EXPECT_EQ(get("rule"), "{id=2},{id=3}");
    // Detached, it changes freely and comes back.
    ASSERT_EQ(change_in(first, id, 4), 0u);
    EXPECT_EQ(add(first), 0u);
    EXPECT_EQ(get("rule"), "{id=2},{id=3},{id=4 target={host=a port=8080}}");

    // Changing a structure as a whole leaves its members as they are.
    QAC_Data* other = values_of(handle_, "rule")[0];
    EXPECT_EQ(store().DataChange(handle_, first, other->Payload.FirstMember), 0u);
    EXPECT_EQ(render(first), "{id=4 target={host=a port=8080}}");
    EXPECT_EQ(first->Payload.FirstMember, &*members_of(first, "target")[0]);
}

// What the writer puts down, another handle reads back to the same values in the same order
// and writes again byte for byte; the bytes are exact, values in the order read and added.
TEST_F(StoreApi, WriterIsByteExactAndReadsBack) {
    ASSERT_EQ(read("<Big>-9223372036854775808</Big><Big>9223372036854775807</Big>"
                   "<Big>5000000000</Big><Text>x&amp;y</Text><Text>sp ace </Text>"
                   "<Text>\xE2\x82\xAC</Text><Flag>true</Flag><Host>fe80</Host>"
                   "<Host>2001:db8::1</Host><Host>0.0.0.0</Host><Host>255.255.255.255</Host>"
                   "<Host>ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/ffff::</Host><Mode>Auto</Mode>"
                   "<rule><id>7</id><note>n</note><target><host>::</host><port>0</port></target>"
                   "<target><port>2</port></target></rule><rule><id>-1</id></rule>"
                   "<pair><y>1</y><x>3</x><x>2</x></pair>"),
              0u);
    const QAC_IpAddr v4 = numeric(4, {192, 168, 0, 1}, {255, 255, 255, 0});
    ASSERT_EQ(add(make("Host", &v4)), 0u);
    QAC_IpAddr v6 = numeric(6, {}, {0xFF, 0xFF});
    v6.Address[15] = 1;
    ASSERT_EQ(add(make("Host", &v6)), 0u);
    const std::string path = (temp_dir() / "round.xml").string();
    ASSERT_EQ(store().ConfigWrite(path.c_str(), handle_), 0u);
    QAC_Config* second = handles_.create("definitions2.xml", kDefinitions);
    ASSERT_EQ(store().ConfigRead(path.c_str(), second), 0u);
    for (const char* name : {"Count", "Big", "Text", "Flag", "Host", "Mode", "rule", "pair"}) {
        EXPECT_EQ(rendered(values_of(second, name)), get(name)) << name;
    }
    EXPECT_EQ(written(second, "round2.xml"), read_bytes(path));
    EXPECT_EQ(store().ConfigWrite(nullptr, handle_), QAC_E_PARAM);
    EXPECT_EQ(store().ConfigWrite(path.c_str(), nullptr), QAC_E_PARAM);

    // Empty values, which a read would skip, are written all the same.
    const QAC_IpAddr empty{};
    ASSERT_EQ(add(make("Host", &empty)), 0u);
    ASSERT_EQ(add(make("Text", "")), 0u);
    ASSERT_EQ(add(make("pair")), 0u);
    ASSERT_EQ(add(make_integer("Count", 0)), 0u);
    EXPECT_EQ(written(handle_),
              "<config>\n  <Big>-9223372036854775808</Big>\n  <Big>9223372036854775807</Big>\n"
              "  <Big>5000000000</Big>\n  <Text>x&amp;y</Text>\n  <Text>sp ace </Text>\n"
              "  <Text>\xE2\x82\xAC</Text>\n  <Flag>TRUE</Flag>\n  <Host>fe80</Host>\n"
              "  <Host>2001:0db8:0000:0000:0000:0000:0000:0001</Host>\n  <Host>0.0.0.0</Host>\n"
              "  <Host>255.255.255.255</Host>\n  <Host>ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/"
              "ffff:0000:0000:0000:0000:0000:0000:0000</Host>\n"
              "  <Mode>Auto</Mode>\n  <rule>    <id>7</id>\n    <note>n</note>\n"
              "    <target>      <host>0000:0000:0000:0000:0000:0000:0000:0000</host>\n"
              "      <port>0</port>\n    </target>\n    <target>      <port>2</port>\n"
              "    </target>\n  </rule>\n  <rule>    <id>-1</id>\n  </rule>\n"
              "  <pair>    <y>1</y>\n    <x>3</x>\n    <x>2</x>\n  </pair>\n"
              "  <Host>192.168.0.1/255.255.255.0</Host>\n"
              "  <Host>0000:0000:0000:0000:0000:0000:0000:0001/"
              "ffff:0000:0000:0000:0000:0000:0000:0000</Host>\n  <Host></Host>\n"
              "  <Text></Text>\n  <pair>  </pair>\n  <Count>0</Count>\n</config>\n");
}

// Structures inside structures, deeper than any call stack would go: read, compared,
// changed at the bottom and released.
TEST_F(StoreApi, DeepNesting) {
    constexpr int kDepth = 50000;
    QAC_Config* deep = handles_.create(
        "deep.xml",
        "<c>" + repeat("<item><name>s</name><type>structure</type><number>0</number>", kDepth) +
            "<item><name>v</name><type>integer</type></item>" + repeat("</item>", kDepth) + "</c>");
    ASSERT_NE(deep, nullptr);
    const auto nested = [](const char* v) {
        return repeat("<s>", kDepth) + "<v>" + v + "</v>" + repeat("</s>", kDepth);
    };
    ASSERT_EQ(read(deep, nested("1") + nested("2") + nested("1")), 0u);  // the third is equal
    ASSERT_EQ(values_of(deep, "s").size(), 2u);
    QAC_Data* bottom = values_of(deep, "s")[0];
    for (int i = 1; i < kDepth; ++i) {
        bottom = members_of(bottom, "s")[0];
    }
    QAC_Data* v = members_of(bottom, "v")[0];
    ASSERT_EQ(v->Payload.Integer, 1);
    // Now equal to the other one all the way down: the changed one leaves its set.
    EXPECT_EQ(change_in(bottom, v, 2), QAC_E_EXIST);
    EXPECT_EQ(values_of(deep, "s").size(), 1u);
}

// A file being written is held exclusively: readers and writers through the library find
// it busy, and a file being read keeps writers out.
TEST_F(StoreApi, BusyFilesAndSystemErrors) {
    const std::string path = write_file("held.xml", "<config><Count>1</Count></config>");
    const auto hold = [&](plat::File* file, plat::Access access, plat::Share share) {
        return file->open(path.c_str(), access, plat::Disposition::open_existing, share).ok();
    };
    {
        plat::File writer;
        ASSERT_TRUE(hold(&writer, plat::Access::write, plat::Share::none));
        EXPECT_EQ(store().ConfigRead(path.c_str(), handle_) & 0xFFF00000u, QAC_E_BUSY);
        EXPECT_EQ(store().ConfigWrite(path.c_str(), handle_) & 0xFFF00000u, QAC_E_BUSY);
        QAC_Config* other = nullptr;
        EXPECT_EQ(store().ConfigCreate(path.c_str(), &other) & 0xFFF00000u, QAC_E_BUSY);
#ifdef __linux__
        EXPECT_EQ(store().ConfigRead(path.c_str(), handle_), QAC_E_BUSY | EWOULDBLOCK);
#endif
    }
    {
        plat::File reader;
        ASSERT_TRUE(hold(&reader, plat::Access::read, plat::Share::read_write));
        ASSERT_TRUE(reader.exclude_exclusive().ok());
        EXPECT_EQ(store().ConfigWrite(path.c_str(), handle_) & 0xFFF00000u, QAC_E_BUSY);
        EXPECT_EQ(store().ConfigRead(path.c_str(), handle_), 0u);  // readers share
    }
    EXPECT_EQ(read_bytes(path), "<config><Count>1</Count></config>");  // untouched
    EXPECT_EQ(written(handle_, "held.xml"), "<config>\n  <Count>1</Count>\n</config>\n");

    const std::string nowhere = (temp_dir() / "no-dir" / "x.xml").string();
    EXPECT_EQ(store().ConfigWrite(nowhere.c_str(), handle_) & 0xFFF00000u, QAC_E_SYSTEM);
#ifdef __linux__
    EXPECT_EQ(store().ConfigWrite(nowhere.c_str(), handle_), QAC_E_SYSTEM | ENOENT);
    EXPECT_EQ(store().ConfigWrite(temp_dir().string().c_str(), handle_), QAC_E_SYSTEM | EISDIR);
#endif
}

// A value file is replaced whole or not at all: a write that fails leaves the old file as it
// was and nothing beside it, and the new file keeps the old one's access.
TEST_F(StoreApi, FailedWritesLeaveTheOldFileWhole) {
    plat_test::ScratchDir dir;
    const std::string path = dir / "values.xml";
    QAC_Config* small = lines(&handles_, 2000, 'a');
    QAC_Config* large = lines(&handles_, 300000, 'b');
    ASSERT_EQ(store().ConfigWrite(path.c_str(), small), 0u);
    const std::string old = read_bytes(path);
    EXPECT_EQ(names(dir), "values.xml");
    {
        plat::File reader;
        ASSERT_TRUE(reader
                        .open(path.c_str(), plat::Access::read, plat::Disposition::open_existing,
                              plat::Share::read_write)
                        .ok());
        ASSERT_TRUE(reader.exclude_exclusive().ok());
        EXPECT_EQ(store().ConfigWrite(path.c_str(), large) & 0xFFF00000u, QAC_E_BUSY);
    }
    EXPECT_EQ(read_bytes(path), old);
    EXPECT_EQ(names(dir), "values.xml");
#ifndef _WIN32
    {
        // Cut short part way, whether the file existed or not.
        FileSizeLimit limit(64 * 1024);
        EXPECT_EQ(store().ConfigWrite(path.c_str(), large), QAC_E_SYSTEM | EFBIG);
        EXPECT_EQ(store().ConfigWrite((dir / "new.xml").c_str(), large), QAC_E_SYSTEM | EFBIG);
    }
    EXPECT_TRUE(read_bytes(path) == old) << read_bytes(path).size() << " bytes";
    EXPECT_EQ(names(dir), "values.xml");

    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(store().ConfigWrite(path.c_str(), large), 0u);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
#else
    ASSERT_EQ(store().ConfigWrite(path.c_str(), large), 0u);
#endif
    EXPECT_TRUE(read_bytes(path) == written(large));
    EXPECT_EQ(names(dir), "values.xml");
}

#ifndef _WIN32
// A writer killed at any moment leaves the whole old or the whole new file behind.
TEST_F(StoreApi, KilledWriterLeavesAWholeFile) {
    plat_test::ScratchDir dir;
    const std::string path = dir / "values.xml";
    // Long lines: the time goes into writing, not into making the text.
    QAC_Config* first = lines(&handles_, 1 << 20, 'a', 64 << 10);
    QAC_Config* second = lines(&handles_, 2 << 20, 'b', 64 << 10);
    ASSERT_EQ(store().ConfigWrite(path.c_str(), second), 0u);
    const std::string second_text = read_bytes(path);
    ASSERT_EQ(store().ConfigWrite(path.c_str(), first), 0u);
    const std::string first_text = read_bytes(path);
    for (const int delay_ms : {0, 3, 7, 12, 18, 25, 33, 42}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            FileSizeLimit limit(8 << 20);
            if (write(ready[1], "1", 1) != 1) {
                _exit(2);
            }
            for (int i = 0; i < 200; ++i) {
                store().ConfigWrite(path.c_str(), i % 2 == 0 ? second : first);
            }
            _exit(0);
        }
        close(ready[1]);
        char started = 0;  // the first byte, or the end when the child is gone
        EXPECT_EQ(::read(ready[0], &started, 1), 1) << "the writer did not start";
        close(ready[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const std::string now = read_bytes(path);
        EXPECT_TRUE(now == first_text || now == second_text)
            << "killed after " << delay_ms << " ms: " << now.size() << " bytes";
    }
}
#endif

// Values in no group are the handle's: made and never added, removed, or pushed out by a
// collision, with or without members, they go with it (the leak check sees the rest).
TEST_F(StoreApi, DetachedValuesGoWithTheHandle) {
    ASSERT_EQ(read("<Count>1</Count><Count>2</Count><rule><id>1</id><note>n</note>"
                   "<target><port>1</port></target></rule>"),
              0u);
    make("Text");
    QAC_Data* rule = values_of(handle_, "rule")[0];
    ASSERT_EQ(store().DataDel(handle_, rule), 0u);
    QAC_Data* target = members_of(rule, "target")[0];
    ASSERT_EQ(store().DataDelFromData(rule, target), 0u);
    member(target, "host");
    QAC_Data* one = values_of(handle_, "Count")[0];
    ASSERT_EQ(change(one, 2), QAC_E_EXIST);
    ASSERT_EQ(change(one, 2), 0u);
    EXPECT_EQ(written(handle_), "<config>\n  <Count>2</Count>\n</config>\n");

    // Texts short enough to be kept in the value itself and longer ones, changed into each
    // other and into themselves: each released once, with the value or before.
    const std::string shorter(39, 's');
    const std::string longer(40, 'l');
    ASSERT_EQ(read("<rule><id>7</id><note>" + shorter + "</note></rule><rule><id>8</id><note>" +
                   longer + "</note></rule>"),
              0u);
    const std::vector<QAC_Data*> rules = values_of(handle_, "rule");
    ASSERT_EQ(rules.size(), 2u);
    QAC_Data* kept_inside = members_of(rules[0], "note")[0];
    QAC_Data* kept_apart = members_of(rules[1], "note")[0];
    EXPECT_EQ(kept_inside->Payload.String, shorter);
    EXPECT_EQ(kept_apart->Payload.String, longer);
    for (QAC_Data* note : {kept_inside, kept_apart}) {
        ASSERT_EQ(store().DataChangeToData(note == kept_inside ? rules[0] : rules[1], note,
                                           note->Payload.String),
                  0u);
    }
    ASSERT_EQ(store().DataChangeToData(rules[0], kept_inside, longer.c_str()), 0u);
    ASSERT_EQ(store().DataChangeToData(rules[1], kept_apart, ""), 0u);
    EXPECT_EQ(written(handle_), "<config>\n  <Count>2</Count>\n  <rule>    <id>7</id>\n    <note>" +
                                    longer +
                                    "</note>\n  </rule>\n  <rule>    <id>8</id>\n"
                                    "    <note></note>\n  </rule>\n</config>\n");
}

}  // namespace
}  // namespace qac::testing
