#include "service/command_line.h"

#include <cstdlib>
#include <cstring>

namespace jovx {

namespace {

bool parse_seconds(const char* text, std::uint32_t* seconds) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0 || value > 31536000ul) {
        return false;
    }
    *seconds = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, ServiceOptions* options,
                        std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // Switches with a value take it as the next argument or after '='.
        std::string name = arg;
        const char* value = nullptr;
        std::string inline_value;
        if (const std::size_t equals = arg.find('=');
            arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            inline_value = arg.substr(equals + 1);
            value = inline_value.c_str();
        }
        const auto take_value = [&]() -> const char* {
            if (value == nullptr && i + 1 < argc) {
                value = argv[++i];
            }
            return value;
        };
        if (name == "--foreground" && value == nullptr) {
            options->foreground = true;
        } else if (name == "--status" && value == nullptr) {
            options->status = true;
        } else if ((name == "--help" || name == "-h") && value == nullptr) {
            options->help = true;
        } else if (name == "--version" && value == nullptr) {
            options->version = true;
        } else if (name == "--transport") {
            const char* kind = take_value();
            if (kind == nullptr || *kind == '\0') {
                *error = "--transport needs a name: device or simulator";
                return false;
            }
            options->transport = kind;
        } else if (name == "--device") {
            const char* path = take_value();
            if (path == nullptr || *path == '\0') {
                *error = "--device needs a path, such as /dev/ipmi0";
                return false;
            }
            options->device = path;
        } else if (name == "--run-seconds") {
            if (!parse_seconds(take_value(), &options->run_seconds)) {
                *error = "--run-seconds needs a whole number of seconds above 0";
                return false;
            }
        } else {
            *error = "unknown argument: " + arg;
            return false;
        }
    }
    return true;
}

const char* usage_text() {
    return "Usage: jovxwdt [switches]\n"
           "\n"
           "The watchdog service \"QKTLOR\": arms the BMC watchdog timer over IPMI and keeps\n"
           "resetting it. systemd starts it (Type=notify); from a terminal, use --foreground.\n"
           "\n"
           "  --foreground         run from a terminal: one line per BMC command, a summary\n"
           "                       at the end; Ctrl-C stops it (stopping the timer first)\n"
           "  --run-seconds N      stop by itself after N seconds\n"
           "  --transport NAME     how to reach the BMC: device (the IPMI driver) or simulator\n"
           "                       (built in); overrides the registry value IpmiTransport\n"
           "  --device PATH        the IPMI device, such as /dev/ipmi0 (registry: IpmiDevice)\n"
           "  --status             print the BMC watchdog timer's state and end\n"
           "  --version            print the version and end\n"
           "  --help               print this text and end\n"
           "\n"
           "Signals: TERM or INT stop, HUP reloads the settings, USR1 pauses, USR2 continues.\n"
           "Environment: VARMOTH_REGISTRY (registry files), VARMOTH_RUNTIME_DIR (window\n"
           "sockets, /run/varmoth), VARMOTH_SYSLOG_SOCKET (event lines, /dev/log).\n"
           "Test only: JOVXWDT_TEST_CLOCK_SPEEDUP=N runs the service's clock N times faster;\n"
           "it is honoured with the simulator transport only.\n";
}

const char* version_text() {
    return "jovxwdt 1.0.0";
}

}  // namespace jovx
