#include <gtest/gtest.h>

#include <string>

#include "definition_reader.h"
#include "support.h"
#include "value_schema.h"
#include "value_text.h"

namespace qac {
namespace {

const char* const kDefinitions =
    "<config_define>"
    "<item><name>LogSize</name><type>integer</type><minimum>1</minimum><maximum>100</maximum>"
    "</item>"
    "<item><name>Port</name><type>integer</type><number>0</number></item>"
    "<item><name>Host</name><type>ipaddr</type><number>0</number></item>"
    "<item><name>Mode</name><type>enumeration</type><enum><A/><B/></enum><number>2</number>"
    "</item>"
    "<item><name>Name</name><type>string</type><maximum>3</maximum></item>"
    "<item><name>On</name><type>boolean</type></item>"
    "<item><name>Untyped</name></item>"
    "<item><name>rule</name><type>structure</type><number>0</number>"
    "  <item><name>id</name><type>integer</type><identifier>TRUE</identifier></item>"
    "  <item><name>note</name><type>string</type></item></item>"
    "<item><name>pair</name><type>structure</type><number>0</number>"
    "  <item><name>x</name><type>integer</type></item>"
    "  <item><name>y</name><type>integer</type></item></item>"
    "</config_define>";

std::string render(const Converted& v);

std::string render_list(const std::vector<Converted*>& values) {
    std::string out;
    for (const Converted* v : values) {
        out += (out.empty() ? "" : " ") + std::string(v->entry->name) + "=" + render(*v);
    }
    return out;
}

std::string render(const Converted& v) {
    switch (v.kind) {
        case ValueKind::integer:
            return format_integer(v.integer);
        case ValueKind::boolean:
            return std::string(format_boolean(v.boolean));
        case ValueKind::ipaddr:
            return format_address(v.address);
        case ValueKind::structure:
            return "{" + render_list(v.members) + "}";
        default:
            return std::string(v.text_view());
    }
}

class ValueFile : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(read_definitions(kSourceMemory, kDefinitions, &definitions_), 0u);
        ASSERT_EQ(build_value_schema(definitions_.definitions.get(), &schema_), 0u);
    }

    std::string read(const std::string& body) {
        const std::string text = "<anything>" + body + "</anything>";
        Conversion values;
        EXPECT_EQ(read_values(kSourceMemory, text.c_str(), schema_.entries(), &values), 0u);
        return render_list(values.values());
    }

    DefinitionFile definitions_;
    ValueSchema schema_;
};

// Occurrence limits, bounds and text rules decide which elements become values.
TEST_F(ValueFile, ScalarValues) {
    EXPECT_EQ(read("<LogSize>5</LogSize><LogSize>6</LogSize><Other>1</Other><Untyped>x</Untyped>"
                   "<LogSize>0</LogSize>"),
              "LogSize=5");
    EXPECT_EQ(read("<LogSize>500</LogSize><LogSize></LogSize><LogSize>7</LogSize>"), "LogSize=7");
    EXPECT_EQ(read("<Mode>a</Mode><Mode>B</Mode><Mode>A</Mode><Mode>B</Mode><Mode>A</Mode>"),
              "Mode=B Mode=A");
    EXPECT_EQ(read("<Name>abcd</Name><Name>ab </Name><On></On><On>true</On>"), "Name=ab  On=TRUE");
}

// Equal values of a definition are kept once: numbers by value, addresses without masks.
TEST_F(ValueFile, DuplicateValues) {
    EXPECT_EQ(read("<Port>80</Port><Port>0x50</Port><Port>81</Port><Port> 0100</Port>"),
              "Port=80 Port=81 Port=64");
    EXPECT_EQ(read("<Host>10.0.0.1</Host><Host>10.0.0.1/255.0.0.0</Host><Host>srv</Host>"
                   "<Host>0:0:0:0:0:0:0:1</Host><Host>::1</Host>"),
              "Host=10.0.0.1 Host=srv Host=0000:0000:0000:0000:0000:0000:0000:0001");
}

// Structures are equal by their identifier members, or else by all members in any order.
TEST_F(ValueFile, Structures) {
    EXPECT_EQ(read("<rule><id>1</id><note>a</note></rule><rule><note>b</note><id>1</id></rule>"
                   "<rule><note>c</note></rule><rule><note>c</note></rule><rule></rule>"
                   "<rule><id>2</id></rule>"),
              "rule={id=1 note=a} rule={note=c} rule={note=c} rule={id=2}");
    EXPECT_EQ(read("<pair><x>1</x><y>2</y></pair><pair><y>2</y><x>1</x></pair>"
                   "<pair><x>1</x></pair><pair><y>2</y><x>1</x><x>3</x></pair>"),
              "pair={x=1 y=2} pair={x=1}");
}

// Bytes a file may hold but a text cannot: NUL ends the text, stray bytes are text.
TEST_F(ValueFile, BadBytesInFiles) {
    using namespace std::string_literals;
    const std::string bytes = "<c><Name>a\0b</Name><Port>\xFF\xFE</Port><Port>\xC3</Port>9</c>"s;
    MemoryBlocks blocks(bytes);
    Conversion values;
    ASSERT_EQ(read_values(&blocks, schema_.entries(), &values), 0u);
    EXPECT_EQ(render_list(values.values()), "Name=a");
}

TEST(ValueSchema, EmptyDefinitionListReadsNothing) {
    ValueSchema schema;
    ASSERT_EQ(build_value_schema(nullptr, &schema), 0u);
    Conversion values;
    EXPECT_EQ(read_values(kSourceMemory, "<config><a>1</a></config>", schema.entries(), &values),
              0u);
    EXPECT_TRUE(values.values().empty());
}

TEST(ValueSchema, DeeplyNestedStructures) {
    constexpr int kDepth = 100000;
    const std::string definitions =
        "<c>" + testing::repeat("<item><name>s</name><type>structure</type>", kDepth) +
        "<item><name>v</name><type>integer</type></item>" + testing::repeat("</item>", kDepth) +
        "</c>";
    DefinitionFile file;
    ASSERT_EQ(read_definitions(kSourceMemory, definitions.c_str(), &file), 0u);
    ValueSchema schema;
    ASSERT_EQ(build_value_schema(file.definitions.get(), &schema), 0u);
    const std::string text = "<config>" + testing::repeat("<s>", kDepth) + "<v>1</v>" +
                             testing::repeat("</s>", kDepth) + "</config>";
    Conversion values;
    ASSERT_EQ(read_values(kSourceMemory, text.c_str(), schema.entries(), &values), 0u);
    ASSERT_EQ(values.values().size(), 1u);
    int depth = 0;
    const Converted* v = values.values()[0];
    for (; v->kind == ValueKind::structure; v = v->members[0]) {
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
    EXPECT_EQ(v->integer, 1);
}

}  // namespace
}  // namespace qac
