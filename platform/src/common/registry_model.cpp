#include "registry_model.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace plat::reg {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

struct RootName {
    std::string_view full;
    std::string_view brief;
};
// In the order of plat::RegistryRoot.
constexpr RootName kRootNames[kRootCount] = {
    {"HKEY_CLASSES_ROOT", "HKCR"}, {"HKEY_CURRENT_USER", "HKCU"},   {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},         {"HKEY_CURRENT_CONFIG", "HKCC"},
};

constexpr std::uint32_t kTypeString = 1;
constexpr std::uint32_t kTypeBinary = 3;
constexpr std::uint32_t kTypeDword = 4;

char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool folded_less(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(fold(x)) < static_cast<unsigned char>(fold(y));
    });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = fold(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// 1 to max hex digits, nothing else.
bool parse_hex_number(std::string_view s, std::size_t max_digits, std::uint32_t* out) {
    if (s.empty() || s.size() > max_digits) {
        return false;
    }
    std::uint32_t n = 0;
    for (char c : s) {
        const int d = hex_digit(c);
        if (d < 0) {
            return false;
        }
        n = n * 16 + static_cast<std::uint32_t>(d);
    }
    *out = n;
    return true;
}

bool valid_name_text(std::string_view name) {
    return name.find_first_of("\r\n") == std::string_view::npos;
}

bool valid_key_name(std::string_view name) {
    return !name.empty() && name.size() <= kMaxKeyName && name.find('\\') == name.npos &&
           valid_name_text(name);
}

class Parser {
  public:
    Parser(std::string_view text, Hive* hive) : rest_(text), hive_(hive) {}

    bool run(ParseError* error) {
        error_ = error;
        if (rest_.starts_with("\xFF\xFE") || rest_.starts_with("\xFE\xFF")) {
            line_ = 1;
            return fail("UTF-16 text is not read; save the file as UTF-8");
        }
        if (rest_.starts_with("\xEF\xBB\xBF")) {
            rest_.remove_prefix(3);
        }
        std::string_view line;
        if (!next_line(&line) || trim(line) != kHeader) {
            line_ = 1;
            return fail("the first line must be \"Windows Registry Editor Version 5.00\"");
        }
        while (next_line(&line)) {
            line = trim(line);
            if (line.empty() || line.front() == ';') {
                continue;
            }
            const bool ok = line.front() == '[' ? key_line(line) : value_line(line);
            if (!ok) {
                return false;
            }
        }
        return true;
    }

  private:
    bool next_line(std::string_view* line) {
        if (rest_.empty()) {
            return false;
        }
        const std::size_t end = rest_.find('\n');
        *line = rest_.substr(0, end);
        rest_.remove_prefix(end == rest_.npos ? rest_.size() : end + 1);
        if (!line->empty() && line->back() == '\r') {
            line->remove_suffix(1);
        }
        ++line_;
        return true;
    }

    bool fail(std::string reason) {
        error_->line = line_;
        error_->reason = std::move(reason);
        return false;
    }

    bool key_line(std::string_view line) {
        const std::size_t close = line.rfind(']');
        if (close == line.npos || close != line.size() - 1) {
            return fail("a key line must end with ']'");
        }
        std::string_view name = line.substr(1, close - 1);
        const bool deletion = !name.empty() && name.front() == '-';
        if (deletion) {
            name.remove_prefix(1);
        }
        const std::size_t slash = name.find('\\');
        const std::string_view root_text = name.substr(0, slash);
        std::size_t root = kRootCount;
        for (std::size_t i = 0; i < kRootCount; ++i) {
            if (same_name(root_text, kRootNames[i].full) ||
                same_name(root_text, kRootNames[i].brief)) {
                root = i;
            }
        }
        if (root == kRootCount) {
            return fail("unknown root key \"" + std::string(root_text) + "\"");
        }
        Path path;
        if (slash != name.npos && !split_path(name.substr(slash + 1), &path)) {
            return fail("empty or over-long key name, or more than 512 levels, in the key path");
        }
        if (deletion) {
            if (path.empty()) {
                return fail("a root key cannot be deleted");
            }
            hive_->remove(root, path);
            current_ = nullptr;
        } else {
            current_ = &hive_->make(root, path);
        }
        return true;
    }

    // A quoted text at the start of *s, with \\ and \" escapes; *s moves past it.
    bool quoted(std::string_view* s, std::string* out) {
        out->clear();
        std::size_t i = 1;
        while (i < s->size()) {
            const char c = (*s)[i];
            if (c == '"') {
                s->remove_prefix(i + 1);
                return true;
            }
            if (c == '\\') {
                if (i + 1 >= s->size() || ((*s)[i + 1] != '\\' && (*s)[i + 1] != '"')) {
                    return fail("a backslash in quotes must be doubled");
                }
                ++i;
            }
            out->push_back((*s)[i]);
            ++i;
        }
        return fail("missing closing quote");
    }

    bool value_line(std::string_view line) {
        if (current_ == nullptr) {
            return fail("a value outside a key");
        }
        Value value;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else if (line.front() == '"') {
            if (!quoted(&line, &value.name)) {
                return false;
            }
            if (value.name.empty() || value.name.size() > kMaxValueName) {
                return fail("a value name must have 1 to 16383 characters (use @ for the default)");
            }
        } else {
            return fail("expected a key in brackets or a value name in quotes");
        }
        line = trim(line);
        if (line.empty() || line.front() != '=') {
            return fail("expected '=' after the value name");
        }
        std::string_view data = trim(line.substr(1));
        if (data == "-") {
            current_->remove_value(value.name);
            return true;
        }
        if (!value_data(data, &value)) {
            return false;
        }
        current_->set(std::move(value));
        return true;
    }

    bool value_data(std::string_view data, Value* value) {
        if (data.starts_with('"')) {
            value->type = kTypeString;
            if (!quoted(&data, &value->data)) {
                return false;
            }
            if (!trim(data).empty()) {
                return fail("text after the closing quote");
            }
            return true;
        }
        if (data.starts_with("dword:")) {
            std::uint32_t n = 0;
            if (!parse_hex_number(data.substr(6), 8, &n)) {
                return fail("dword: needs 1 to 8 hex digits");
            }
            value->type = kTypeDword;
            for (int i = 0; i < 4; ++i) {
                value->data.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
            }
            return true;
        }
        if (data.starts_with("hex:")) {
            value->type = kTypeBinary;
            return hex_bytes(data.substr(4), &value->data);
        }
        if (data.starts_with("hex(")) {
            const std::size_t close = data.find("):");
            if (close == data.npos ||
                !parse_hex_number(data.substr(4, close - 4), 8, &value->type)) {
                return fail("hex(type): needs the type as 1 to 8 hex digits");
            }
            return hex_bytes(data.substr(close + 2), &value->data);
        }
        return fail("unknown value data (expected \"text\", dword:, hex: or hex(type):)");
    }

    // Comma-separated bytes; a line ending in a backslash continues on the next line.
    bool hex_bytes(std::string_view first, std::string* out) {
        std::string all(trim(first));
        while (!all.empty() && all.back() == '\\') {
            all.pop_back();
            std::string_view more;
            if (!next_line(&more)) {
                return fail("the byte list continues past the end of the file");
            }
            all += trim(more);
        }
        std::string_view s = all;
        while (!trim(s).empty()) {
            const std::size_t comma = s.find(',');
            std::uint32_t byte = 0;
            if (!parse_hex_number(trim(s.substr(0, comma)), 2, &byte)) {
                return fail("bad byte in a hex list");
            }
            out->push_back(static_cast<char>(byte));
            if (comma == s.npos) {
                break;
            }
            s.remove_prefix(comma + 1);
            if (trim(s).empty()) {
                return fail("a hex list must not end with a comma");
            }
        }
        return true;
    }

    std::string_view rest_;
    Hive* hive_;
    ParseError* error_ = nullptr;
    std::size_t line_ = 0;
    Key* current_ = nullptr;
};

void append_quoted(std::string* out, std::string_view text) {
    out->push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out->push_back('\\');
        }
        out->push_back(c);
    }
    out->push_back('"');
}

bool plain_text(std::string_view s) {
    return std::none_of(s.begin(), s.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

void append_value(std::string* out, const Value& value) {
    const std::size_t line_start = out->size();
    if (value.name.empty()) {
        out->push_back('@');
    } else {
        append_quoted(out, value.name);
    }
    out->push_back('=');
    char buffer[32];
    if (value.type == kTypeString && plain_text(value.data)) {
        append_quoted(out, value.data);
    } else if (value.type == kTypeDword && value.data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) {
            n = (n << 8) | static_cast<unsigned char>(value.data[static_cast<std::size_t>(i)]);
        }
        std::snprintf(buffer, sizeof buffer, "dword:%08x", n);
        *out += buffer;
    } else {
        if (value.type == kTypeBinary) {
            *out += "hex:";
        } else {
            std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
            *out += buffer;
        }
        std::size_t column = out->size() - line_start;
        for (std::size_t i = 0; i < value.data.size(); ++i) {
            if (i != 0) {
                out->push_back(',');
                ++column;
                if (column > 76) {
                    *out += "\\\n  ";
                    column = 2;
                }
            }
            std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(value.data[i]));
            *out += buffer;
            column += 2;
        }
    }
    out->push_back('\n');
}

void append_key(std::string* out, const std::string& path, const Key& key, bool is_root) {
    if (!is_root || !key.values.empty()) {
        *out += '[' + path + "]\n";
        for (const Value& value : key.values) {
            append_value(out, value);
        }
        out->push_back('\n');
    }
    for (const auto& child : key.subkeys) {
        append_key(out, path + '\\' + child->name, *child, false);
    }
}

void merge_key(Key* base, const Key& overlay) {
    for (const Value& value : overlay.values) {
        base->set(value);
    }
    for (const auto& child : overlay.subkeys) {
        merge_key(&base->add_subkey(child->name), *child);
    }
}

template <typename K>
auto find_subkey(K& key, std::string_view child) -> decltype(key.subkeys.begin()) {
    auto it = std::lower_bound(
        key.subkeys.begin(), key.subkeys.end(), child,
        [](const std::unique_ptr<Key>& k, std::string_view n) { return folded_less(k->name, n); });
    return it != key.subkeys.end() && same_name((*it)->name, child) ? it : key.subkeys.end();
}

}  // namespace

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return fold(x) == fold(y); });
}

Key* Key::subkey(std::string_view child) {
    auto it = find_subkey(*this, child);
    return it == subkeys.end() ? nullptr : it->get();
}

const Key* Key::subkey(std::string_view child) const {
    auto it = find_subkey(*this, child);
    return it == subkeys.end() ? nullptr : it->get();
}

Key& Key::add_subkey(std::string_view child) {
    auto it = std::lower_bound(
        subkeys.begin(), subkeys.end(), child,
        [](const std::unique_ptr<Key>& k, std::string_view n) { return folded_less(k->name, n); });
    if (it != subkeys.end() && same_name((*it)->name, child)) {
        return **it;
    }
    auto made = std::make_unique<Key>();
    made->name = std::string(child);
    return **subkeys.insert(it, std::move(made));
}

bool Key::remove_subkey(std::string_view child) {
    auto it = find_subkey(*this, child);
    if (it == subkeys.end()) {
        return false;
    }
    subkeys.erase(it);
    return true;
}

Value* Key::value(std::string_view value_name) {
    for (Value& v : values) {
        if (same_name(v.name, value_name)) {
            return &v;
        }
    }
    return nullptr;
}

const Value* Key::value(std::string_view value_name) const {
    return const_cast<Key*>(this)->value(value_name);
}

void Key::set(Value v) {
    if (Value* existing = value(v.name)) {
        existing->type = v.type;
        existing->data = std::move(v.data);
    } else {
        values.push_back(std::move(v));
    }
}

bool Key::remove_value(std::string_view value_name) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (same_name(it->name, value_name)) {
            values.erase(it);
            return true;
        }
    }
    return false;
}

const Key* Hive::find(std::size_t root, const Path& path) const {
    const Key* key = &roots[root];
    for (const std::string& name : path) {
        key = key->subkey(name);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

Key* Hive::find(std::size_t root, const Path& path) {
    return const_cast<Key*>(std::as_const(*this).find(root, path));
}

Key& Hive::make(std::size_t root, const Path& path) {
    Key* key = &roots[root];
    for (const std::string& name : path) {
        key = &key->add_subkey(name);
    }
    return *key;
}

bool Hive::remove(std::size_t root, const Path& path) {
    if (path.empty()) {
        return false;
    }
    Key* parent = find(root, Path(path.begin(), path.end() - 1));
    return parent != nullptr && parent->remove_subkey(path.back());
}

bool valid_value_name(std::string_view name) {
    return name.size() <= kMaxValueName && valid_name_text(name);
}

bool split_path(std::string_view text, Path* path) {
    path->clear();
    if (text.empty()) {
        return true;
    }
    while (true) {
        const std::size_t slash = text.find('\\');
        const std::string_view name = text.substr(0, slash);
        if (!valid_key_name(name) || path->size() == kMaxDepth) {
            return false;
        }
        path->emplace_back(name);
        if (slash == text.npos) {
            return true;
        }
        text.remove_prefix(slash + 1);
    }
}

bool apply_reg_text(std::string_view text, Hive* hive, ParseError* error) {
    return Parser(text, hive).run(error);
}

std::string to_reg_text(const Hive& hive) {
    std::string out(kHeader);
    out += "\n\n";
    for (std::size_t root = 0; root < kRootCount; ++root) {
        append_key(&out, std::string(kRootNames[root].full), hive.roots[root], true);
    }
    return out;
}

void merge(Hive* base, const Hive& overlay) {
    for (std::size_t root = 0; root < kRootCount; ++root) {
        merge_key(&base->roots[root], overlay.roots[root]);
    }
}

}  // namespace plat::reg
