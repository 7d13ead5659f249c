// The registry as a tree in memory, read from and written to ".reg" text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace plat::reg {

constexpr std::size_t kRootCount = 5;
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;
// Deeper paths are refused, which also bounds the recursion over the tree.
constexpr std::size_t kMaxDepth = 512;

struct Value {
    std::string name;
    std::uint32_t type = 0;
    std::string data;  // raw bytes; strings without their terminator
};

// Names compare without regard to ASCII case.
bool same_name(std::string_view a, std::string_view b);

struct Key {
    std::string name;
    std::vector<Value> values;                  // in the order they were first set
    std::vector<std::unique_ptr<Key>> subkeys;  // in case-insensitive name order

    Key* subkey(std::string_view child);
    const Key* subkey(std::string_view child) const;
    Key& add_subkey(std::string_view child);
    bool remove_subkey(std::string_view child);

    Value* value(std::string_view value_name);
    const Value* value(std::string_view value_name) const;
    void set(Value value);
    bool remove_value(std::string_view value_name);
};

using Path = std::vector<std::string>;

struct Hive {
    Key roots[kRootCount];

    const Key* find(std::size_t root, const Path& path) const;
    Key* find(std::size_t root, const Path& path);
    Key& make(std::size_t root, const Path& path);
    bool remove(std::size_t root, const Path& path);
};

// Value names: 0 to 16383 characters, no line breaks (the text form has no way to hold them).
bool valid_value_name(std::string_view name);

// Splits a key path at '\'. Fails on an empty or over-long key name or a path deeper than
// kMaxDepth; "" is the root itself.
bool split_path(std::string_view text, Path* path);

struct ParseError {
    std::size_t line = 0;
    std::string reason;
};

// Applies one ".reg" text to hive: keys and values are added or replaced, "[-key]" deletes
// a key and "name"=- a value. On failure hive may be partly changed and error says where.
bool apply_reg_text(std::string_view text, Hive* hive, ParseError* error);

// The whole hive as ".reg" text that apply_reg_text reads back unchanged.
std::string to_reg_text(const Hive& hive);

// Adds every key and value of overlay to base, overlay's values replacing base's.
void merge(Hive* base, const Hive& overlay);

}  // namespace plat::reg
