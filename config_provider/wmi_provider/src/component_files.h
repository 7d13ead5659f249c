// The work behind the provider's methods: the component list, a component's setting files
// handed out whole, and the merge of new values into a component's value file.
#pragma once

#include <string>

#include "provider_paths.h"

namespace jovaprv {

enum class ComponentFile { define, config };

Code build_component_list(std::string* document);
Code read_component_file(const char* component_name, ComponentFile which, std::string* text);
Code write_component_values(const char* component_name, const char* config_data);

// '&', '<' and '>' as markup references, so that any name or text keeps the list
// well-formed.
std::string escape_markup(const char* text);

}  // namespace jovaprv
