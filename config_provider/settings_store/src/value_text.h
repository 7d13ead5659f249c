// Text rules of values: identifiers, integers, TRUE/FALSE and addresses, and the matching
// output forms of the value file writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "jovacfg.h"
#include "records.h"
#include "result.h"

namespace qac {

// Space, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool is_whitespace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A letter or `_` first, then letters, digits and `_`. 0 or QAC_E_PARAM.
Result check_identifier(std::string_view text);
inline bool is_identifier(std::string_view text) {
    return check_identifier(text) == kOk;
}

// Decimal with an optional sign, octal after a leading 0, hexadecimal after 0x; surrounding
// whitespace allowed. 0, QAC_E_PARAM or QAC_E_RANGE.
Result parse_integer(std::string_view text, std::int64_t* value);

// TRUE or FALSE in any case, nothing around it. 0 or QAC_E_PARAM.
Result parse_boolean(std::string_view text, std::uint32_t* value);

// A host name, an IPv4 or an IPv6 address, optionally followed by "/" and a mask in the same
// notation (the form the writer produces for masked addresses). The host name is a fresh
// copy held by *host_name; address->HostName points to it. 0, QAC_E_PARAM or QAC_E_NOMEM.
Result parse_address(std::string_view text, QAC_IpAddr* address, OwnedText* host_name);

// Output forms, as the value file writer puts them.
std::string format_integer(std::int64_t value);
std::string_view format_boolean(std::uint32_t value);
std::string format_address(const QAC_IpAddr& address);

}  // namespace qac
