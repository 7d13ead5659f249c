#include "value_text.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>

#include "plat/text.h"

namespace qac {

namespace {

constexpr bool is_letter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

constexpr bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// 0..35 for digits and letters of either case, 36 for anything else.
constexpr unsigned digit_value(unsigned char c) {
    if (is_digit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 36;
}

std::size_t skip_whitespace(std::string_view text, std::size_t at) {
    while (at < text.size() && is_whitespace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    return at;
}

bool equals_ignoring_case(std::string_view text, std::string_view upper) {
    if (text.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 'a' && c <= 'z') {
            c = static_cast<unsigned char>(c - 'a' + 'A');
        }
        if (c != static_cast<unsigned char>(upper[i])) {
            return false;
        }
    }
    return true;
}

bool parse_ipv4(std::string_view text, std::uint8_t* bytes) {
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
        const std::size_t start = at;
        unsigned value = 0;
        while (at < text.size() && is_digit(static_cast<unsigned char>(text[at]))) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            if (value > 255) {
                return false;
            }
            ++at;
        }
        if (at == start) {
            return false;
        }
        bytes[part] = static_cast<std::uint8_t>(value);
    }
    return at == text.size();
}

// Groups of zero to four hexadecimal digits between colons. An empty group between two
// colons is the compression point (at most one): then 3 to 7 groups, counting the empty
// ones, else exactly 8. An empty first or last group stands for a zero group.
bool parse_ipv6(std::string_view text, std::uint8_t* bytes) {
    constexpr int kMaxGroups = 8;
    std::array<std::uint16_t, kMaxGroups + 1> groups{};
    int count = 0;
    int compression = -1;
    std::size_t at = 0;
    while (true) {
        if (count > kMaxGroups) {
            return false;
        }
        const std::size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] != ':') {
            const unsigned digit = digit_value(static_cast<unsigned char>(text[at]));
            if (digit > 15 || at - start == 4) {
                return false;
            }
            value = value * 16 + digit;
            ++at;
        }
        const bool empty = at == start;
        const bool last = at == text.size();
        if (empty && count > 0 && !last) {
            if (compression >= 0) {
                return false;
            }
            compression = count;
        }
        groups[count++] = static_cast<std::uint16_t>(value);
        if (last) {
            break;
        }
        ++at;  // the colon
    }
    const auto put = [bytes](int slot, std::uint16_t group) {
        bytes[2 * slot] = static_cast<std::uint8_t>(group >> 8);
        bytes[2 * slot + 1] = static_cast<std::uint8_t>(group & 0xFF);
    };
    if (compression < 0) {
        if (count != kMaxGroups) {
            return false;
        }
        for (int i = 0; i < kMaxGroups; ++i) {
            put(i, groups[i]);
        }
        return true;
    }
    if (count < 3 || count > 7) {
        return false;
    }
    for (int i = 0; i < compression; ++i) {
        put(i, groups[i]);
    }
    const int after = count - compression - 1;
    for (int i = 0; i < after; ++i) {
        put(kMaxGroups - after + i, groups[compression + 1 + i]);
    }
    return true;
}

// A numeric address; family 4 or 6, or 0 when the text is neither.
int parse_numeric(std::string_view text, std::uint8_t* bytes) {
    if (parse_ipv4(text, bytes)) {
        return 4;
    }
    std::memset(bytes, 0, 16);
    if (parse_ipv6(text, bytes)) {
        return 6;
    }
    std::memset(bytes, 0, 16);
    return 0;
}

}  // namespace

Result check_identifier(std::string_view text) {
    if (text.empty()) {
        return QAC_E_PARAM;
    }
    const auto first = static_cast<unsigned char>(text[0]);
    if (!is_letter(first) && first != '_') {
        return QAC_E_PARAM;
    }
    for (const char ch : text.substr(1)) {
        const auto c = static_cast<unsigned char>(ch);
        if (!is_letter(c) && !is_digit(c) && c != '_') {
            return QAC_E_PARAM;
        }
    }
    return kOk;
}

Result parse_integer(std::string_view text, std::int64_t* value) {
    std::size_t at = skip_whitespace(text, 0);
    unsigned base = 10;
    if (at < text.size() && text[at] == '0' && at + 1 < text.size()) {
        if (text[at + 1] == 'x' || text[at + 1] == 'X') {
            base = 16;
            at += 2;
        } else {
            base = 8;
            at += 1;
        }
    }
    bool negative = false;
    if (base == 10 && at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    at = skip_whitespace(text, at);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    // The largest magnitude that takes one more digit, and the largest digit it then takes.
    // Spelled out per base, so that each is a constant rather than a division per call.
    const std::uint64_t last_full = base == 10 ? kMax / 10 : base == 16 ? kMax / 16 : kMax / 8;
    const unsigned last_digit = static_cast<unsigned>(base == 10   ? kMax % 10
                                                      : base == 16 ? kMax % 16
                                                                   : kMax % 8);
    std::uint64_t magnitude = 0;
    // Decimal digits while no overflow is possible, without the checks below.
    while (at < text.size() && magnitude < last_full) {
        const unsigned digit = static_cast<unsigned char>(text[at]) - unsigned{'0'};
        if (digit > 9 || digit >= base) {
            break;
        }
        magnitude = magnitude * base + digit;
        ++at;
    }
    while (at < text.size()) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (!is_letter(c) && !is_digit(c)) {
            break;
        }
        const unsigned digit = digit_value(c);
        if (digit >= base) {
            return QAC_E_PARAM;
        }
        if (magnitude > last_full || (magnitude == last_full && digit > last_digit)) {
            return QAC_E_RANGE;
        }
        magnitude = magnitude * base + digit;
        ++at;
    }
    if (skip_whitespace(text, at) != text.size()) {
        return QAC_E_PARAM;
    }
    constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();
    if (magnitude > kMaxPositive + (negative ? 1 : 0)) {
        return QAC_E_RANGE;
    }
    if (negative) {
        // Negate in unsigned arithmetic so that the smallest value does not overflow.
        *value = static_cast<std::int64_t>(0 - magnitude);
    } else {
        *value = static_cast<std::int64_t>(magnitude);
    }
    return kOk;
}

Result parse_boolean(std::string_view text, std::uint32_t* value) {
    if (equals_ignoring_case(text, "TRUE")) {
        *value = 1;
        return kOk;
    }
    if (equals_ignoring_case(text, "FALSE")) {
        *value = 0;
        return kOk;
    }
    return QAC_E_PARAM;
}

Result parse_address(std::string_view text, QAC_IpAddr* address, OwnedText* host_name) {
    *address = QAC_IpAddr{};
    host_name->reset();
    if (is_identifier(text)) {
        try {
            *host_name = make_text(text);
        } catch (const std::bad_alloc&) {
            return QAC_E_NOMEM;
        }
        address->Form = QAC_IPADDR_HOSTNAME;
        address->HostName = host_name->get();
        return kOk;
    }
    int family = parse_numeric(text, address->Address);
    if (family == 0) {
        const std::size_t slash = text.find('/');
        if (slash == std::string_view::npos) {
            return QAC_E_PARAM;
        }
        family = parse_numeric(text.substr(0, slash), address->Address);
        if (family == 0 || parse_numeric(text.substr(slash + 1), address->Mask) != family) {
            *address = QAC_IpAddr{};
            return QAC_E_PARAM;
        }
    }
    address->Form = QAC_IPADDR_NUMERIC;
    address->Family = static_cast<std::uint16_t>(family);
    return kOk;
}

std::string format_integer(std::int64_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

std::string_view format_boolean(std::uint32_t value) {
    return value != 0 ? "TRUE" : "FALSE";
}

std::string format_address(const QAC_IpAddr& address) {
    if (address.Form == QAC_IPADDR_HOSTNAME) {
        return address.HostName != nullptr ? std::string(address.HostName) : std::string();
    }
    if (address.Form != QAC_IPADDR_NUMERIC) {
        return {};
    }
    const auto is_zero = [](const std::uint8_t* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (bytes[i] != 0) {
                return false;
            }
        }
        return true;
    };
    // The longest form, an IPv6 address with its mask, takes 79 bytes.
    char buffer[96];
    std::size_t length = 0;
    if (address.Family == 4) {
        const std::uint8_t* a = address.Address;
        const std::uint8_t* m = address.Mask;
        length = plat::format_cut(buffer, sizeof buffer, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
        if (!is_zero(m, 4)) {
            length += plat::format_cut(buffer + length, sizeof buffer - length, "/%d.%d.%d.%d",
                                       m[0], m[1], m[2], m[3]);
        }
    } else if (address.Family == 6) {
        const auto groups = [&](const std::uint8_t* b) {
            length += plat::format_cut(
                buffer + length, sizeof buffer - length,
                "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
        };
        groups(address.Address);
        if (!is_zero(address.Mask, 16)) {
            length += plat::format_cut(buffer + length, sizeof buffer - length, "/");
            groups(address.Mask);
        }
    }
    return std::string(buffer, length);
}

}  // namespace qac
