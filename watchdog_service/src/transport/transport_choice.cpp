#include "transport_choice.h"

#include <cstring>

#include "plat/error.h"
#include "plat/registry.h"
#include "simulator.h"
#ifdef __linux__
#include "device.h"
#endif
#ifdef _WIN32
#include "wmi.h"
#endif

namespace jovx::ipmi {

namespace {

constexpr char kServiceKey[] = "SOFTWARE\\VARMOTH\\KTL-OR";
constexpr char kTransportValue[] = "IpmiTransport";
constexpr char kDeviceValue[] = "IpmiDevice";

#ifdef _WIN32
constexpr TransportKind kDefaultKind = TransportKind::wmi;
#else
constexpr TransportKind kDefaultKind = TransportKind::device;
#endif

bool parse_kind(const char* name, TransportKind* kind) {
    for (TransportKind candidate :
         {TransportKind::device, TransportKind::simulator, TransportKind::wmi}) {
        if (std::strcmp(name, transport_name(candidate)) == 0) {
            *kind = candidate;
            return true;
        }
    }
    return false;
}

bool has_text(const char* text) {
    return text != nullptr && *text != '\0';
}

}  // namespace

const char* transport_name(TransportKind kind) {
    switch (kind) {
        case TransportKind::device:
            return "device";
        case TransportKind::simulator:
            return "simulator";
        case TransportKind::wmi:
            return "wmi";
    }
    return "?";
}

bool choose_transport(const char* override_name, const char* override_device,
                      TransportChoice* choice, std::string* error) {
    *choice = TransportChoice{kDefaultKind, {}};
    char name[64] = {};
    char device[260] = {};
    plat::RegistryKey key;
    const plat::Status opened = key.open(plat::RegistryRoot::local_machine, kServiceKey);
    if (opened.ok()) {
        // A value that is not there keeps the default; any other failure is reported.
        const plat::Status read_name = key.query_string(kTransportValue, name, sizeof name);
        const plat::Status read_device = key.query_string(kDeviceValue, device, sizeof device);
        for (const plat::Status& read : {read_name, read_device}) {
            if (!read.ok() && plat::classify_error(read.error) != plat::ErrorKind::not_found) {
                *error = "cannot read the IPMI transport from the registry key " +
                         std::string(kServiceKey) + " (error " + std::to_string(read.error) + ")";
                return false;
            }
        }
    } else if (plat::classify_error(opened.error) != plat::ErrorKind::not_found) {
        *error = "cannot open the registry key " + std::string(kServiceKey) + " (error " +
                 std::to_string(opened.error) + ")";
        return false;
    }
    const char* chosen = has_text(override_name) ? override_name : name;
    if (*chosen != '\0' && !parse_kind(chosen, &choice->kind)) {
        *error = "unknown IPMI transport \"" + std::string(chosen) +
                 "\" (known: device, simulator" +
                 std::string(kDefaultKind == TransportKind::wmi ? ", wmi" : "") + ")";
        return false;
    }
    choice->device = has_text(override_device) ? override_device : device;
    return true;
}

std::unique_ptr<Transport> create_transport(const TransportChoice& choice, WatchdogClock& clock,
                                            std::string* error) {
    switch (choice.kind) {
        case TransportKind::simulator:
            return std::make_unique<BmcSimulator>(clock);
        case TransportKind::device:
#ifdef __linux__
            return std::make_unique<DeviceTransport>(choice.device);
#else
            *error = "the IPMI device transport exists on Linux only";
            return nullptr;
#endif
        case TransportKind::wmi:
#ifdef _WIN32
            return std::make_unique<WmiTransport>();
#else
            *error = "the WMI transport exists on Windows only";
            return nullptr;
#endif
    }
    *error = "unknown IPMI transport";
    return nullptr;
}

}  // namespace jovx::ipmi
