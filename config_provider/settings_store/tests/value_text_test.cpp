#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "value_text.h"

namespace qac {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(ValueText, Identifiers) {
    for (const char* good : {"_x1", "LogLevel", "_", "a", "Z9_"}) {
        EXPECT_TRUE(is_identifier(good)) << good;
    }
    for (const char* bad : {"", "1abc", "log-level", "a b", "a.b", "\xC3\xA9", "a\x7F"}) {
        EXPECT_EQ(check_identifier(bad), QAC_E_PARAM) << bad;
    }
}

struct IntegerCase {
    const char* text;
    std::uint32_t result;
    std::int64_t value;
};

TEST(ValueText, IntegerBasesSignsAndWhitespace) {
    const IntegerCase cases[] = {
        {"0x1F", 0, 31},
        {"0X1f", 0, 31},
        {"010", 0, 8},
        {"-010", 0, -10},
        {"0", 0, 0},
        {"00", 0, 0},
        {"0x", 0, 0},
        {"+", 0, 0},
        {"-", 0, 0},
        {"", 0, 0},
        {"  -42  ", 0, -42},
        {"- 5", 0, -5},
        {"\t+7\n", 0, 7},
        {"0 17", 0, 15},
        {"08", QAC_E_PARAM, 0},
        {"-0x10", QAC_E_PARAM, 0},
        {"0x-1", QAC_E_PARAM, 0},
        {"+-1", QAC_E_PARAM, 0},
        {"12abc", QAC_E_PARAM, 0},
        {"1 2", QAC_E_PARAM, 0},
        {"0xG", QAC_E_PARAM, 0},
        {"1.5", QAC_E_PARAM, 0},
    };
    for (const auto& c : cases) {
        std::int64_t value = 12345;
        EXPECT_EQ(parse_integer(c.text, &value), c.result) << '"' << c.text << '"';
        if (c.result == 0) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
    }
}

TEST(ValueText, IntegerLimits) {
    const IntegerCase cases[] = {
        {"9223372036854775807", 0, kMax},
        {"9223372036854775808", QAC_E_RANGE, 0},
        {"-9223372036854775808", 0, kMin},
        {"-9223372036854775809", QAC_E_RANGE, 0},
        {"18446744073709551615", QAC_E_RANGE, 0},
        {"18446744073709551616", QAC_E_RANGE, 0},
        {"-18446744073709551616", QAC_E_RANGE, 0},
        {"0x7FFFFFFFFFFFFFFF", 0, kMax},
        {"0x8000000000000000", QAC_E_RANGE, 0},
        {"0xFFFFFFFFFFFFFFFF", QAC_E_RANGE, 0},
        {"0x10000000000000000", QAC_E_RANGE, 0},
        {"0777777777777777777777", 0, kMax},
        {"01000000000000000000000", QAC_E_RANGE, 0},
        {"02000000000000000000000", QAC_E_RANGE, 0},
        {"000000000000000000000000000001", 0, 1},
        {"99999999999999999999z", QAC_E_RANGE, 0},  // the overflow comes before the bad digit
    };
    for (const auto& c : cases) {
        std::int64_t value = 0;
        EXPECT_EQ(parse_integer(c.text, &value), c.result) << c.text;
        if (c.result == 0) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(ValueText, Booleans) {
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

QAC_IpAddr parsed(const char* text, std::uint32_t expected_result = 0) {
    QAC_IpAddr address{};
    static OwnedText host;  // keeps the last host name alive for the caller's checks
    EXPECT_EQ(parse_address(text, &address, &host), expected_result) << text;
    return address;
}

std::vector<int> bytes(const std::uint8_t* b, int n) {
    return std::vector<int>(b, b + n);
}

TEST(ValueText, AddressForms) {
    const QAC_IpAddr host = parsed("server01");
    EXPECT_EQ(host.Form, QAC_IPADDR_HOSTNAME);
    EXPECT_EQ(host.Family, 0);
    EXPECT_STREQ(host.HostName, "server01");
    EXPECT_EQ(parsed("fe80").Form, QAC_IPADDR_HOSTNAME);

    const QAC_IpAddr v4 = parsed("192.168.000.001");
    EXPECT_EQ(v4.Form, QAC_IPADDR_NUMERIC);
    EXPECT_EQ(v4.Family, 4);
    EXPECT_EQ(v4.HostName, nullptr);
    EXPECT_EQ(bytes(v4.Address, 16),
              std::vector<int>({192, 168, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytes(parsed("010.0.0.255").Address, 4), std::vector<int>({10, 0, 0, 255}));

    const QAC_IpAddr loopback = parsed("::1");
    EXPECT_EQ(loopback.Family, 6);
    EXPECT_EQ(bytes(loopback.Address, 16),
              std::vector<int>({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(bytes(parsed("2001:db8::1").Address, 16),
              std::vector<int>({0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(bytes(parsed("1:2:3:4:5:6:7:8").Address, 16),
              std::vector<int>({0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}));
    EXPECT_EQ(bytes(parsed("1::").Address, 4), std::vector<int>({0, 1, 0, 0}));
    EXPECT_EQ(bytes(parsed("ABCD:1::2:3:4:ffff").Address, 16),
              std::vector<int>({0xab, 0xcd, 0, 1, 0, 0, 0, 0, 0, 2, 0, 3, 0, 4, 0xff, 0xff}));
    EXPECT_EQ(parsed("::").Family, 6);
}

TEST(ValueText, AddressRejections) {
    for (const char* text : {"",
                             "192.168.0",
                             "192.168.0.1/24",
                             "1.2.3.4.5",
                             "1.2.3.256",
                             "1..2.3",
                             "1.2.3.4.",
                             "1.2.3.-4",
                             " 1.2.3.4",
                             "1::2::3",
                             "::ffff:1.2.3.4",
                             "1:2:3:4:5:6:7:8:9",
                             "1:2:3:4:5:6:7",
                             "12345::",
                             "1::2:3:4:5:6:7",
                             "::1%eth0",
                             ":::",
                             "g::1",
                             "log-host",
                             "10.0.0.1/::1",
                             "10.0.0.1/",
                             "10.0.0.1/255.0.0.0/8"}) {
        const QAC_IpAddr address = parsed(text, QAC_E_PARAM);
        EXPECT_EQ(address.Form, QAC_IPADDR_EMPTY) << text;
    }
}

// The writer puts a mask after a slash; such a value must read back with its mask.
TEST(ValueText, MaskedAddressesReadBack) {
    const QAC_IpAddr v4 = parsed("10.0.0.1/255.255.255.0");
    EXPECT_EQ(bytes(v4.Address, 4), std::vector<int>({10, 0, 0, 1}));
    EXPECT_EQ(bytes(v4.Mask, 4), std::vector<int>({255, 255, 255, 0}));
    const QAC_IpAddr v6 = parsed("fe80::1/ffff:ffff::");
    EXPECT_EQ(v6.Family, 6);
    EXPECT_EQ(bytes(v6.Mask, 6), std::vector<int>({0xff, 0xff, 0xff, 0xff, 0, 0}));
}

// Whatever parses, written in the output form, parses to the same value.
TEST(ValueTextRoundTrip, Integers) {
    std::vector<std::int64_t> values = {0, 1, -1, kMin, kMin + 1, kMax, kMax - 1, 5000000000};
    std::mt19937_64 random(42);
    for (int i = 0; i < 2000; ++i) {
        values.push_back(static_cast<std::int64_t>(random()) >> (random() % 64));
    }
    for (const std::int64_t value : values) {
        const std::string text = format_integer(value);
        std::int64_t again = 0;
        ASSERT_EQ(parse_integer(text, &again), 0u) << text;
        EXPECT_EQ(again, value);
    }
}

TEST(ValueTextRoundTrip, BooleansAndAddresses) {
    for (std::uint32_t b : {0u, 1u}) {
        std::uint32_t again = 9;
        EXPECT_EQ(parse_boolean(format_boolean(b), &again), 0u);
        EXPECT_EQ(again, b);
    }
    for (const char* text :
         {"host_1", "0.0.0.0", "255.255.255.255", "10.1.2.3/255.0.0.0", "::", "::1",
          "2001:db8::8:800:200c:417a", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/ffff::"}) {
        const QAC_IpAddr first = parsed(text);
        OwnedText host;
        QAC_IpAddr again{};
        const std::string written = format_address(first);
        ASSERT_EQ(parse_address(written, &again, &host), 0u) << written;
        EXPECT_EQ(format_address(again), written);
        EXPECT_EQ(bytes(again.Address, 16), bytes(first.Address, 16)) << text;
        EXPECT_EQ(bytes(again.Mask, 16), bytes(first.Mask, 16)) << text;
    }
    EXPECT_EQ(format_address(parsed("::1")), "0000:0000:0000:0000:0000:0000:0000:0001");
    EXPECT_EQ(format_address(QAC_IpAddr{}), "");
}

}  // namespace
}  // namespace qac
