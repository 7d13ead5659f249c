// The configuration provider's four methods, as every host calls them (the command-line
// tool, the D-Bus service, the COM server). Each call runs alone in its process; failures
// leave one "ERROR:..." line each on standard error and a ReturnValue of kReturnFailed.
#pragma once

#include <cstdint>
#include <string>

namespace jovaprv {

constexpr std::int32_t kReturnSucceeded = 0;
constexpr std::int32_t kReturnFailed = static_cast<std::int32_t>(0x80041001);  // WBEM_E_FAILED

struct TextResult {
    std::int32_t return_value = kReturnFailed;
    bool has_text = false;  // false: the out parameter stays unset
    std::string text;       // UTF-8
};

// Reads the installation paths from the registry, as the provider's initialisation does; the
// methods use what the last call found.
void read_install_paths();

// The component list document; has_text always (an empty text when it cannot be built).
TextResult get_component_list();

// The whole text of a component's definition file or value file; nullptr is a missing name.
TextResult get_config_define(const char* component_name);
TextResult get_config_data(const char* component_name);

// Merges the values of config_data into the component's value file, keeping the previous
// values beside it, and notifies the component once the new file is in place.
std::int32_t set_config_data(const char* component_name, const char* config_data);

}  // namespace jovaprv
