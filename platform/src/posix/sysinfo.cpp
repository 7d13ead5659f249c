#include "plat/sysinfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "plat/text.h"

namespace plat {

bool computer_name(char* buffer, std::size_t capacity) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return false;
    }
    copy_cut(buffer, capacity, name);
    return true;
}

bool operating_system_text(char* buffer, std::size_t capacity) {
    utsname names{};
    if (uname(&names) != 0) {
        return false;
    }
    format_cut(buffer, capacity, "%s %s %s", names.sysname, names.release, names.machine);
    return true;
}

namespace {

struct LanguageId {
    const char* prefix;  // language, or language_territory
    std::uint16_t id;
};

// Most specific entries first: a territory entry wins over its language's entry.
constexpr LanguageId kLanguages[] = {
    {"en_GB", 0x0809}, {"en_AU", 0x0c09}, {"en_CA", 0x1009}, {"pt_BR", 0x0416}, {"zh_TW", 0x0404},
    {"zh_HK", 0x0c04}, {"de_AT", 0x0c07}, {"de_CH", 0x0807}, {"fr_CA", 0x0c0c}, {"fr_BE", 0x080c},
    {"es_MX", 0x080a}, {"en", 0x0409},    {"ja", 0x0411},    {"de", 0x0407},    {"fr", 0x040c},
    {"es", 0x0c0a},    {"it", 0x0410},    {"pt", 0x0816},    {"zh", 0x0804},    {"ko", 0x0412},
    {"nl", 0x0413},    {"sv", 0x041d},    {"fi", 0x040b},    {"da", 0x0406},    {"nb", 0x0414},
    {"pl", 0x0415},    {"cs", 0x0405},    {"ru", 0x0419},    {"tr", 0x041f},    {"el", 0x0408},
    {"hu", 0x040e},
};

const char* locale_name() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0') {
            return value;
        }
    }
    return nullptr;
}

}  // namespace

std::uint16_t default_language_id() {
    constexpr std::uint16_t kEnglishUs = 0x0409;
    const char* name = locale_name();
    if (name == nullptr) {
        return kEnglishUs;
    }
    for (const LanguageId& language : kLanguages) {
        const std::size_t n = std::strlen(language.prefix);
        const char next = name[n];
        if (std::strncmp(name, language.prefix, n) == 0 &&
            (next == '\0' || next == '_' || next == '.' || next == '@')) {
            return language.id;
        }
    }
    return kEnglishUs;
}

}  // namespace plat
