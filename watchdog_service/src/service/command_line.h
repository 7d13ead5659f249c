// The program's switches.
#pragma once

#include <cstdint>
#include <string>

namespace jovx {

struct ServiceOptions {
    bool foreground = false;  // run from a terminal, without a service manager
    bool status = false;      // print the BMC watchdog's state and end
    bool help = false;
    bool version = false;
    std::string transport;          // overrides the registry's IpmiTransport
    std::string device;             // overrides the registry's IpmiDevice
    std::uint32_t run_seconds = 0;  // stop by itself after that long; 0: run until stopped
};

// false with a message in *error for an unknown switch or a bad value.
bool parse_command_line(int argc, const char* const* argv, ServiceOptions* options,
                        std::string* error);

const char* usage_text();
const char* version_text();

// The test-only clock speed-up: honoured only with the simulator transport, read from this
// environment variable.
inline constexpr char kSpeedUpVariable[] = "JOVXWDT_TEST_CLOCK_SPEEDUP";

}  // namespace jovx
