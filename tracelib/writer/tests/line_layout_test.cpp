// Byte positions of trace lines and of the header block, as written into a trace file.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "trace_line.h"
#include "trace_test_support.h"

namespace {

using ktl_test::read_lines;
using ktl_test::TempDir;

// A library-level writer for the test's duration; lines are read back from file 1.
class LibraryLines : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string prefix = dir_.prefix();
        const TraceFileConfig config{1 << 20, 2, prefix.c_str()};
        ASSERT_EQ(KTLORSYM_Initialize(&config, "LIBPROGRAM"), 0);
        KTLORSYM_SetLogLevel(1000);
    }
    void TearDown() override {
        KTLORSYM_SetLogLevel(0);
        KTLORSYM_SetTimeStumpMode(0);
        EXPECT_EQ(KTLORSYM_Finalize(), 0);
    }
    // The body lines written so far (header block skipped).
    std::vector<std::string> lines() const {
        auto all = read_lines(dir_.path() / "trace1.log");
        all.erase(all.begin(), all.begin() + ktl_test::kHeaderLines);
        return all;
    }
    std::string last_line() const { return lines().back(); }

    TempDir dir_;
};

TEST_F(LibraryLines, CommonPrefixColumns) {
    ASSERT_EQ(KTLORSYM_PutLine(5, "hello"), 0);
    const std::string line = last_line();
    ASSERT_EQ(line.size(), 68u + 5u);
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[0])));
    EXPECT_EQ(line[4], ' ');
    // yyyy/mm/dd hh:mm:ss.sss
    EXPECT_EQ(line[9], '/');
    EXPECT_EQ(line[12], '/');
    EXPECT_EQ(line[15], ' ');
    EXPECT_EQ(line[18], ':');
    EXPECT_EQ(line[21], ':');
    EXPECT_EQ(line[24], '.');
    EXPECT_EQ(line.substr(28, 5), "     ");
    EXPECT_EQ(line.substr(33, 16), "LIBPROGRAM      ");
    EXPECT_EQ(line[49], ' ');
    EXPECT_EQ(line.substr(50, 8).find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(line[58], ' ');
    EXPECT_EQ(line[67], ' ');
    EXPECT_EQ(line.substr(68), "hello");
}

TEST_F(LibraryLines, MessageIdFieldIsCutAndPadded) {
    const std::string id21 = "ABCDEFGHIJKLMNOPQRSTU";
    ASSERT_EQ(KTLORSYM_PutWithId(0, id21.c_str(), "t"), 0);
    ASSERT_EQ(KTLORSYM_PutWithId(0, (id21 + "VWXY").c_str(), "t"), 0);
    ASSERT_EQ(KTLORSYM_PutWithId(0, "", "t"), 0);
    ASSERT_EQ(KTLORSYM_PutWithId(0, nullptr, "text"), 0);
    const auto body = lines();
    ASSERT_EQ(body.size(), 4u);
    EXPECT_EQ(body[0].substr(68, 21), id21);
    EXPECT_EQ(body[0].substr(89), " t");
    EXPECT_EQ(body[1].substr(68, 21), id21);
    EXPECT_EQ(body[2].substr(68, 21), std::string(21, ' '));
    EXPECT_EQ(body[3].substr(68), std::string(21, ' ') + " text");
}

TEST_F(LibraryLines, MessageTypeForm) {
    ASSERT_EQ(KTLORSYM_PutWithMsgType(0, "PROG", "ABCDEFGHIJKLMNOPQ", "TYPEX", "body"), 0);
    ASSERT_EQ(KTLORSYM_PutWithMsgType(0, nullptr, "ID", nullptr, "b"), 0);
    const auto body = lines();
    EXPECT_EQ(body[0].substr(33, 16), "PROG            ");
    EXPECT_EQ(body[0].substr(68), "ABCDEFGHIJKLMNOP TYPE body");
    EXPECT_EQ(body[1].substr(33, 16), std::string(16, ' '));
    EXPECT_EQ(body[1].substr(68), "ID                    b");
}

TEST_F(LibraryLines, CallerThreadIdTextIsCutAndPadded) {
    ASSERT_EQ(KTLORSYM_PutWithIdAndTidEx(0, "P", "12", "ID", "x"), 0);
    ASSERT_EQ(KTLORSYM_PutWithIdAndTidEx(0, "P", "123456789", "ID", "x"), 0);
    ASSERT_EQ(KTLORSYM_PutWithMsgTypeAndTid(0, "P", nullptr, "ID", "T", "x"), 0);
    const auto body = lines();
    EXPECT_EQ(body[0].substr(59, 9), "12       ");
    EXPECT_EQ(body[1].substr(59, 9), "12345678 ");
    EXPECT_EQ(body[2].substr(59, 9), "         ");
}

TEST_F(LibraryLines, LongTextsAreCutToTheLongestLine) {
    const std::string text(5000, 'x');
    ASSERT_EQ(KTLORSYM_PutLine(0, text.c_str()), 0);
    ASSERT_EQ(KTLORSYM_PutWithId(0, "ID", text.c_str()), 0);
    ASSERT_EQ(KTLORSYM_PutWithMsgType(0, "P", "ID", "T", text.c_str()), 0);
    const auto body = lines();
    // Each line read back lacks its CR LF: 4187 - 2 bytes.
    EXPECT_EQ(body[0].size(), 4185u);
    EXPECT_EQ(body[0].size() - 68, 4117u);
    EXPECT_EQ(body[1].size(), 4185u);
    EXPECT_EQ(body[1].size() - 90, 4095u);
    EXPECT_EQ(body[2].size(), 4185u);
}

TEST_F(LibraryLines, TimeStampModeMasksOnlyTheLibraryPutsThatFollowIt) {
    EXPECT_EQ(KTLORSYM_SetTimeStumpMode(1), 1);
    ASSERT_EQ(KTLORSYM_PutWithId(0, "ID", "masked"), 0);
    ASSERT_EQ(KTLORSYM_PutLine(0, "masked"), 0);
    ASSERT_EQ(KTLORSYM_PutWithIdAndTidEx(0, "P", "T", "ID", "real"), 0);
    EXPECT_EQ(KTLORSYM_SetTimeStumpMode(7), 7);
    ASSERT_EQ(KTLORSYM_PutLine(0, "real"), 0);
    const auto body = lines();
    EXPECT_EQ(body[0].substr(5, 23), "****/**/** **:**:**.***");
    EXPECT_EQ(body[1].substr(5, 23), "****/**/** **:**:**.***");
    EXPECT_NE(body[2].substr(5, 4), "****");
    EXPECT_NE(body[3].substr(5, 4), "****");
}

TEST(InstanceLines, ProgramIdsAndRealTime) {
    TempDir dir;
    ktl_test::Instance trace(dir.prefix(), 65536, 2, "A-PROGRAM-ID-LONGER-THAN-16");
    ASSERT_EQ(trace.create_result(), 0);
    KTLORSYM_SetTimeStumpMode(1);
    ASSERT_EQ(KTLORSYM_PutInstanceWithId(trace.get(), 0, "KTLOR-001-I", "own id"), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceWithIdEx(trace.get(), 0, "OTHER", "KTLOR-002-I", "given"), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceWithMsgType(trace.get(), 0, nullptr, "M", "TY", "typed"), 0);
    ASSERT_EQ(KTLORSYM_PutInstanceLine(trace.get(), 0, "plain"), 0);
    KTLORSYM_SetTimeStumpMode(0);
    auto body = read_lines(dir.path() / "trace1.log");
    body.erase(body.begin(), body.begin() + 2);
    ASSERT_EQ(body.size(), 4u);
    EXPECT_EQ(body[0].substr(33, 16), "A-PROGRAM-ID-LON");
    EXPECT_EQ(body[0].substr(68), "KTLOR-001-I           own id");
    EXPECT_EQ(body[1].substr(33, 16), "OTHER           ");
    EXPECT_EQ(body[2].substr(33, 16), std::string(16, ' '));
    EXPECT_EQ(body[2].substr(68), "M                TY   typed");
    EXPECT_EQ(body[3].substr(68), "plain");
    for (const auto& line : body) {
        EXPECT_NE(line.substr(5, 4), "****") << "instance lines always carry the time";
    }
}

TEST(HeaderBlock, LayoutOfBothLines) {
    TempDir dir;
    {
        ktl_test::Instance trace(dir.prefix());
        ASSERT_EQ(trace.create_result(), 0);
    }
    const std::string file = ktl_test::read_file(dir.path() / "trace1.log");
    ASSERT_EQ(file.size(), 253u);
    EXPECT_EQ(file.substr(0, 5), "**** ");
    EXPECT_EQ(file[65], ' ');
    EXPECT_EQ(file[82], ' ');
    EXPECT_EQ(file.substr(83, 10), "TZ=(local)");
    EXPECT_EQ(file[115], ' ');
    EXPECT_EQ(file[120], '/');
    EXPECT_EQ(file.substr(139, 2), "\r\n");
    EXPECT_EQ(file.substr(141, 90),
              "     yyyy/mm/dd hh:mm:ss.sss                      pid      tid      message-id   "
              "         ");
    EXPECT_EQ(file.substr(141 + 50, 3), "pid");
    EXPECT_EQ(file.substr(141 + 59, 3), "tid");
    EXPECT_EQ(file.substr(141 + 68, 10), "message-id");
    EXPECT_EQ(file.substr(231, 15), "message(LANG=0x");
    EXPECT_EQ(file.substr(251, 2), "\r\n");
}

TEST(HeaderBlock, TimeZoneTextKeepsTheSignOfBothParts) {
    char text[33];
    ktl::format_time_zone(text, sizeof text, -540);
    EXPECT_STREQ(text, "TZ=(local)-9:00");
    ktl::format_time_zone(text, sizeof text, 300);
    EXPECT_STREQ(text, "TZ=(local)+5:00");
    ktl::format_time_zone(text, sizeof text, -330);
    EXPECT_STREQ(text, "TZ=(local)-5:-30");
    ktl::format_time_zone(text, sizeof text, 0);
    EXPECT_STREQ(text, "TZ=(local)+0:00");
}

TEST(Sequence, WrapsFrom9999To0000) {
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
    const auto lines = read_lines(dir.path() / "trace1.log");
    EXPECT_EQ(lines[lines.size() - 2].substr(0, 4), "9999");
    EXPECT_EQ(lines.back().substr(0, 4), "0000");
}

}  // namespace
