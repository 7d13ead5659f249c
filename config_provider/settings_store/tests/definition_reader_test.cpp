#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "definition_reader.h"
#include "markup_reader.h"
#include "support.h"

namespace qac {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

DefinitionFile read(const std::string& items, const std::string& head = "") {
    const std::string text = "<config_define>" + head + items + "</config_define>";
    DefinitionFile file;
    EXPECT_EQ(read_definitions(kSourceMemory, text.c_str(), &file), 0u);
    return file;
}

const QAC_Content* find(const QAC_Content* list, const char* name) {
    for (; list != nullptr; list = list->Next) {
        if (list->Name != nullptr && std::strcmp(list->Name, name) == 0) {
            return list;
        }
    }
    return nullptr;
}

std::vector<std::string> names(const QAC_Content* list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->Next) {
        out.push_back(list->Name != nullptr ? list->Name : "(null)");
    }
    return out;
}

std::vector<std::string> words(const QAC_EnumEntry* list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->Next) {
        out.push_back(std::string(list->Value) + "=" + list->DispText);
    }
    return out;
}

TEST(DefinitionFile, TopLevelTextsAndItemFields) {
    const DefinitionFile file = read(
        "<item><name>Mode</name><description>  d  </description><dispstring>D</dispstring>"
        "<identifier>TRUE</identifier><necessity>FALSE</necessity><hidden>true</hidden>"
        "<number>3</number><type>enumeration</type><unknown>x</unknown>"
        "<enum><NoAction>none</NoAction><HardReset/>text<_x/></enum></item>",
        "<name>wdt</name><description>Watchdog </description><hidden>TRUE</hidden>");
    EXPECT_STREQ(file.name.get(), "wdt");
    EXPECT_STREQ(file.description.get(), "Watchdog ");
    EXPECT_EQ(file.dispstring, nullptr);
    EXPECT_EQ(file.hidden, 1u);
    const QAC_Content* mode = file.definitions.get();
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->Next, nullptr);
    EXPECT_STREQ(mode->Description, "d  ");
    EXPECT_STREQ(mode->DispString, "D");
    EXPECT_EQ(mode->Identifier, 1u);
    EXPECT_EQ(mode->Necessity, 1u);  // an identifier is always necessary
    EXPECT_EQ(mode->Hidden, 1u);
    EXPECT_EQ(mode->Number, 3u);
    EXPECT_EQ(mode->Type, QAC_TYPE_ENUMERATION);
    EXPECT_EQ(words(mode->EnumList),
              std::vector<std::string>({"NoAction=none", "HardReset=", "_x="}));
}

TEST(DefinitionFile, AbsentFieldsAndRejectedElements) {
    const DefinitionFile file = read(
        "<item><name>a</name></item>"
        "<item><name>b</name><type>Integer</type><identifier>TRUE</identifier></item>"
        "<item><name>c</name><type>string</type><number>-1</number><hidden>yes</hidden>"
        "<enum><x/></enum></item>"
        "<item><name>1bad</name><type>string</type></item>"
        "<item><name></name><type>boolean</type></item>");
    const QAC_Content* a = find(file.definitions.get(), "a");
    EXPECT_EQ(a->Type, QAC_TYPE_NONE);
    EXPECT_EQ(a->Number, 1u);
    EXPECT_EQ(a->Necessity, 1u);
    EXPECT_EQ(a->Default.Type, QAC_TYPE_NONE);
    const QAC_Content* b = find(file.definitions.get(), "b");
    EXPECT_EQ(b->Type, QAC_TYPE_NONE);  // type words are case-sensitive
    EXPECT_EQ(b->Identifier, 0u);
    const QAC_Content* c = find(file.definitions.get(), "c");
    EXPECT_EQ(c->Number, 1u);  // out of bounds: as if absent
    EXPECT_EQ(c->Hidden, 0u);
    EXPECT_EQ(c->EnumList, nullptr);  // lists belong to enumerations only
    EXPECT_EQ(names(file.definitions.get()),
              std::vector<std::string>({"a", "b", "c", "(null)", "(null)"}));
}

// Repeated elements: the first counts; items with the same name are duplicates.
TEST(DefinitionFile, OccurrencesAndDuplicates) {
    const DefinitionFile file = read(
        "<item><name>a</name><type>integer</type><default>1</default><default>2</default>"
        "<enum><A/><B/><A>again</A><></></enum></item>"
        "<item><type>string</type><name>a</name></item>"
        "<item><type>string</type></item><item><type>string</type></item>"
        "<item><name>e</name><type>enumeration</type><enum><A/><B/><A/></enum></item>");
    EXPECT_EQ(names(file.definitions.get()),
              std::vector<std::string>({"a", "(null)", "(null)", "e"}));
    const QAC_Content* a = file.definitions.get();
    EXPECT_EQ(a->Type, QAC_TYPE_INTEGER);
    EXPECT_EQ(a->Default.Payload.Integer, 1);
    EXPECT_EQ(words(find(a, "e")->EnumList), std::vector<std::string>({"A=", "B="}));
}

TEST(DefinitionFile, StructuresNestMembers) {
    const DefinitionFile file = read(
        "<item><name>notice</name><type>structure</type><identifier>TRUE</identifier>"
        "<item><name>action</name><type>string</type></item><item><name>x</name></item>"
        "<item><name>action</name></item>"
        "<item><name>sub</name><type>structure</type><item><name>deep</name></item></item>"
        "</item><item><name>empty</name><type>structure</type></item>");
    const QAC_Content* notice = file.definitions.get();
    EXPECT_EQ(notice->Identifier, 0u);
    EXPECT_EQ(notice->Default.Payload.FirstMember, nullptr);
    EXPECT_EQ(names(notice->Members), std::vector<std::string>({"action", "x", "sub"}));
    EXPECT_EQ(names(find(notice->Members, "sub")->Members), std::vector<std::string>({"deep"}));
    EXPECT_EQ(find(file.definitions.get(), "empty")->Members, nullptr);
}

TEST(DefinitionBounds, Integers) {
    const DefinitionFile file = read(
        "<item><name>a</name><type>integer</type><minimum>5</minimum><default>3</default></item>"
        "<item><name>b</name><type>integer</type><minimum>-10</minimum><maximum>-5</maximum>"
        "</item>"
        "<item><name>c</name><type>integer</type><minimum>7</minimum><maximum>2</maximum>"
        "<default>7</default></item>"
        "<item><name>d</name><type>integer</type><default> 0x10 </default></item>"
        "<item><name>e</name><type>integer</type><default>x</default></item>"
        "<item><name>f</name><type>boolean</type><minimum>1</minimum><maximum>2</maximum></item>");
    const QAC_Content* defs = file.definitions.get();
    const QAC_Content* a = find(defs, "a");
    EXPECT_EQ(a->Minimum, 5);
    EXPECT_EQ(a->Maximum, kMax);
    EXPECT_EQ(a->Default.Payload.Integer, 5);
    // No default and bounds below zero: the bound nearest to zero, never a number outside.
    EXPECT_EQ(find(defs, "b")->Default.Payload.Integer, -5);
    const QAC_Content* c = find(defs, "c");
    EXPECT_EQ(c->Maximum, 7);  // a maximum below the minimum is raised to it
    EXPECT_EQ(c->Default.Payload.Integer, 7);
    EXPECT_EQ(find(defs, "d")->Minimum, kMin);
    EXPECT_EQ(find(defs, "d")->Default.Payload.Integer, 16);
    EXPECT_EQ(find(defs, "e")->Default.Payload.Integer, 0);
    EXPECT_EQ(find(defs, "f")->Minimum, 0);
    EXPECT_EQ(find(defs, "f")->Maximum, 0);
}

TEST(DefinitionBounds, StringDefaults) {
    const DefinitionFile file = read(
        "<item><name>a</name><type>string</type><minimum>3</minimum></item>"
        "<item><name>b</name><type>string</type><maximum>4</maximum><default>abc  </default>"
        "</item>"
        "<item><name>c</name><type>string</type><minimum>-4</minimum></item>"
        "<item><name>d</name><type>string</type><default>x &amp; y </default></item>");
    const QAC_Content* defs = file.definitions.get();
    EXPECT_STREQ(find(defs, "a")->Default.Payload.String, "   ");
    EXPECT_EQ(find(defs, "a")->Maximum, 2147483646);
    EXPECT_STREQ(find(defs, "b")->Default.Payload.String, "");  // too long: padded to 0
    EXPECT_STREQ(find(defs, "c")->Default.Payload.String, "");
    EXPECT_STREQ(find(defs, "d")->Default.Payload.String, "x &amp; y ");
}

TEST(DefinitionBounds, OverlongPaddingIsRefused) {
    DefinitionFile file;
    const char* text =
        "<c><item><name>s</name><type>string</type><minimum>4000000000</minimum></item></c>";
    EXPECT_EQ(read_definitions(kSourceMemory, text, &file), QAC_E_NOMEM);
    EXPECT_EQ(file.definitions, nullptr);
}

TEST(DefinitionBounds, OtherDefaults) {
    const DefinitionFile file = read(
        "<item><name>b1</name><type>boolean</type><default>true</default></item>"
        "<item><name>b2</name><type>boolean</type><default>1</default></item>"
        "<item><name>h</name><type>ipaddr</type><default>srv</default></item>"
        "<item><name>n</name><type>ipaddr</type><default>::1</default></item>"
        "<item><name>x</name><type>ipaddr</type><default>1.2.3</default></item>"
        "<item><name>e1</name><type>enumeration</type><enum><A/><B/></enum>"
        "<default>B</default></item>"
        "<item><name>e2</name><type>enumeration</type><enum><A/><B/></enum>"
        "<default>Z z</default></item>"
        "<item><name>e3</name><type>enumeration</type><enum><A/><B/></enum></item>"
        "<item><name>e4</name><type>enumeration</type></item>");
    const QAC_Content* defs = file.definitions.get();
    EXPECT_EQ(find(defs, "b1")->Default.Payload.Boolean, 1u);
    EXPECT_EQ(find(defs, "b2")->Default.Payload.Boolean, 0u);
    EXPECT_STREQ(find(defs, "h")->Default.Payload.IpAddr.HostName, "srv");
    EXPECT_EQ(find(defs, "n")->Default.Payload.IpAddr.Address[15], 1);
    EXPECT_EQ(find(defs, "x")->Default.Payload.IpAddr.Form, QAC_IPADDR_EMPTY);
    EXPECT_STREQ(find(defs, "e1")->Default.Payload.Enumeration, "B");
    EXPECT_STREQ(find(defs, "e2")->Default.Payload.Enumeration, "Z z");  // kept as written
    EXPECT_STREQ(find(defs, "e3")->Default.Payload.Enumeration, "A");    // first listed word
    EXPECT_EQ(find(defs, "e4")->Default.Payload.Enumeration, nullptr);
    EXPECT_EQ(find(defs, "e4")->Default.Type, QAC_TYPE_ENUMERATION);
}

TEST(DefinitionFile, FilesAndFailures) {
    const std::string path =
        testing::write_file("def.xml",
                            "<?xml version=\"1.0\"?>\n<config_define>\n  <name>n</name>\n"
                            "  <item><name>LogLevel</name><type>integer</type></item>\n");
    DefinitionFile file;
    ASSERT_EQ(read_definitions(kSourceFile, path.c_str(), &file), 0u);
    EXPECT_EQ(names(file.definitions.get()), std::vector<std::string>({"LogLevel"}));
    DefinitionFile untouched;
    const std::string missing = (testing::temp_dir() / "missing.xml").string();
    EXPECT_EQ(read_definitions(kSourceFile, missing.c_str(), &untouched), QAC_E_SYSTEM | 2u);
    EXPECT_EQ(read_definitions(kSourceMemory, "", &untouched), 0u);
    EXPECT_EQ(untouched.definitions, nullptr);
}

// Nesting as deep as a file can hold costs no call stack, reading or releasing.
TEST(DefinitionLimits, DeeplyNestedItems) {
    constexpr int kDepth = 100000;
    const std::string text = "<c>" +
                             testing::repeat("<item><name>n</name><type>structure</type>", kDepth) +
                             testing::repeat("</item>", kDepth) + "</c>";
    DefinitionFile file;
    ASSERT_EQ(read_definitions(kSourceMemory, text.c_str(), &file), 0u);
    int depth = 0;
    for (const QAC_Content* c = file.definitions.get(); c != nullptr; c = c->Members) {
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
}

}  // namespace
}  // namespace qac
