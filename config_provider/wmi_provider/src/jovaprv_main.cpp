// jovaprv: the configuration provider's methods from the command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "jovaprv/provider_methods.h"
#include "plat/file.h"

namespace {

// Exit codes.
constexpr int kExitSucceeded = 0;
constexpr int kExitFailed = 1;  // the method failed (the ReturnValue was 0x80041001)
constexpr int kExitUsage = 2;   // unknown command, missing or extra arguments
constexpr int kExitInput = 3;   // the new values could not be read

// New value documents are refused by the provider beyond 16 MiB; reading stops just past it.
constexpr std::size_t kInputLimit = (16u << 20) + 1;

constexpr char kUsage[] =
    "Usage: jovaprv COMMAND [ARGUMENTS]\n"
    "Lists the installed components and reads or changes their settings.\n"
    "\n"
    "  list              print the component list document\n"
    "  define NAME       print the component's setting definition file\n"
    "  get NAME          print the component's value file\n"
    "  set NAME FILE     merge the values of FILE ('-': standard input) into the component's\n"
    "                    value file, keep the previous values in its .old file beside it and\n"
    "                    notify the component\n"
    "  --help            print this text\n"
    "  --version         print the version\n"
    "\n"
    "Reasons for a failure go to standard error as ERROR: lines.\n"
    "Exit status: 0 success, 1 the provider failed, 2 wrong usage, 3 FILE cannot be read.\n";

int print_text(const jovaprv::TextResult& result) {
    if (result.has_text && !result.text.empty()) {
        plat::write_standard_output(result.text.data(), result.text.size());
    }
    return result.return_value == jovaprv::kReturnSucceeded ? kExitSucceeded : kExitFailed;
}

bool read_input(const char* name, std::string* text) {
    const bool standard_input = std::strcmp(name, "-") == 0;
    std::FILE* file = standard_input ? stdin : std::fopen(name, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "jovaprv: cannot open %s\n", name);
        return false;
    }
    char piece[65536];
    std::size_t got;
    while (text->size() < kInputLimit && (got = std::fread(piece, 1, sizeof piece, file)) > 0) {
        text->append(piece, got);
    }
    const bool failed = std::ferror(file) != 0;
    if (!standard_input) {
        std::fclose(file);
    }
    if (failed) {
        std::fprintf(stderr, "jovaprv: cannot read %s\n", name);
        return false;
    }
    // A NUL would end the document early: the store reads it as a C string.
    if (text->find('\0') != std::string::npos) {
        std::fprintf(stderr, "jovaprv: %s holds a NUL byte\n", name);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const auto is = [&](int index, const char* word) {
        return argc > index && std::strcmp(argv[index], word) == 0;
    };
    if (is(1, "--help") && argc == 2) {
        std::fputs(kUsage, stdout);
        return kExitSucceeded;
    }
    if (is(1, "--version") && argc == 2) {
        std::printf("jovaprv %s\n", JOVAPRV_VERSION);
        return kExitSucceeded;
    }
    if (is(1, "list") && argc == 2) {
        jovaprv::read_install_paths();
        return print_text(jovaprv::get_component_list());
    }
    if (is(1, "define") && argc == 3) {
        jovaprv::read_install_paths();
        return print_text(jovaprv::get_config_define(argv[2]));
    }
    if (is(1, "get") && argc == 3) {
        jovaprv::read_install_paths();
        return print_text(jovaprv::get_config_data(argv[2]));
    }
    if (is(1, "set") && argc == 4) {
        std::string values;
        if (!read_input(argv[3], &values)) {
            return kExitInput;
        }
        jovaprv::read_install_paths();
        return jovaprv::set_config_data(argv[2], values.c_str()) == jovaprv::kReturnSucceeded
                   ? kExitSucceeded
                   : kExitFailed;
    }
    std::fputs(kUsage, stderr);
    return kExitUsage;
}
