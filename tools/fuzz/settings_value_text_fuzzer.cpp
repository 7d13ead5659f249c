// The value text rules. Whatever parses must come back unchanged through its output form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "value_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const bool identifier = qac::is_identifier(text);

    std::int64_t number = 0;
    if (qac::parse_integer(text, &number) == 0) {
        std::int64_t again = 0;
        if (qac::parse_integer(qac::format_integer(number), &again) != 0 || again != number) {
            std::abort();
        }
    }

    std::uint32_t flag = 0;
    if (qac::parse_boolean(text, &flag) == 0) {
        std::uint32_t again = 2;
        if (flag > 1 || qac::parse_boolean(qac::format_boolean(flag), &again) != 0 ||
            again != flag) {
            std::abort();
        }
    }

    QAC_IpAddr address{};
    qac::OwnedText host;
    const qac::Result parsed = qac::parse_address(text, &address, &host);
    if ((address.Form == QAC_IPADDR_HOSTNAME) != identifier) {
        std::abort();
    }
    if (parsed == 0) {
        const std::string written = qac::format_address(address);
        QAC_IpAddr again{};
        qac::OwnedText again_host;
        if (qac::parse_address(written, &again, &again_host) != 0 || again.Form != address.Form ||
            again.Family != address.Family ||
            std::memcmp(again.Address, address.Address, 16) != 0 ||
            std::memcmp(again.Mask, address.Mask, 16) != 0 ||
            qac::format_address(again) != written) {
            std::abort();
        }
        if (identifier && written != text) {
            std::abort();
        }
    }
    return 0;
}
