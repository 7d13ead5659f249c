#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "markup_reader.h"
#include "markup_tokens.h"
#include "support.h"

namespace qac {
namespace {

// The tree as text: elements as name[children], texts quoted. Walks the parent links so
// that any depth can be shown.
std::string dump(const Document& document) {
    std::string out;
    const Node* n = document.first_top_level();
    while (n != nullptr) {
        out += n->is_element() ? n->text : "'" + n->text + "'";
        if (n->first_child != nullptr) {
            out += "[";
            n = n->first_child;
            continue;
        }
        while (n != nullptr && n->next == nullptr) {
            n = n->parent;
            if (n != nullptr) {
                out += "]";
            }
        }
        if (n != nullptr) {
            out += " ";
            n = n->next;
        }
    }
    return out;
}

std::string dump_text(const std::string& text) {
    Document document;
    read_document(kSourceMemory, text.c_str(), &document);
    return dump(document);
}

std::string dump_blocks(std::string_view bytes) {
    MemoryBlocks blocks(bytes);
    Document document;
    read_document(&blocks, &document);
    return dump(document);
}

// The lenient reader: what it cannot read ends the document and the read still succeeds.
TEST(MarkupTree, LenientReading) {
    const struct {
        const char* text;
        const char* tree;
    } cases[] = {
        // Elements, empty elements and end tags, whose names are ignored.
        {"<r><a/><a /><b>x</b></r>", "r[a a b['x']]"},
        {"<r><a>1</b><c/></r>", "r[a['1'] c]"},
        {"<r></r></r><a/>", "r a"},  // stray end tag at top level
        {"<r><a x='1' y=\">\"/><b\tk=v>t</b></r>", "r[a b['t']]"},
        {"<r><a/ ><a//></r>", "r[a/[a/]]"},  // only "/>" makes it empty
        {"<r><!DOCTYPE x><y/></r>", "r[!DOCTYPE[y]]"},
        // Leading whitespace of a text dropped, trailing kept; no references decoded.
        {"<a>  x  </a>", "a['x  ']"},
        {"<a> \t\r\n\v\f </a>", "a"},
        {"<a>&amp;&lt;</a>", "a['&amp;&lt;']"},
        {"x<a>y</a>z", "a['y']"},  // texts at top level are ignored
        {"<a>1<b/>2</a>", "a['1' b '2']"},
        // Comments end at their first `>` outside quotes; declarations are skipped.
        {"<?xml version=\"1.0\"?><r><!-- x > y --><a/></r>", "r['y -->' a]"},
        {"<r><!-- it's > here' --><a/></r>", "r[a]"},
        {"<r><?pi > ?><a/></r>", "r['?>' a]"},
        {"<r>1<!-- c -->2</r>", "r['1' '2']"},
        // Only one-byte characters act as markup; bytes after a lead byte are taken unchecked.
        {"\xEF\xBB\xBF<r>\xC3\xA9t\xC3\xA9</r>", "r['\xC3\xA9t\xC3\xA9']"},
        {"<r>x\xC3</r>", "r['x\xC3</r>']"},
        {"<r>\x80<a/></r>", "r['\x80<a/>']"},  // stray byte: 2-byte start
        {"<r>x\xF0\x9F", "r['x\xF0\x9F']"},    // input ends mid-sequence
        {"<r a='\xC3'>'>t</r>", "r['t']"},     // quote inside a sequence
        // Truncated and empty documents.
        {"<r><a>1</a><b", "r[a['1']]"},
        {"<r><a x='>", "r"},
        {"<r><a>1", "r[a['1']]"},
        {"<r><a>", "r[a]"},
        {"", ""},
        {" \n\t ", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dump_text(c.text), c.tree) << c.text;
    }
    Document document;
    EXPECT_EQ(read_document(kSourceMemory, " ", &document), 0u);
    EXPECT_EQ(document.root(), nullptr);
    EXPECT_EQ(read_document(kSourceMemory, nullptr, &document), QAC_E_PARAM);
    EXPECT_EQ(read_document(3, "<a/>", &document), QAC_E_PARAM);
}

// Runs are scanned several bytes at a time: a byte that ends one, or starts a sequence whose
// bytes are not markup, counts wherever it falls. (A name still ends at the first `>`.)
TEST(MarkupTree, MarkupBytesAtEveryOffset) {
    for (std::size_t k = 1; k <= 17; ++k) {
        const std::string pad(k, 'x');
        const struct {
            std::string text;
            std::string tree;
        } cases[] = {
            {"<r><a>" + pad + "</a><b/></r>", "r[a['" + pad + "'] b]"},
            {"<r><a>" + pad + "\xC3<b/></a></r>", "r[a['" + pad + "\xC3<b/>']]"},
            {"<r><a q='" + pad + ">\"' " + pad + ">t</a></r>", "r[a['t']]"},
            {"<r><a" + pad + "\xE2>>b>t</a></r>", "r[a" + pad + "\xE2['t']]"},
        };
        for (const auto& c : cases) {
            EXPECT_EQ(dump_text(c.text), c.tree) << c.text;
        }
    }
}

// Files are read in blocks; tags, texts and sequences that cross a block boundary must come
// out as from memory.
TEST(MarkupSource, FilesAndMemoryGiveTheSameTree) {
    using namespace std::string_literals;
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
    // A NUL byte inside a file ends the name or text it stands in; reading goes on after it.
    EXPECT_EQ(dump_blocks("<r><a>x\0y</a><b\0c>2</b><\0/></r>"s), "r[a['x'] b['2'] ]");
}

// Bytes that end inside a character of any length, in a text or in a tag, held in memory of
// exactly their size: the tokenizer must not step past their end, not even by forming a
// pointer there (which the address sanitizer's pointer checks see, where a run asks for
// them).
TEST(MarkupLimits, CharactersCutByTheEndOfTheBytes) {
    for (const char lead : {'\xC3', '\xE2', '\xF0', '\xF8', '\xFC', '\x80'}) {
        for (const std::string prefix : {"<r>x", "<r><a b='"}) {
            const std::string text = prefix + lead;
            const auto bytes = std::make_unique<char[]>(text.size());
            std::memcpy(bytes.get(), text.data(), text.size());
            Tokenizer tokenizer(std::string_view(bytes.get(), text.size()));
            Token token;
            ASSERT_TRUE(tokenizer.next(&token));
            EXPECT_EQ(token.text, "<r>");
            const bool in_text = prefix == "<r>x";
            EXPECT_EQ(tokenizer.next(&token), in_text) << prefix;
            if (in_text) {
                EXPECT_EQ(token.text, std::string("x") + lead);
            }
            EXPECT_FALSE(tokenizer.next(&token));
        }
    }
}

// A text far beyond any block or length field stays whole.
TEST(MarkupLimits, HugeText) {
    const std::string big(20u << 20, 'x');
    Document document;
    const std::string text = "<r><a>" + big + "</a><b/></r>";
    ASSERT_EQ(read_document(kSourceMemory, text.c_str(), &document), 0u);
    const Node* a = document.root()->first_child;
    EXPECT_EQ(a->first_child->text.size(), big.size());
    EXPECT_EQ(a->next->text, "b");
}

}  // namespace
}  // namespace qac
