// The registry: keys under five roots, each holding named, typed values and subkeys.
//
// On POSIX systems the registry is a set of text files in the ".reg" format: read-only
// drop-in files, one per installed product, applied in name order, and one writable file on
// top of them that keeps what programs write at run time. The directory named by the
// environment variable VARMOTH_REGISTRY, when set, holds both: registry.d/*.reg and
// registry.reg. Otherwise they are /etc/varmoth/registry.d/*.reg and
// /var/lib/varmoth/registry.reg. Keys and values that come from a drop-in file cannot be
// deleted (access denied). A file that cannot be parsed makes every call fail with
// registry_corrupt_error(); registry_error_detail() then names the file and line.
//
// On Windows it is the system's registry, reached in its 64-bit view from 32-bit builds too.
// There is no drop-in layer: what installation wrote can be changed and deleted as far as
// the key's access rights allow, and VARMOTH_REGISTRY is not read. Errors are the registry's
// own (a key deleted under an open handle: ERROR_KEY_DELETED), registry_error_detail() is
// always empty, value names may hold line breaks, and listings come in the registry's order.
// A string value ends at its first terminator, and gets one where another program stored
// it without.
//
// Key paths separate key names with '\'; an empty key name in a path is refused. Key and
// value names compare without regard to (ASCII) case. On POSIX subkeys are listed in
// case-insensitive name order, values in the order in which they were first set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "plat/error.h"

namespace plat {

enum class RegistryRoot { classes_root, current_user, local_machine, users, current_config };

// Value types, numbered as the registry numbers them.
enum class RegistryType : std::uint32_t {
    none = 0,
    string = 1,
    expand_string = 2,
    binary = 3,
    dword = 4,
    multi_string = 7,
    qword = 11,
};

enum class RegistryAccess { read, read_write };

class RegistryKey {
  public:
    RegistryKey();
    ~RegistryKey();
    RegistryKey(RegistryKey&& other) noexcept;
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens an existing key; an empty path opens the root itself.
    Status open(RegistryRoot root, const char* path, RegistryAccess access = RegistryAccess::read);
    Status open(const RegistryKey& parent, const char* subkey,
                RegistryAccess access = RegistryAccess::read);
    // Opens a key for reading and writing, creating it and its missing parents first.
    Status create(RegistryRoot root, const char* path, bool* created = nullptr);
    Status create(const RegistryKey& parent, const char* subkey, bool* created = nullptr);
    bool is_open() const;
    void close();

    // Values: a null or empty name is the key's default value. query_value stores the type,
    // copies the data when data is not null, and sets *size to the bytes the value has (a
    // string with its terminator); a buffer of *size bytes that is too small fails with
    // registry_more_data_error().
    Status query_value(const char* name, RegistryType* type, void* data, std::size_t* size) const;
    // A string value, terminated; fails with registry_more_data_error() when it does not fit.
    Status query_string(const char* name, char* buffer, std::size_t capacity) const;
    Status query_dword(const char* name, std::uint32_t* value) const;

    Status subkey_count(std::uint32_t* count) const;
    Status value_count(std::uint32_t* count) const;
    // The index-th subkey or value; fails with registry_no_more_items_error() past the last.
    Status subkey_name(std::uint32_t index, char* name, std::size_t capacity) const;
    Status value_name(std::uint32_t index, char* name, std::size_t capacity,
                      RegistryType* type) const;

    Status set_value(const char* name, RegistryType type, const void* data, std::size_t size);
    Status set_string(const char* name, const char* value);
    Status set_dword(const char* name, std::uint32_t value);
    Status delete_value(const char* name);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// Deletes a key with all its subkeys and values.
Status delete_registry_tree(RegistryRoot root, const char* path);

ErrorCode registry_corrupt_error();
ErrorCode registry_more_data_error();
ErrorCode registry_no_more_items_error();

// Why the calling thread's last failed registry call failed, when there is more to say than
// the error number (a malformed file's name and line); empty otherwise.
const char* registry_error_detail();

}  // namespace plat
