#include "provider_paths.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <type_traits>
#include <vector>

#include "plat/registry.h"
#include "plat/text.h"

namespace jovaprv {

namespace {

// Characters as the Windows calls count them: UTF-16 units.
std::size_t utf16_length(const std::string& text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) {
            units += byte >= 0xF0 ? 2 : 1;
        }
    }
    return units;
}

// Cut to the 260-character buffers the paths live in, never inside a character.
std::string cut_to_path(const std::string& text) {
    std::size_t keep = text.size();
    while (utf16_length(text.substr(0, keep)) > kMaxPathLength) {
        keep = plat::utf8_safe_cut(text.c_str(), text.size(), keep - 1);
    }
    return text.substr(0, keep);
}

Code system_code(plat::ErrorCode error) {
    return kCodeSystem | (error & 0xFFFF);
}

struct RootName {
    const char* name;
    plat::RegistryRoot root;
};
constexpr RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", plat::RegistryRoot::classes_root},
    {"HKEY_CURRENT_CONFIG", plat::RegistryRoot::current_config},
    {"HKEY_CURRENT_USER", plat::RegistryRoot::current_user},
    {"HKEY_LOCAL_MACHINE", plat::RegistryRoot::local_machine},
    {"HKEY_USERS", plat::RegistryRoot::users},
};

// Registry values read for a reference: at most this much data.
constexpr std::size_t kReferenceDataBytes = 520;

}  // namespace

InstallPaths& install_paths() {
    static InstallPaths paths;
    return paths;
}

bool parse_subkey_number(const char* name, std::int32_t* number) {
    const char* p = name;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p == '+') {
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    std::int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) {
            return false;
        }
    }
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p != '\0') {
        return false;
    }
    *number = static_cast<std::int32_t>(value);
    return true;
}

Code read_install_paths_code() {
    InstallPaths& paths = install_paths();
    paths.component_key = std::string(kProductKey) + "\\" + kComponentKeyName;
    plat::RegistryKey product;
    if (!product.open(plat::RegistryRoot::local_machine, kProductKey).ok()) {
        return kCodeParam;
    }
    std::int32_t largest = 0;
    for (std::uint32_t index = 0;; ++index) {
        char name[256];
        if (!product.subkey_name(index, name, sizeof name).ok()) {
            break;
        }
        std::int32_t number = 0;
        if (parse_subkey_number(name, &number) && number > largest) {
            largest = number;
        }
    }
    if (largest <= 0) {
        return kCodeParam;
    }
    char location[64];
    plat::format_cut(location, sizeof location, "%04d\\%s", static_cast<int>(largest), "PathName");
    plat::RegistryKey path_key;
    plat::RegistryType type = plat::RegistryType::none;
    std::size_t size = 0;
    if (!path_key.open(product, location).ok() ||
        !path_key.query_value("Path00", &type, nullptr, &size).ok() ||
        type != plat::RegistryType::string) {
        return kCodeParam;
    }
    std::vector<char> data(size + 1, '\0');
    if (!path_key.query_string("Path00", data.data(), data.size()).ok()) {
        return kCodeParam;
    }
    std::string bin;
    Code code = join_path(data.data(), "bin", &bin);
    std::string root;
    if (code == kOk) {
        code = parent_path(bin, &root);
    }
    std::string lib, cnf, log;
    if (code == kOk) {
        code = join_path(root, "lib", &lib);
    }
    if (code == kOk) {
        code = join_path(root, "cnf", &cnf);
    }
    if (code == kOk) {
        code = join_path(root, "log", &log);
    }
    if (code == kOk) {
        paths.bin = bin;
        paths.lib = lib;
        paths.cnf = cnf;
        paths.log = log;
    }
    return code;
}

Code find_registration_file(const char* component_name, std::string* path) {
    if (component_name == nullptr || path == nullptr) {
        return kCodeParam;
    }
    plat::RegistryKey key;
    if (!key.open(plat::RegistryRoot::local_machine, install_paths().component_key.c_str()).ok()) {
        return kCodeParam;
    }
    plat::RegistryType type = plat::RegistryType::none;
    std::size_t size = 0;
    if (!key.query_value(component_name, &type, nullptr, &size).ok()) {
        return kCodeRegistry;
    }
    if (type != plat::RegistryType::string) {
        return kCodeParam;
    }
    std::vector<char> data(size + 1, '\0');
    if (!key.query_string(component_name, data.data(), data.size()).ok()) {
        return kCodeRegistry;
    }
    *path = cut_to_path(data.data());
    return kOk;
}

Code expand_registry_references(const char* text, std::string* expanded) {
    if (text == nullptr || expanded == nullptr) {
        return kCodeParam;
    }
    const std::string input(text);
    *expanded = cut_to_path(input);
    const std::size_t open = input.find('[');
    const std::size_t close = open == std::string::npos ? open : input.find(']', open + 1);
    if (close == std::string::npos) {
        return kOk;
    }
    const std::string reference = input.substr(open + 1, close - open - 1);
    const std::size_t first = reference.find('\\');
    if (first == std::string::npos) {
        return kOk;
    }
    const std::size_t last = reference.rfind('\\');
    const std::string root_name = reference.substr(0, first);
    const std::string subkey = last > first ? reference.substr(first + 1, last - first - 1) : "";
    const std::string value_name = reference.substr(last + 1);
    const RootName* root = nullptr;
    for (const RootName& candidate : kRoots) {
        if (root_name == candidate.name) {
            root = &candidate;
        }
    }
    if (root == nullptr) {
        return kOk;
    }
    Code code = kOk;
    std::string data;
    plat::RegistryKey key;
    plat::RegistryType type = plat::RegistryType::none;
    std::size_t size = 0;
    if (!key.open(root->root, subkey.c_str()).ok() ||
        !key.query_value(value_name.c_str(), &type, nullptr, &size).ok()) {
        code = kCodeRegistry;
    } else {
        // Data beyond what a reference takes is left out; the path is cut anyway.
        std::vector<char> buffer(size + 1, '\0');
        std::size_t got = buffer.size();
        if (!key.query_value(value_name.c_str(), &type, buffer.data(), &got).ok()) {
            code = kCodeRegistry;
        } else {
            data.assign(buffer.data(),
                        plat::bounded_length(buffer.data(), std::min(got, kReferenceDataBytes)));
        }
    }
    *expanded = cut_to_path(input.substr(0, open) + data + input.substr(close + 1));
    return code;
}

Code join_path(const std::string& directory, const char* name, std::string* joined) {
    std::string result = directory;
    if (result.empty() || !plat::is_path_separator(result.back())) {
        result += plat::kPathSeparator;
    }
    result += name;
    if (utf16_length(result) > kMaxPathLength) {
        return kCodeRange;
    }
    *joined = result;
    return kOk;
}

Code parent_path(const std::string& path, std::string* parent) {
    std::size_t end = path.size();
    while (end > 1 && plat::is_path_separator(path[end - 1])) {
        --end;
    }
    std::size_t cut = end;
    while (cut > 0 && !plat::is_path_separator(path[cut - 1])) {
        --cut;
    }
    if (cut == 0 || cut == end) {
        return kCodeParam;
    }
    // Keep the root's separator ("/bin" gives "/", "C:\bin" gives "C:\").
    std::size_t keep = cut - 1;
    while (keep > 0 && plat::is_path_separator(path[keep - 1])) {
        --keep;
    }
    if (keep == 0 || path[keep - 1] == ':') {
        keep = cut;
    }
    *parent = path.substr(0, keep);
    return kOk;
}

Code open_for_reading(const char* path, plat::File* file) {
    const plat::Status status = file->open(
        path, plat::Access::read, plat::Disposition::open_existing, plat::Share::read_write);
    if (status.ok()) {
        return kOk;
    }
    return plat::classify_error(status.error) == plat::ErrorKind::busy
               ? kCodeBusy | (status.error & 0xFFFF)
               : system_code(status.error);
}

Code replace_file(const char* source, const char* target) {
    const plat::Status status = plat::replace_file(source, target);
    return status.ok() ? kOk : system_code(status.error);
}

Code Store::bind() {
    if (bound()) {
        return kOk;
    }
    char file_name[64];
    std::string path;
    if (join_path(install_paths().lib,
                  plat::shared_library_file_name("jovacfg", file_name, sizeof file_name),
                  &path) != kOk) {
        return kCodeStore;
    }
    return bind_path(path.c_str());
}

Code Store::bind_path(const char* path) {
    if (bound()) {
        return kOk;
    }
    if (!library_.load(path).ok()) {
        return kCodeStore;
    }
    bool complete = true;
    const auto resolve = [&](auto* slot, const char* name) {
        *slot = reinterpret_cast<std::remove_reference_t<decltype(*slot)>>(library_.symbol(name));
        complete = complete && *slot != nullptr;
    };
#define JOVAPRV_STORE_RESOLVE(name) resolve(&name, "QAC_" #name);
    JOVAPRV_STORE_EXPORTS(JOVAPRV_STORE_RESOLVE)
#undef JOVAPRV_STORE_RESOLVE
    if (!complete) {
        release();
        return kCodeStore;
    }
    return kOk;
}

void Store::release() {
    library_.unload();
#define JOVAPRV_STORE_CLEAR(name) name = nullptr;
    JOVAPRV_STORE_EXPORTS(JOVAPRV_STORE_CLEAR)
#undef JOVAPRV_STORE_CLEAR
}

}  // namespace jovaprv
