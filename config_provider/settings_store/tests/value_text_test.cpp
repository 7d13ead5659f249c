#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "value_text.h"

namespace qac {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(ValueText, IdentifiersAndBooleans) {
    for (const char* good : {"_x1", "LogLevel", "_", "a", "Z9_"}) {
        EXPECT_TRUE(is_identifier(good)) << good;
    }
    for (const char* bad : {"", "1abc", "log-level", "a b", "a.b", "\xC3\xA9", "a\x7F"}) {
        EXPECT_EQ(check_identifier(bad), QAC_E_PARAM) << bad;
    }
    for (const char* text : {"TRUE", "True", "tRuE", "FALSE", "False", "false"}) {
        std::uint32_t value = 7;
        EXPECT_EQ(parse_boolean(text, &value), 0u) << text;
        EXPECT_EQ(value, text[0] == 't' || text[0] == 'T' ? 1u : 0u) << text;
    }
    for (const char* text : {"TRUE ", " TRUE", "yes", "1", "0", "TRU", "FALSEE", ""}) {
        std::uint32_t value = 0;
        EXPECT_EQ(parse_boolean(text, &value), QAC_E_PARAM) << text;
    }
}

// Bases, signs, whitespace, and the limits of each base: overflow at 2^63 and at 2^64.
TEST(ValueText, Integers) {
    const struct {
        const char* text;
        std::uint32_t result;
        std::int64_t value;
    } cases[] = {
        // clang-format off
        {"0x1F", 0, 31}, {"0X1f", 0, 31}, {"010", 0, 8}, {"-010", 0, -10}, {"0", 0, 0},
        {"00", 0, 0}, {"0x", 0, 0}, {"+", 0, 0}, {"-", 0, 0}, {"", 0, 0}, {"  -42  ", 0, -42},
        {"- 5", 0, -5}, {"\t+7\n", 0, 7}, {"0 17", 0, 15}, {"08", QAC_E_PARAM, 0},
        {"-0x10", QAC_E_PARAM, 0}, {"0x-1", QAC_E_PARAM, 0}, {"+-1", QAC_E_PARAM, 0},
        {"12abc", QAC_E_PARAM, 0}, {"1 2", QAC_E_PARAM, 0}, {"0xG", QAC_E_PARAM, 0},
        {"1.5", QAC_E_PARAM, 0},
        {"9223372036854775807", 0, kMax}, {"9223372036854775808", QAC_E_RANGE, 0},
        {"-9223372036854775808", 0, kMin}, {"-9223372036854775809", QAC_E_RANGE, 0},
        {"18446744073709551615", QAC_E_RANGE, 0}, {"18446744073709551616", QAC_E_RANGE, 0},
        {"-18446744073709551616", QAC_E_RANGE, 0}, {"0x7FFFFFFFFFFFFFFF", 0, kMax},
        {"0x8000000000000000", QAC_E_RANGE, 0}, {"0xFFFFFFFFFFFFFFFF", QAC_E_RANGE, 0},
        {"0x10000000000000000", QAC_E_RANGE, 0}, {"0777777777777777777777", 0, kMax},
        {"01000000000000000000000", QAC_E_RANGE, 0}, {"02000000000000000000000", QAC_E_RANGE, 0},
        {"000000000000000000000000000001", 0, 1},
        {"99999999999999999999z", QAC_E_RANGE, 0},  // the overflow comes before the bad digit
        // clang-format on
    };
    for (const auto& c : cases) {
        std::int64_t value = 12345;
        EXPECT_EQ(parse_integer(c.text, &value), c.result) << '"' << c.text << '"';
        if (c.result == 0) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
    }
}

QAC_IpAddr parsed(const char* text, std::uint32_t expected_result = 0) {
    QAC_IpAddr address{};
    static OwnedText host;  // keeps the last host name alive for the caller's checks
    EXPECT_EQ(parse_address(text, &address, &host), expected_result) << text;
    return address;
}

std::string hex(const std::uint8_t* bytes) {
    std::string out;
    char two[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

// Host names, IPv4 and IPv6 addresses, each with an optional mask after a slash (the form the
// writer puts down for masked addresses).
TEST(ValueText, Addresses) {
    const QAC_IpAddr host = parsed("server01");
    EXPECT_EQ(host.Form, QAC_IPADDR_HOSTNAME);
    EXPECT_EQ(host.Family, 0);
    EXPECT_STREQ(host.HostName, "server01");
    EXPECT_EQ(parsed("fe80").Form, QAC_IPADDR_HOSTNAME);
    // The bytes in hex, the zeros at the end left out.
    const struct {
        const char* text;
        int family;
        std::string address;
        std::string mask;
    } cases[] = {
        {"192.168.000.001", 4, "c0a80001", ""},
        {"010.0.0.255", 4, "0a0000ff", ""},
        {"::1", 6, "00000000000000000000000000000001", ""},
        {"::", 6, "", ""},
        {"2001:db8::1", 6, "20010db8000000000000000000000001", ""},
        {"1:2:3:4:5:6:7:8", 6, "00010002000300040005000600070008", ""},
        {"1::", 6, "0001", ""},
        {"ABCD:1::2:3:4:ffff", 6, "abcd000100000000000200030004ffff", ""},
        {"10.0.0.1/255.255.255.0", 4, "0a000001", "ffffff00"},
        {"fe80::1/ffff:ffff::", 6, "fe800000000000000000000000000001", "ffffffff"},
    };
    for (const auto& c : cases) {
        const QAC_IpAddr a = parsed(c.text);
        EXPECT_EQ(a.Form, QAC_IPADDR_NUMERIC) << c.text;
        EXPECT_EQ(a.Family, c.family) << c.text;
        EXPECT_EQ(a.HostName, nullptr) << c.text;
        EXPECT_EQ(hex(a.Address), c.address + std::string(32 - c.address.size(), '0')) << c.text;
        EXPECT_EQ(hex(a.Mask), c.mask + std::string(32 - c.mask.size(), '0')) << c.text;
    }
    // clang-format off
    const char* const rejected[] = {
        "", "192.168.0", "192.168.0.1/24", "1.2.3.4.5", "1.2.3.256", "1..2.3", "1.2.3.4.",
        "1.2.3.-4", " 1.2.3.4", "1::2::3", "::ffff:1.2.3.4", "1:2:3:4:5:6:7:8:9",
        "1:2:3:4:5:6:7", "12345::", "1::2:3:4:5:6:7", "::1%eth0", ":::", "g::1", "log-host",
        "10.0.0.1/::1", "10.0.0.1/", "10.0.0.1/255.0.0.0/8"};
    // clang-format on
    for (const char* text : rejected) {
        EXPECT_EQ(parsed(text, QAC_E_PARAM).Form, QAC_IPADDR_EMPTY) << text;
    }
}

}  // namespace
}  // namespace qac
