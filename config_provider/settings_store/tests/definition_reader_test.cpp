#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "definition_reader.h"
#include "markup_reader.h"
#include "value_text.h"

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

std::string names(const QAC_Content* list) {
    std::string out;
    for (; list != nullptr; list = list->Next) {
        out += std::string(out.empty() ? "" : " ") + (list->Name != nullptr ? list->Name : "-");
    }
    return out;
}

std::string words(const QAC_EnumEntry* list) {
    std::string out;
    for (; list != nullptr; list = list->Next) {
        out += std::string(list->Value) + "=" + list->DispText + " ";
    }
    return out;
}

// Type, number, identifier, necessity and hidden.
std::string fields(const QAC_Content* c) {
    std::string out;
    for (std::uint32_t field : {c->Type, c->Number, c->Identifier, c->Necessity, c->Hidden}) {
        out += std::to_string(field) + " ";
    }
    return out;
}

// Every field given, then fields absent, out of bounds or not allowed for the type, and
// names that are no identifiers.
TEST(DefinitionFile, TextsAndItemFields) {
    const DefinitionFile file = read(
        "<item><name>Mode</name><description>  d  </description><dispstring>D</dispstring>"
        "<identifier>TRUE</identifier><necessity>FALSE</necessity><hidden>true</hidden>"
        "<number>3</number><type>enumeration</type><unknown>x</unknown>"
        "<enum><NoAction>none</NoAction><HardReset/>text<_x/></enum></item>"
        "<item><name>a</name></item>"
        "<item><name>b</name><type>Integer</type><identifier>TRUE</identifier></item>"
        "<item><name>c</name><type>string</type><number>-1</number><hidden>yes</hidden>"
        "<enum><x/></enum></item>"
        "<item><name>1bad</name><type>string</type></item>"
        "<item><name></name><type>boolean</type></item>",
        "<name>wdt</name><description>Watchdog </description><hidden>TRUE</hidden>");
    EXPECT_STREQ(file.name.get(), "wdt");
    EXPECT_STREQ(file.description.get(), "Watchdog ");
    EXPECT_EQ(file.dispstring, nullptr);
    EXPECT_EQ(file.hidden, 1u);
    const QAC_Content* defs = file.definitions.get();
    EXPECT_EQ(names(defs), "Mode a b c - -");
    EXPECT_STREQ(defs->Description, "d  ");
    EXPECT_STREQ(defs->DispString, "D");
    EXPECT_EQ(fields(defs), "5 3 1 1 1 ");  // an identifier is always necessary
    EXPECT_EQ(words(defs->EnumList), "NoAction=none HardReset= _x= ");
    EXPECT_EQ(fields(find(defs, "a")), "0 1 0 1 0 ");
    EXPECT_EQ(find(defs, "a")->Default.Type, QAC_TYPE_NONE);
    EXPECT_EQ(fields(find(defs, "b")), "0 1 0 1 0 ");  // type words are case-sensitive
    EXPECT_EQ(fields(find(defs, "c")), "2 1 0 1 0 ");  // a number out of bounds: as if absent
    EXPECT_EQ(find(defs, "c")->EnumList, nullptr);     // lists belong to enumerations only
}

// Repeated elements: the first counts; items with the same name are duplicates. Structures
// nest their members' definitions and have no identifier of their own.
TEST(DefinitionFile, DuplicatesAndStructures) {
    const DefinitionFile file = read(
        "<item><name>a</name><type>integer</type><default>1</default><default>2</default>"
        "<enum><A/><B/><A>again</A><></></enum></item>"
        "<item><type>string</type><name>a</name></item>"
        "<item><type>string</type></item><item><type>string</type></item>"
        "<item><name>e</name><type>enumeration</type><enum><A/><B/><A/></enum></item>"
        "<item><name>notice</name><type>structure</type><identifier>TRUE</identifier>"
        "<item><name>action</name><type>string</type></item><item><name>x</name></item>"
        "<item><name>action</name></item>"
        "<item><name>sub</name><type>structure</type><item><name>deep</name></item></item>"
        "</item><item><name>empty</name><type>structure</type></item>");
    const QAC_Content* defs = file.definitions.get();
    EXPECT_EQ(names(defs), "a - - e notice empty");
    EXPECT_EQ(defs->Type, QAC_TYPE_INTEGER);
    EXPECT_EQ(defs->Default.Payload.Integer, 1);
    EXPECT_EQ(words(find(defs, "e")->EnumList), "A= B= ");
    const QAC_Content* notice = find(defs, "notice");
    EXPECT_EQ(notice->Identifier, 0u);
    EXPECT_EQ(notice->Default.Payload.FirstMember, nullptr);
    EXPECT_EQ(names(notice->Members), "action x sub");
    EXPECT_EQ(names(find(notice->Members, "sub")->Members), "deep");
    EXPECT_EQ(find(defs, "empty")->Members, nullptr);
}

// A definition's bounds and default: "minimum..maximum=default", the limits of 64 bits as
// min and max.
std::string bounds_and_default(const QAC_Content* c) {
    const auto bound = [](std::int64_t b) {
        return b == kMin ? "min" : b == kMax ? "max" : std::to_string(b);
    };
    const QAC_Default& d = c->Default;
    std::string out = bound(c->Minimum) + ".." + bound(c->Maximum) + "=";
    switch (d.Type) {
        case QAC_TYPE_INTEGER:
            return out + std::to_string(d.Payload.Integer);
        case QAC_TYPE_STRING:
            return out + "'" + (d.Payload.String != nullptr ? d.Payload.String : "(later)") + "'";
        case QAC_TYPE_BOOLEAN:
            return out + std::to_string(d.Payload.Boolean);
        case QAC_TYPE_IPADDR:
            return out + format_address(d.Payload.IpAddr);
        case QAC_TYPE_ENUMERATION:
            return out + (d.Payload.Enumeration != nullptr ? d.Payload.Enumeration : "(null)");
        default:
            return out + "?";
    }
}

// Bounds apply to integers and strings only; a default outside them, or one that does not
// convert, gives way to the value nearest to zero (or padding) the bounds allow.
TEST(DefinitionBounds, DefaultsFollowTypeAndBounds) {
    const struct {
        const char* item;
        const char* shown;
    } cases[] = {
        {"<type>integer</type><minimum>5</minimum><default>3</default>", "5..max=5"},
        {"<type>integer</type><minimum>-10</minimum><maximum>-5</maximum>", "-10..-5=-5"},
        // A maximum below the minimum is raised to it.
        {"<type>integer</type><minimum>7</minimum><maximum>2</maximum><default>7</default>",
         "7..7=7"},
        {"<type>integer</type><default> 0x10 </default>", "min..max=16"},
        {"<type>integer</type><default>x</default>", "min..max=0"},
        {"<type>boolean</type><minimum>1</minimum><maximum>2</maximum>", "0..0=0"},
        {"<type>string</type><minimum>3</minimum>", "3..2147483646='   '"},
        {"<type>string</type><maximum>4</maximum><default>abc  </default>", "0..4=''"},
        {"<type>string</type><minimum>-4</minimum>", "-4..2147483646=''"},
        {"<type>string</type><default>x &amp; y </default>", "0..2147483646='x &amp; y '"},
        {"<type>boolean</type><default>true</default>", "0..0=1"},
        {"<type>boolean</type><default>1</default>", "0..0=0"},
        {"<type>ipaddr</type><default>srv</default>", "0..0=srv"},
        {"<type>ipaddr</type><default>10.1.2.3</default>", "0..0=10.1.2.3"},
        {"<type>ipaddr</type><default>1.2.3</default>", "0..0="},
        {"<type>enumeration</type><enum><A/><B/></enum><default>B</default>", "0..0=B"},
        // Kept as written, listed or not; without one the first listed word.
        {"<type>enumeration</type><enum><A/><B/></enum><default>Z z</default>", "0..0=Z z"},
        {"<type>enumeration</type><enum><A/><B/></enum>", "0..0=A"},
        {"<type>enumeration</type>", "0..0=(null)"},
    };
    for (const auto& c : cases) {
        const DefinitionFile file = read(std::string("<item><name>a</name>") + c.item + "</item>");
        ASSERT_NE(file.definitions, nullptr) << c.item;
        EXPECT_EQ(bounds_and_default(file.definitions.get()), c.shown) << c.item;
    }
    // A padding too long to make up front is left for first use; the file loads.
    const DefinitionFile file = read(
        "<item><name>s</name><type>string</type><minimum>4000000000</minimum></item>"
        "<item><name>t</name><type>string</type><minimum>16777216</minimum></item>");
    ASSERT_NE(file.definitions, nullptr);
    EXPECT_EQ(file.definitions->Minimum, 4000000000);
    EXPECT_EQ(file.definitions->Default.Payload.String, nullptr);
    ASSERT_NE(file.definitions->Next, nullptr);
    EXPECT_EQ(std::strlen(file.definitions->Next->Default.Payload.String), 16777216u);
}

// A definition list in full, members nested in brackets.
std::string describe(const QAC_Content* list) {
    const auto text = [](const char* t) { return std::string(t != nullptr ? t : "-") + " "; };
    std::string out;
    for (; list != nullptr; list = list->Next) {
        out += text(list->Name) + text(list->Description) + text(list->DispString) + fields(list) +
               bounds_and_default(list) + " " + words(list->EnumList) + "[" +
               describe(list->Members) + "] ";
    }
    return out;
}

// Handles made again from the same definition file copy the definitions kept from the last
// read: the copy owns all it holds, and only the same bytes find it; the least recently used
// of the kept files makes room.
TEST(DefinitionFile, CopiesAndKeptFiles) {
    std::string nested = "<item><name>leaf</name><type>string</type><default>x</default></item>";
    for (int depth = 0; depth < 300; ++depth) {
        nested = "<item><name>s</name><type>structure</type>" + nested + "</item>";
    }
    const std::string text =
        "<config_define><name>n</name><description>d</description><hidden>TRUE</hidden>"
        "<item><name>Mode</name><description>m</description><dispstring>M</dispstring>"
        "<type>enumeration</type>"
        "<enum><A>first</A><B/></enum><default>B</default></item>"
        "<item><name>Text</name><type>string</type><minimum>3</minimum><default>ab</default>"
        "</item><item><name>Host</name><type>ipaddr</type><default>srv</default></item>"
        "<item><name>Net</name><type>ipaddr</type><default>10.0.0.1/8</default></item>"
        "<item><name>Count</name><type>integer</type><minimum>1</minimum><maximum>9</maximum>"
        "<default>4</default></item><item><type>boolean</type><default>TRUE</default></item>"
        "<item><name>Long</name><type>string</type><minimum>20000000</minimum></item>" +
        nested + "</config_define>";
    DefinitionFile file;
    ASSERT_EQ(read_definitions(std::string_view(text), &file), 0u);
    ASSERT_EQ(bounds_and_default(find(file.definitions.get(), "Host")), "0..0=srv");
    ASSERT_EQ(find(file.definitions.get(), "Long")->Default.Payload.String, nullptr);
    const std::string shown = describe(file.definitions.get());
    const DefinitionFile copy = copy_definition_file(file);
    EXPECT_EQ(std::string(copy.name.get()) + copy.description.get(), "nd");
    EXPECT_NE(copy.name.get(), file.name.get());
    EXPECT_EQ(copy.dispstring, nullptr);
    EXPECT_EQ(copy.hidden, 1u);
    EXPECT_EQ(copy_definition_file(DefinitionFile{}).definitions, nullptr);

    DefinitionFile found;
    std::string changed = text;
    changed[changed.find("<default>4<") + 9] = '5';  // the same size
    keep_definitions(text, file);
    // With the file gone, the address sanitizer sees any text or record a copy shared with it.
    file = DefinitionFile{};
    EXPECT_EQ(describe(copy.definitions.get()), shown);
    ASSERT_TRUE(copy_kept_definitions(text, &found));
    EXPECT_EQ(describe(found.definitions.get()), shown);
    EXPECT_FALSE(copy_kept_definitions(changed, &found));
    // Three more fill the kept files. The first, used again since, stays when a fifth comes;
    // the least recently used goes.
    const std::string others[] = {"<config_define><name>one</name></config_define>",
                                  "<config_define><name>two</name></config_define>",
                                  "<config_define><name>three</name></config_define>",
                                  "<config_define><name>four</name></config_define>"};
    for (int n = 0; n < 3; ++n) {
        DefinitionFile other;
        ASSERT_EQ(read_definitions(std::string_view(others[n]), &other), 0u);
        keep_definitions(others[n], other);
    }
    ASSERT_TRUE(copy_kept_definitions(text, &found));
    keep_definitions(others[3], DefinitionFile{});
    EXPECT_TRUE(copy_kept_definitions(text, &found));
    EXPECT_FALSE(copy_kept_definitions(others[0], &found));
    EXPECT_TRUE(copy_kept_definitions(others[1], &found));
    EXPECT_STREQ(found.name.get(), "two");
}

}  // namespace
}  // namespace qac
