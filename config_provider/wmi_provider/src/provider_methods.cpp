#include "jovaprv/provider_methods.h"

#include <mutex>

#include "component_files.h"
#include "plat/sync.h"

namespace jovaprv {

namespace {

// One method at a time in a process: the store binding, the paths and a notification's
// window station switch are process-wide.
plat::RecursiveMutex& method_lock() {
    static plat::RecursiveMutex lock;
    return lock;
}

std::int32_t return_value(Code code) {
    return code == kOk ? kReturnSucceeded : kReturnFailed;
}

TextResult file_text(const char* component_name, ComponentFile which) {
    std::lock_guard<plat::RecursiveMutex> hold(method_lock());
    TextResult result;
    std::string text;
    const Code code =
        component_name == nullptr ? kCodeParam : read_component_file(component_name, which, &text);
    result.return_value = return_value(code);
    if (code == kOk) {
        result.has_text = true;
        result.text = std::move(text);
    }
    return result;
}

}  // namespace

void read_install_paths() {
    std::lock_guard<plat::RecursiveMutex> hold(method_lock());
    read_install_paths_code();
}

TextResult get_component_list() {
    std::lock_guard<plat::RecursiveMutex> hold(method_lock());
    TextResult result;
    const Code code = build_component_list(&result.text);
    result.return_value = return_value(code);
    result.has_text = true;
    if (code != kOk) {
        result.text.clear();
    }
    return result;
}

TextResult get_config_define(const char* component_name) {
    return file_text(component_name, ComponentFile::define);
}

TextResult get_config_data(const char* component_name) {
    return file_text(component_name, ComponentFile::config);
}

std::int32_t set_config_data(const char* component_name, const char* config_data) {
    std::lock_guard<plat::RecursiveMutex> hold(method_lock());
    return return_value(write_component_values(component_name, config_data));
}

}  // namespace jovaprv
