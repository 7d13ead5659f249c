// Which transport reaches the BMC: the registry value "IpmiTransport" under the service's
// key ("device", "simulator"; on Windows also "wmi") and "IpmiDevice" for the device path,
// or a command-line switch that overrides them. An unknown name is an error: there is never
// a silent fallback to another transport.
#pragma once

#include <memory>
#include <string>

#include "ipmi_transport.h"
#include "watchdog_clock.h"

namespace jovx::ipmi {

enum class TransportKind { device, simulator, wmi };

struct TransportChoice {
    TransportKind kind = TransportKind::device;
    std::string device;  // device transport: empty tries the usual device paths
};

const char* transport_name(TransportKind kind);

// Reads the choice from the registry; a non-empty override_name or override_device wins.
// false with a message in *error when the name is unknown or the registry cannot be read.
bool choose_transport(const char* override_name, const char* override_device,
                      TransportChoice* choice, std::string* error);

// The transport of that choice; null with a message when it is not available here.
std::unique_ptr<Transport> create_transport(const TransportChoice& choice, WatchdogClock& clock,
                                            std::string* error);

}  // namespace jovx::ipmi
