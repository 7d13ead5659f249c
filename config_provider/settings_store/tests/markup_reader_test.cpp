#include <gtest/gtest.h>

#include <string>

#include "support.h"

namespace qac {
namespace {

using testing::dump;
using testing::dump_text;
using testing::repeat;

std::string dump_blocks(std::string_view bytes) {
    MemoryBlocks blocks(bytes);
    Document document;
    read_document(&blocks, &document);
    return dump(document);
}

// Elements, empty elements and end tags.
TEST(MarkupTree, ElementsAndEndTags) {
    EXPECT_EQ(dump_text("<r><a/><a /><b>x</b></r>"), "r[a a b['x']]");
    EXPECT_EQ(dump_text("<r><a>1</b><c/></r>"), "r[a['1'] c]");  // the end tag's name is ignored
    EXPECT_EQ(dump_text("<r></r></r><a/>"), "r a");              // stray end tag at top level
    EXPECT_EQ(dump_text("<r><a x='1' y=\">\"/><b\tk=v>t</b></r>"), "r[a b['t']]");
    EXPECT_EQ(dump_text("<r><a/ ><a//></r>"), "r[a/[a/]]");  // only "/>" makes it empty
    EXPECT_EQ(dump_text("<r><!DOCTYPE x><y/></r>"), "r[!DOCTYPE[y]]");
}

// Leading whitespace of a text is dropped, trailing whitespace kept; no references decoded.
TEST(MarkupTree, Texts) {
    EXPECT_EQ(dump_text("<a>  x  </a>"), "a['x  ']");
    EXPECT_EQ(dump_text("<a> \t\r\n\v\f </a>"), "a");
    EXPECT_EQ(dump_text("<a>&amp;&lt;</a>"), "a['&amp;&lt;']");
    EXPECT_EQ(dump_text("x<a>y</a>z"), "a['y']");  // texts at top level are ignored
    EXPECT_EQ(dump_text("<a>1<b/>2</a>"), "a['1' b '2']");
}

// Comments end at their first `>` outside quotes; declarations are skipped.
TEST(MarkupTree, CommentsAndDeclarations) {
    EXPECT_EQ(dump_text("<?xml version=\"1.0\"?><r><!-- x > y --><a/></r>"), "r['y -->' a]");
    EXPECT_EQ(dump_text("<r><!-- it's > here' --><a/></r>"), "r[a]");
    EXPECT_EQ(dump_text("<r><?pi > ?><a/></r>"), "r['?>' a]");
}

// Only one-byte characters act as markup; bytes after a lead byte are taken unchecked.
TEST(MarkupTree, Utf8Sequences) {
    EXPECT_EQ(dump_text("\xEF\xBB\xBF<r>\xC3\xA9t\xC3\xA9</r>"), "r['\xC3\xA9t\xC3\xA9']");
    EXPECT_EQ(dump_text("<r>x\xC3</r>"), "r['x\xC3</r>']");
    EXPECT_EQ(dump_text("<r>\x80<a/></r>"), "r['\x80<a/>']");  // stray byte: 2-byte start
    EXPECT_EQ(dump_text("<r>x\xF0\x9F"), "r['x\xF0\x9F']");    // input ends mid-sequence
    EXPECT_EQ(dump_text("<r a='\xC3'>'>t</r>"), "r['t']");     // quote inside a sequence
}

// What cannot be read ends the document; the read itself succeeds.
TEST(MarkupTree, TruncatedAndEmptyDocuments) {
    EXPECT_EQ(dump_text("<r><a>1</a><b"), "r[a['1']]");
    EXPECT_EQ(dump_text("<r><a x='>"), "r");
    EXPECT_EQ(dump_text("<r><a>1"), "r[a['1']]");
    EXPECT_EQ(dump_text("<r><a>"), "r[a]");
    EXPECT_EQ(dump_text(""), "");
    EXPECT_EQ(dump_text(" \n\t "), "");
    Document document;
    EXPECT_EQ(read_document(kSourceMemory, " ", &document), 0u);
    EXPECT_EQ(document.root(), nullptr);
}

TEST(MarkupSource, ArgumentsAndOpenFailures) {
    Document document;
    EXPECT_EQ(read_document(kSourceMemory, nullptr, &document), QAC_E_PARAM);
    EXPECT_EQ(read_document(3, "<a/>", &document), QAC_E_PARAM);
    const std::string missing = (testing::temp_dir() / "no-such-file.xml").string();
    EXPECT_EQ(read_document(kSourceFile, missing.c_str(), &document), QAC_E_SYSTEM | 2u);
}

// Files are read in blocks; tags, texts and sequences that cross a block boundary must come
// out as from memory.
TEST(MarkupSource, FilesAndMemoryGiveTheSameTree) {
    std::string text = "\xEF\xBB\xBF<?xml?><config>";
    for (int i = 0; i < 300; ++i) {
        text += "<item n='" + std::to_string(i) + "'>v\xE2\x82\xAC" + std::to_string(i) +
                " <!-- c > --></item>\n";
    }
    text += "</config>";
    for (std::size_t cut : {text.size(), std::size_t{1023}, std::size_t{1024}, std::size_t{1025},
                            std::size_t{2049}}) {
        const std::string part = text.substr(0, cut);
        const std::string expected = dump_text(part);
        EXPECT_EQ(dump_blocks(part), expected);
        Document from_file;
        const std::string path = testing::write_file("blocks.xml", part);
        ASSERT_EQ(read_document(kSourceFile, path.c_str(), &from_file), 0u);
        EXPECT_EQ(dump(from_file), expected) << "cut at " << cut;
    }
}

// A NUL byte inside a file ends the name or text it stands in; reading goes on after it.
TEST(MarkupSource, NulBytesInFiles) {
    using namespace std::string_literals;
    EXPECT_EQ(dump_blocks("<r><a>x\0y</a><b\0c>2</b><\0/></r>"s), "r[a['x'] b['2'] ]");
}

TEST(MarkupLimits, HugeTextAndDeepNesting) {
    const std::string big(20u << 20, 'x');
    Document document;
    const std::string text = "<r><a>" + big + "</a><b/></r>";
    ASSERT_EQ(read_document(kSourceMemory, text.c_str(), &document), 0u);
    const Node* a = document.root()->first_child;
    EXPECT_EQ(a->first_child->text.size(), big.size());
    EXPECT_EQ(a->next->text, "b");

    constexpr std::size_t kDepth = 100000;
    const std::string deep = repeat("<a>", kDepth) + "x" + repeat("</a>", kDepth);
    const std::string shown = dump_text(deep);
    EXPECT_EQ(shown.size(), 3 * kDepth + 3);  // "a[" and "]" per level, and 'x'
    EXPECT_EQ(dump_blocks(deep + "<b/>"), shown + " b");
}

// A tree written back as markup reads back as the same tree.
std::string to_markup(const Document& document) {
    std::string out;
    const Node* n = document.first_top_level();
    while (n != nullptr) {
        if (n->is_element()) {
            out += "<" + n->text + (n->first_child != nullptr ? ">" : "/>");
        } else {
            out += n->text + "<!---->";  // keeps neighbouring texts apart
        }
        if (n->first_child != nullptr) {
            n = n->first_child;
            continue;
        }
        while (n != nullptr && n->next == nullptr) {
            n = n->parent;
            if (n != nullptr) {
                out += "</" + n->text + ">";
            }
        }
        if (n != nullptr) {
            n = n->next;
        }
    }
    return out;
}

TEST(MarkupRoundTrip, TreesReadBackIdentically) {
    for (const char* text : {"<r><a/><b>x  </b>1<!-- c -->2<c><d>\xC3\xA9</d></c></r><s/>",
                             "<config><x>&amp; y</x><x/><z>t<q>u</q>v</z></config>",
                             "<a><b><c><d>deep </d></c></b></a>"}) {
        Document first;
        ASSERT_EQ(read_document(kSourceMemory, text, &first), 0u);
        const std::string again = to_markup(first);
        EXPECT_EQ(dump_text(again), dump(first)) << again;
    }
}

}  // namespace
}  // namespace qac
