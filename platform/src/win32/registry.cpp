// The registry itself. Keys open in the 64-bit view, so that the 32-bit builds find what a
// 64-bit installation wrote.
#include "plat/registry.h"

#include <windows.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "../common/registry_model.h"
#include "plat/text.h"

namespace plat {

struct RegistryKey::State {
    HKEY key = nullptr;

    State() = default;
    ~State() {
        if (key != nullptr) {
            RegCloseKey(key);
        }
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr DWORD kTypeString = static_cast<DWORD>(RegistryType::string);
constexpr DWORD kTypeExpandString = static_cast<DWORD>(RegistryType::expand_string);
constexpr std::size_t kMaxDataSize = 0xFFFFFFFFu;

Status result_of(LSTATUS status) {
    return status == ERROR_SUCCESS ? Status::success()
                                   : Status::failure(static_cast<ErrorCode>(status));
}

Status invalid() {
    return Status::failure(ERROR_INVALID_PARAMETER);
}

HKEY root_key(RegistryRoot root) {
    switch (root) {
        case RegistryRoot::classes_root:
            return HKEY_CLASSES_ROOT;
        case RegistryRoot::current_user:
            return HKEY_CURRENT_USER;
        case RegistryRoot::local_machine:
            return HKEY_LOCAL_MACHINE;
        case RegistryRoot::users:
            return HKEY_USERS;
        case RegistryRoot::current_config:
            return HKEY_CURRENT_CONFIG;
    }
    return nullptr;
}

// The same path rules as the file-backed registry: no empty or over-long key names.
bool valid_path(const char* path) {
    reg::Path parts;
    return reg::split_path(path, &parts);
}

const char* path_or_empty(const char* path) {
    return path != nullptr ? path : "";
}

DWORD capacity_of(std::size_t capacity) {
    return capacity < kMaxDataSize ? static_cast<DWORD>(capacity)
                                   : static_cast<DWORD>(kMaxDataSize);
}

// No allocation failure may escape the platform layer as an exception.
template <typename Body>
Status guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Status::failure(ERROR_NOT_ENOUGH_MEMORY);
    }
}

Status open_key(HKEY parent, const char* path, RegistryAccess access,
                std::unique_ptr<RegistryKey::State>* out) {
    return guarded([&] {
        if (parent == nullptr || !valid_path(path_or_empty(path))) {
            return invalid();
        }
        auto state = std::make_unique<RegistryKey::State>();
        const REGSAM rights =
            access == RegistryAccess::read_write ? KEY_READ | KEY_WRITE : KEY_READ;
        const Status status =
            result_of(RegOpenKeyExA(parent, path_or_empty(path), 0, rights | kView, &state->key));
        if (status.ok()) {
            *out = std::move(state);
        }
        return status;
    });
}

Status create_key(HKEY parent, const char* path, bool* created,
                  std::unique_ptr<RegistryKey::State>* out) {
    if (created != nullptr) {
        *created = false;
    }
    return guarded([&] {
        if (parent == nullptr || !valid_path(path_or_empty(path))) {
            return invalid();
        }
        auto state = std::make_unique<RegistryKey::State>();
        DWORD disposition = 0;
        const Status status = result_of(
            RegCreateKeyExA(parent, path_or_empty(path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE | kView, nullptr, &state->key, &disposition));
        if (status.ok()) {
            *out = std::move(state);
            if (created != nullptr) {
                *created = disposition == REG_CREATED_NEW_KEY;
            }
        }
        return status;
    });
}

// The raw data of a value, read again while it grows between the size query and the read.
Status read_raw(HKEY key, const char* name, DWORD* type, std::vector<char>* data) {
    DWORD size = 0;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        // Never empty, so that the read below is a read and not another size query.
        data->resize(static_cast<std::size_t>(size) + 1);
        DWORD got = static_cast<DWORD>(data->size());
        status =
            RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data->data()), &got);
        if (status == ERROR_SUCCESS) {
            data->resize(got);
            return Status::success();
        }
        size = got > size ? got : size + 256;
    }
    return result_of(status);
}

bool is_string_type(DWORD type) {
    return type == kTypeString || type == kTypeExpandString;
}

// Hands out a value as query_value promises: strings end at their first terminator, which
// the stored data may lack, and always come with one.
Status deliver(DWORD raw_type, const std::vector<char>& raw, RegistryType* type, void* data,
               std::size_t* size) {
    const bool terminated = is_string_type(raw_type);
    const std::size_t length = terminated ? bounded_length(raw.data(), raw.size()) : raw.size();
    const std::size_t needed = length + (terminated ? 1 : 0);
    if (type != nullptr) {
        *type = static_cast<RegistryType>(raw_type);
    }
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return Status::failure(registry_more_data_error());
        }
        if (length != 0) {
            std::memcpy(data, raw.data(), length);
        }
        if (terminated) {
            static_cast<char*>(data)[length] = '\0';
        }
    }
    if (size != nullptr) {
        *size = needed;
    }
    return Status::success();
}

}  // namespace

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&& other) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept = default;

bool RegistryKey::is_open() const {
    return state_ != nullptr;
}

void RegistryKey::close() {
    state_.reset();
}

Status RegistryKey::open(RegistryRoot root, const char* path, RegistryAccess access) {
    close();
    return open_key(root_key(root), path, access, &state_);
}

Status RegistryKey::open(const RegistryKey& parent, const char* subkey, RegistryAccess access) {
    if (this == &parent) {
        return invalid();
    }
    close();
    if (parent.state_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    return open_key(parent.state_->key, subkey, access, &state_);
}

Status RegistryKey::create(RegistryRoot root, const char* path, bool* created) {
    close();
    return create_key(root_key(root), path, created, &state_);
}

Status RegistryKey::create(const RegistryKey& parent, const char* subkey, bool* created) {
    if (this == &parent) {
        return invalid();
    }
    close();
    if (parent.state_ == nullptr) {
        if (created != nullptr) {
            *created = false;
        }
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    return create_key(parent.state_->key, subkey, created, &state_);
}

Status RegistryKey::query_value(const char* name, RegistryType* type, void* data,
                                std::size_t* size) const {
    if (state_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    if (size == nullptr && data != nullptr) {
        return invalid();
    }
    return guarded([&] {
        DWORD raw_type = REG_NONE;
        std::vector<char> raw;
        const Status read = read_raw(state_->key, name, &raw_type, &raw);
        return read.ok() ? deliver(raw_type, raw, type, data, size) : read;
    });
}

Status RegistryKey::query_string(const char* name, char* buffer, std::size_t capacity) const {
    if (state_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    if (buffer == nullptr || capacity == 0) {
        return invalid();
    }
    return guarded([&] {
        DWORD raw_type = REG_NONE;
        std::vector<char> raw;
        const Status read = read_raw(state_->key, name, &raw_type, &raw);
        if (!read.ok()) {
            return read;
        }
        if (!is_string_type(raw_type)) {
            return Status::failure(ERROR_INVALID_DATATYPE);
        }
        std::size_t size = capacity;
        return deliver(raw_type, raw, nullptr, buffer, &size);
    });
}

Status RegistryKey::query_dword(const char* name, std::uint32_t* value) const {
    if (value == nullptr) {
        return invalid();
    }
    RegistryType type = RegistryType::none;
    unsigned char bytes[4];
    std::size_t size = sizeof bytes;
    const Status status = query_value(name, &type, bytes, &size);
    if (status.error == registry_more_data_error() ||
        (status.ok() && (type != RegistryType::dword || size != sizeof bytes))) {
        return Status::failure(ERROR_INVALID_DATATYPE);
    }
    if (status.ok()) {
        *value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                 static_cast<std::uint32_t>(bytes[2]) << 16 |
                 static_cast<std::uint32_t>(bytes[3]) << 24;
    }
    return status;
}

Status RegistryKey::subkey_count(std::uint32_t* count) const {
    if (state_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    DWORD subkeys = 0;
    const Status status =
        result_of(RegQueryInfoKeyA(state_->key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    if (status.ok()) {
        *count = subkeys;
    }
    return status;
}

Status RegistryKey::value_count(std::uint32_t* count) const {
    if (state_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    DWORD values = 0;
    const Status status =
        result_of(RegQueryInfoKeyA(state_->key, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, &values, nullptr, nullptr, nullptr, nullptr));
    if (status.ok()) {
        *count = values;
    }
    return status;
}

Status RegistryKey::subkey_name(std::uint32_t index, char* name, std::size_t capacity) const {
    if (state_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    if (name == nullptr || capacity == 0) {
        return invalid();
    }
    DWORD length = capacity_of(capacity);
    return result_of(
        RegEnumKeyExA(state_->key, index, name, &length, nullptr, nullptr, nullptr, nullptr));
}

Status RegistryKey::value_name(std::uint32_t index, char* name, std::size_t capacity,
                               RegistryType* type) const {
    if (state_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    if (name == nullptr || capacity == 0) {
        return invalid();
    }
    DWORD length = capacity_of(capacity);
    DWORD raw_type = REG_NONE;
    const Status status = result_of(
        RegEnumValueA(state_->key, index, name, &length, nullptr, &raw_type, nullptr, nullptr));
    if (status.ok() && type != nullptr) {
        *type = static_cast<RegistryType>(raw_type);
    }
    return status;
}

Status RegistryKey::set_value(const char* name, RegistryType type, const void* data,
                              std::size_t size) {
    if (state_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    if ((data == nullptr && size != 0) || size >= kMaxDataSize) {
        return invalid();
    }
    const auto raw_type = static_cast<DWORD>(type);
    if (!is_string_type(raw_type)) {
        return result_of(RegSetValueExA(state_->key, name, 0, raw_type,
                                        static_cast<const BYTE*>(data), static_cast<DWORD>(size)));
    }
    // As on every platform, a string ends at its first terminator and is stored with one.
    return guarded([&] {
        const char* text = static_cast<const char*>(data);
        const std::string terminated(text, size != 0 ? bounded_length(text, size) : 0);
        return result_of(RegSetValueExA(state_->key, name, 0, raw_type,
                                        reinterpret_cast<const BYTE*>(terminated.c_str()),
                                        static_cast<DWORD>(terminated.size() + 1)));
    });
}

Status RegistryKey::set_string(const char* name, const char* value) {
    if (value == nullptr) {
        return invalid();
    }
    return set_value(name, RegistryType::string, value, std::strlen(value) + 1);
}

Status RegistryKey::set_dword(const char* name, std::uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return set_value(name, RegistryType::dword, bytes, sizeof bytes);
}

Status RegistryKey::delete_value(const char* name) {
    if (state_ == nullptr) {
        return Status::failure(ERROR_INVALID_HANDLE);
    }
    return result_of(RegDeleteValueA(state_->key, name));
}

Status delete_registry_tree(RegistryRoot root, const char* path) {
    const HKEY parent = root_key(root);
    if (parent == nullptr || path == nullptr || *path == '\0') {
        return invalid();  // never a whole root
    }
    return guarded([&] {
        if (!valid_path(path)) {
            return invalid();
        }
        // Emptied through a handle in the 64-bit view, then removed in the same view.
        HKEY key = nullptr;
        Status status = result_of(RegOpenKeyExA(
            parent, path, 0,
            DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | kView, &key));
        if (!status.ok()) {
            return status;
        }
        status = result_of(RegDeleteTreeA(key, nullptr));
        RegCloseKey(key);
        if (!status.ok()) {
            return status;
        }
        return result_of(RegDeleteKeyExA(parent, path, kView, 0));
    });
}

ErrorCode registry_corrupt_error() {
    return ERROR_BADDB;
}

ErrorCode registry_more_data_error() {
    return ERROR_MORE_DATA;
}

ErrorCode registry_no_more_items_error() {
    return ERROR_NO_MORE_ITEMS;
}

const char* registry_error_detail() {
    return "";  // the registry's own errors say it all
}

}  // namespace plat
