// Byte positions of trace lines and of the header block, as written into a trace file.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>

#include "trace_line.h"
#include "trace_test_support.h"

namespace {

using ktl_test::read_lines;
using ktl_test::TempDir;

// Whether text matches pattern byte for byte: '9' is a digit, 'X' an upper-case hex digit,
// '~' any byte, everything else itself.
::testing::AssertionResult matches(const std::string& text, const std::string& pattern) {
    bool ok = text.size() == pattern.size();
    for (std::size_t i = 0; ok && i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const char p = pattern[i];
        ok = p == '~' || p == text[i] || (p == '9' && std::isdigit(c)) ||
             (p == 'X' && std::isxdigit(c) && !std::islower(c));
    }
    return ok ? ::testing::AssertionSuccess()
              : ::testing::AssertionFailure() << "\n  text: " << text << "\n  like: " << pattern;
}

std::string pad(const std::string& text, std::size_t width) {
    return text + std::string(width - text.size(), ' ');
}

const std::string kStamp = "9999 9999/99/99 99:99:99.999     ";
const std::string kOwnIds = " XXXXXXXX XXXXXXXX ";  // process id, the putting thread's id

// Library and instance lines with every form of put, read back from their files.
TEST(Lines, EveryFormIsCutAndPaddedToItsColumns) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix("inst"), 65536, 2, "A-PROGRAM-ID-LONGER-THAN-16");
    ASSERT_EQ(trace.create_result(), 0);
    const std::string prefix = dir.prefix();
    const TraceFileConfig config{1 << 20, 2, prefix.c_str()};
    ASSERT_EQ(KTLORSYM_Initialize(&config, "LIBPROGRAM"), 0);
    KTLORSYM_SetLogLevel(1000);
    const std::string id21 = "ABCDEFGHIJKLMNOPQRSTU";
    const std::string lib = pad("LIBPROGRAM", 16) + kOwnIds;
    const std::string own = "A-PROGRAM-ID-LON" + kOwnIds;
    const std::string masked = "9999 ****/**/** **:**:**.***     ";
    const std::string text(5000, 'x');
    const struct {
        std::function<int()> put;
        std::string line;
        bool instance = false;
    } cases[] = {
        {[] { return KTLORSYM_PutLine(5, "hello"); }, kStamp + lib + "hello"},
        {[&] { return KTLORSYM_PutWithId(0, id21.c_str(), "t"); }, kStamp + lib + id21 + " t"},
        {[&] { return KTLORSYM_PutWithId(0, (id21 + "VWXY").c_str(), "t"); },
         kStamp + lib + id21 + " t"},
        {[] { return KTLORSYM_PutWithId(0, "", "t"); }, kStamp + lib + pad("", 21) + " t"},
        {[] { return KTLORSYM_PutWithId(0, nullptr, "text"); },
         kStamp + lib + pad("", 21) + " text"},
        {[] { return KTLORSYM_PutWithMsgType(0, "PROG", "ABCDEFGHIJKLMNOPQ", "TYPEX", "body"); },
         kStamp + pad("PROG", 16) + kOwnIds + "ABCDEFGHIJKLMNOP TYPE body"},
        {[] { return KTLORSYM_PutWithMsgType(0, nullptr, "ID", nullptr, "b"); },
         kStamp + pad("", 16) + kOwnIds + pad("ID", 16) + "      b"},
        {[] { return KTLORSYM_PutWithIdAndTidEx(0, "P", "12", "ID", "x"); },
         kStamp + pad("P", 16) + " XXXXXXXX " + pad("12", 8) + " " + pad("ID", 21) + " x"},
        {[] { return KTLORSYM_PutWithIdAndTidEx(0, "P", "123456789", "ID", "x"); },
         kStamp + pad("P", 16) + " XXXXXXXX 12345678 " + pad("ID", 21) + " x"},
        {[] { return KTLORSYM_PutWithMsgTypeAndTid(0, "P", nullptr, "ID", "T", "x"); },
         kStamp + pad("P", 16) + " XXXXXXXX " + pad("", 8) + " " + pad("ID", 16) + " T    x"},
        // Long texts are cut so that a line is at most 4187 bytes with its CR LF.
        {[&] { return KTLORSYM_PutLine(0, text.c_str()); }, kStamp + lib + text.substr(0, 4117)},
        {[&] { return KTLORSYM_PutWithId(0, "ID", text.c_str()); },
         kStamp + lib + pad("ID", 21) + " " + text.substr(0, 4095)},
        {[&] { return KTLORSYM_PutWithMsgType(0, "P", "ID", "T", text.c_str()); },
         kStamp + pad("P", 16) + kOwnIds + pad("ID", 16) + " T    " + text.substr(0, 4095)},
        // Time stamp mode 1 masks the time of the library's own puts that follow it, never
        // an instance's; any other mode shows it again.
        {[] { return KTLORSYM_SetTimeStumpMode(1), KTLORSYM_PutWithId(0, "ID", "m"); },
         masked + lib + pad("ID", 21) + " m"},
        {[] { return KTLORSYM_PutLine(0, "masked"); }, masked + lib + "masked"},
        {[] { return KTLORSYM_PutWithIdAndTidEx(0, "P", "T", "ID", "real"); },
         kStamp + pad("P", 16) + " XXXXXXXX " + pad("T", 8) + " " + pad("ID", 21) + " real"},
        {[&] { return KTLORSYM_PutInstanceWithId(trace.get(), 0, "KTLOR-001-I", "own id"); },
         kStamp + own + pad("KTLOR-001-I", 21) + " own id", true},
        {[&] { return KTLORSYM_PutInstanceWithIdEx(trace.get(), 0, "OTHER", "KTLOR-2", "given"); },
         kStamp + pad("OTHER", 16) + kOwnIds + pad("KTLOR-2", 21) + " given", true},
        {[&] { return KTLORSYM_PutInstanceWithMsgType(trace.get(), 0, nullptr, "M", "TY", "t"); },
         kStamp + pad("", 16) + kOwnIds + pad("M", 16) + " TY   t", true},
        {[&] { return KTLORSYM_PutInstanceLine(trace.get(), 0, "plain"); }, kStamp + own + "plain",
         true},
        {[] { return KTLORSYM_SetTimeStumpMode(7), KTLORSYM_PutLine(0, "real"); },
         kStamp + lib + "real"},
    };
    std::vector<std::string> expected[2];
    for (const auto& c : cases) {
        EXPECT_EQ(c.put(), 0) << c.line;
        expected[c.instance].push_back(c.line);
    }
    KTLORSYM_SetTimeStumpMode(0);
    KTLORSYM_SetLogLevel(0);
    EXPECT_EQ(KTLORSYM_Finalize(), 0);
    // System name (60), computer name (16), time zone (32), creation time; column titles.
    EXPECT_TRUE(matches(
        ktl_test::read_text(dir.path() / "trace1.log").substr(0, 253),
        "**** " + std::string(60, '~') + " " + std::string(16, '~') + " TZ=(local)" +
            std::string(22, '~') + " 9999/99/99 99:99:99.999\r\n" +
            "     yyyy/mm/dd hh:mm:ss.sss                      pid      tid      message-id   "
            "         message(LANG=0x~~~~)\r\n"));
    for (const bool instance : {false, true}) {
        auto body = read_lines(dir.path() / (instance ? "inst1.log" : "trace1.log"));
        body.erase(body.begin(), body.begin() + ktl_test::kHeaderLines);
        ASSERT_EQ(body.size(), expected[instance].size());
        for (std::size_t i = 0; i < body.size(); ++i) {
            EXPECT_TRUE(matches(body[i], expected[instance][i])) << "line " << i;
        }
    }
}

TEST(HeaderBlock, TimeZoneTextKeepsTheSignOfBothParts) {
    for (const auto& [bias, expected] :
         {std::pair{-540, "-9:00"}, {300, "+5:00"}, {-330, "-5:-30"}, {0, "+0:00"}}) {
        char text[33];
        ktl::format_time_zone(text, sizeof text, bias);
        EXPECT_EQ(text, std::string("TZ=(local)") + expected);
    }
}

TEST(Sequence, WrapsFrom9999To0000AndGoesOn) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix(), 1 << 20, 1);
    ASSERT_EQ(trace.create_result(), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "probe"), 0);
    const int first = std::stoi(read_lines(dir.path() / "trace1.log").back().substr(0, 4));

    // Lines kept from the file by the threshold still take a number.
    KTLORSYM_SetInstanceFileThreshold(trace.get(), -1);
    for (int n = first + 1; n < 9999; ++n) {
        ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "skipped"), 0);
    }
    // Dropped by the log level: no number.
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 1, "dropped"), 0);
    KTLORSYM_SetInstanceFileThreshold(trace.get(), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "last"), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "wrapped"), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "after"), 0);
    const auto lines = read_lines(dir.path() / "trace1.log");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3].substr(0, 4), "9999");
    EXPECT_EQ(lines[lines.size() - 2].substr(0, 4), "0000");
    EXPECT_EQ(lines.back().substr(0, 4), "0001");
}

}  // namespace
