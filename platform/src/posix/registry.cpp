// The registry over ".reg" text files: read-only drop-ins in name order, then the writable
// file on top. Every call reads the files afresh, so other processes' changes show at once;
// changes are read-modify-write under an exclusive lock and land by rename, so that a
// reader sees either the old file or the new one.
#include "plat/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "../common/registry_model.h"
#include "plat/file.h"
#include "plat/file_search.h"
#include "plat/text.h"

namespace plat {

struct RegistryKey::State {
    std::size_t root = 0;
    reg::Path path;
    bool writable = false;
};

namespace {

constexpr const char* kLocationVariable = "VARMOTH_REGISTRY";
constexpr const char* kDefaultDropins = "/etc/varmoth/registry.d";
constexpr const char* kDefaultFile = "/var/lib/varmoth/registry.reg";

constexpr std::uint32_t kTypeString = static_cast<std::uint32_t>(RegistryType::string);
constexpr std::uint32_t kTypeExpandString = static_cast<std::uint32_t>(RegistryType::expand_string);

thread_local char t_detail[1024];

void set_detail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void set_detail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    vformat_cut(t_detail, sizeof t_detail, format, args);
    va_end(args);
}

Status from_errno() {
    return Status::failure(static_cast<ErrorCode>(errno));
}

struct Location {
    std::string dropins;
    std::string file;
};

Location location() {
    const char* base = std::getenv(kLocationVariable);
    if (base == nullptr || *base == '\0') {
        return {kDefaultDropins, kDefaultFile};
    }
    std::string directory(base);
    if (directory.back() != '/') {
        directory += '/';
    }
    return {directory + "registry.d", directory + "registry.reg"};
}

Status read_file(const std::string& path, std::string* text) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return from_errno();
    }
    Status status;
    char buffer[16384];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            status = from_errno();
        }
        if (n <= 0) {
            break;
        }
        text->append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return status;
}

Status apply_file(const std::string& path, reg::Hive* hive, bool missing_is_empty) {
    std::string text;
    const Status read = read_file(path, &text);
    if (read.error == ENOENT && missing_is_empty) {
        return Status::success();
    }
    if (!read.ok()) {
        set_detail("%s: cannot be read (error %u)", path.c_str(), read.error);
        return read;
    }
    reg::ParseError error;
    if (!reg::apply_reg_text(text, hive, &error)) {
        set_detail("%s:%zu: %s", path.c_str(), error.line, error.reason.c_str());
        return Status::failure(registry_corrupt_error());
    }
    return Status::success();
}

Status load_dropins(const Location& where, reg::Hive* hive) {
    const std::string pattern = where.dropins + "/*.reg";
    FileSearch search;
    FoundFile found;
    Status status = search.first(pattern.c_str(), &found);
    if (status.error == ENOENT) {
        return Status::success();  // no directory, or nothing installed
    }
    std::vector<std::string> names;
    while (status.ok()) {
        if (!found.is_directory) {
            names.emplace_back(found.name);
        }
        status = search.next(&found);
    }
    if (status.error != no_more_files_error()) {
        set_detail("%s: cannot be listed (error %u)", where.dropins.c_str(), status.error);
        return status;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const Status applied = apply_file(where.dropins + "/" + name, hive, false);
        if (!applied.ok()) {
            return applied;
        }
    }
    return Status::success();
}

struct Layers {
    reg::Hive dropins;
    reg::Hive writable;

    bool has(std::size_t root, const reg::Path& path) const {
        return dropins.find(root, path) != nullptr || writable.find(root, path) != nullptr;
    }
};

Status load_layers(const Location& where, Layers* layers) {
    const Status dropins = load_dropins(where, &layers->dropins);
    return dropins.ok() ? apply_file(where.file, &layers->writable, true) : dropins;
}

// Drop-ins with the writable file's keys and values on top.
Status load_merged(reg::Hive* merged) {
    Layers layers;
    const Status loaded = load_layers(location(), &layers);
    if (!loaded.ok()) {
        return loaded;
    }
    *merged = std::move(layers.dropins);
    reg::merge(merged, layers.writable);
    return Status::success();
}

Status write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return from_errno();
        }
        done += static_cast<std::size_t>(n);
    }
    return Status::success();
}

Status sync_directory_of(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return from_errno();
    }
    const Status status = fsync(fd) != 0 ? from_errno() : Status::success();
    ::close(fd);
    return status;
}

// Written beside the file, flushed, then renamed over it.
Status save_writable(const Location& where, const reg::Hive& writable) {
    const std::string temporary = where.file + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return from_errno();
    }
    Status status = write_all(fd, reg::to_reg_text(writable));
    if (status.ok() && fsync(fd) != 0) {
        status = from_errno();
    }
    if (::close(fd) != 0 && status.ok() && errno != EINTR) {
        status = from_errno();
    }
    if (status.ok() && rename(temporary.c_str(), where.file.c_str()) != 0) {
        status = from_errno();
    }
    if (!status.ok()) {
        unlink(temporary.c_str());
        return status;
    }
    return sync_directory_of(where.file);
}

// Serialises writers of all processes; readers never wait.
class WriteLock {
  public:
    explicit WriteLock(const std::string& file) {
        const std::string path = file + ".lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            status_ = from_errno();
            return;
        }
        int locked;
        do {
            locked = flock(fd_, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0) {
            status_ = from_errno();
        }
    }
    ~WriteLock() {
        if (fd_ >= 0) {
            ::close(fd_);  // releases the lock
        }
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    Status status() const { return status_; }

  private:
    int fd_ = -1;
    Status status_;
};

// Runs change on the current layers under the write lock; saves the writable layer when
// change reports that it changed it.
template <typename Change>
Status modify(Change change) {
    const Location where = location();
    const EnsureDirectory parent = ensure_parent_directory(where.file.c_str());
    if (parent.result != DirectoryResult::ok) {
        return Status::failure(parent.result == DirectoryResult::not_a_directory ? ENOTDIR
                                                                                 : parent.error);
    }
    WriteLock lock(where.file);
    if (!lock.status().ok()) {
        return lock.status();
    }
    Layers layers;
    const Status loaded = load_layers(where, &layers);
    if (!loaded.ok()) {
        return loaded;
    }
    bool changed = false;
    const Status status = change(layers, &changed);
    if (!status.ok() || !changed) {
        return status;
    }
    return save_writable(where, layers.writable);
}

// No allocation failure may escape the platform layer as an exception.
template <typename Body>
Status guarded(Body body) {
    t_detail[0] = '\0';
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Status::failure(ENOMEM);
    }
}

bool valid_root(RegistryRoot root) {
    return static_cast<std::size_t>(root) < reg::kRootCount;
}

// root and text into a key path; false for a bad root or a malformed path.
bool key_path(RegistryRoot root, const char* text, reg::Path* path) {
    return valid_root(root) && reg::split_path(text != nullptr ? text : "", path);
}

const reg::Key* find_key(const reg::Hive& hive, const RegistryKey::State& state) {
    return hive.find(state.root, state.path);
}

std::string value_name_of(const char* name) {
    return name != nullptr ? name : "";
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
    return guarded([&] {
        auto state = std::make_unique<State>();
        if (!key_path(root, path, &state->path)) {
            return Status::failure(EINVAL);
        }
        state->root = static_cast<std::size_t>(root);
        state->writable = access == RegistryAccess::read_write;
        reg::Hive merged;
        const Status loaded = load_merged(&merged);
        if (!loaded.ok()) {
            return loaded;
        }
        if (find_key(merged, *state) == nullptr) {
            return Status::failure(ENOENT);
        }
        state_ = std::move(state);
        return Status::success();
    });
}

Status RegistryKey::open(const RegistryKey& parent, const char* subkey, RegistryAccess access) {
    if (this == &parent) {
        return Status::failure(EINVAL);
    }
    close();
    if (parent.state_ == nullptr) {
        return Status::failure(EBADF);
    }
    return guarded([&] {
        reg::Path more;
        if (!reg::split_path(subkey != nullptr ? subkey : "", &more)) {
            return Status::failure(EINVAL);
        }
        auto state = std::make_unique<State>(*parent.state_);
        state->path.insert(state->path.end(), more.begin(), more.end());
        if (state->path.size() > reg::kMaxDepth) {
            return Status::failure(EINVAL);
        }
        state->writable = access == RegistryAccess::read_write;
        reg::Hive merged;
        const Status loaded = load_merged(&merged);
        if (!loaded.ok()) {
            return loaded;
        }
        if (find_key(merged, *state) == nullptr) {
            return Status::failure(ENOENT);
        }
        state_ = std::move(state);
        return Status::success();
    });
}

namespace {

Status create_key(RegistryKey::State* state, bool* created) {
    bool made = false;
    const Status status = modify([&](Layers& layers, bool* changed) {
        if (!layers.has(state->root, state->path)) {
            layers.writable.make(state->root, state->path);
            made = *changed = true;
        }
        return Status::success();
    });
    if (created != nullptr) {
        *created = status.ok() && made;
    }
    return status;
}

}  // namespace

Status RegistryKey::create(RegistryRoot root, const char* path, bool* created) {
    close();
    return guarded([&] {
        auto state = std::make_unique<State>();
        if (!key_path(root, path, &state->path)) {
            return Status::failure(EINVAL);
        }
        state->root = static_cast<std::size_t>(root);
        state->writable = true;
        const Status status = create_key(state.get(), created);
        if (status.ok()) {
            state_ = std::move(state);
        }
        return status;
    });
}

Status RegistryKey::create(const RegistryKey& parent, const char* subkey, bool* created) {
    if (this == &parent) {
        return Status::failure(EINVAL);
    }
    close();
    if (parent.state_ == nullptr) {
        return Status::failure(EBADF);
    }
    return guarded([&] {
        reg::Path more;
        if (!reg::split_path(subkey != nullptr ? subkey : "", &more)) {
            return Status::failure(EINVAL);
        }
        auto state = std::make_unique<State>(*parent.state_);
        state->path.insert(state->path.end(), more.begin(), more.end());
        if (state->path.size() > reg::kMaxDepth) {
            return Status::failure(EINVAL);
        }
        state->writable = true;
        const Status status = create_key(state.get(), created);
        if (status.ok()) {
            state_ = std::move(state);
        }
        return status;
    });
}

Status RegistryKey::query_value(const char* name, RegistryType* type, void* data,
                                std::size_t* size) const {
    if (state_ == nullptr) {
        return Status::failure(EBADF);
    }
    if (size == nullptr && data != nullptr) {
        return Status::failure(EINVAL);
    }
    return guarded([&] {
        reg::Hive merged;
        const Status loaded = load_merged(&merged);
        if (!loaded.ok()) {
            return loaded;
        }
        const reg::Key* key = find_key(merged, *state_);
        const reg::Value* value = key != nullptr ? key->value(value_name_of(name)) : nullptr;
        if (value == nullptr) {
            return Status::failure(ENOENT);
        }
        const bool terminated = value->type == kTypeString || value->type == kTypeExpandString;
        const std::size_t needed = value->data.size() + (terminated ? 1 : 0);
        if (type != nullptr) {
            *type = static_cast<RegistryType>(value->type);
        }
        if (data != nullptr) {
            if (*size < needed) {
                *size = needed;
                return Status::failure(registry_more_data_error());
            }
            std::memcpy(data, value->data.data(), value->data.size());
            if (terminated) {
                static_cast<char*>(data)[value->data.size()] = '\0';
            }
        }
        if (size != nullptr) {
            *size = needed;
        }
        return Status::success();
    });
}

Status RegistryKey::query_string(const char* name, char* buffer, std::size_t capacity) const {
    if (buffer == nullptr || capacity == 0) {
        return Status::failure(EINVAL);
    }
    RegistryType type = RegistryType::none;
    std::size_t size = 0;
    Status status = query_value(name, &type, nullptr, &size);
    if (!status.ok()) {
        return status;
    }
    if (type != RegistryType::string && type != RegistryType::expand_string) {
        return Status::failure(EINVAL);
    }
    if (size > capacity) {
        return Status::failure(registry_more_data_error());
    }
    size = capacity;
    // The value may have changed in between; query_value checks the size again.
    return query_value(name, &type, buffer, &size);
}

Status RegistryKey::query_dword(const char* name, std::uint32_t* value) const {
    if (value == nullptr) {
        return Status::failure(EINVAL);
    }
    RegistryType type = RegistryType::none;
    unsigned char bytes[4];
    std::size_t size = sizeof bytes;
    const Status status = query_value(name, &type, bytes, &size);
    if (status.error == registry_more_data_error() ||
        (status.ok() && (type != RegistryType::dword || size != sizeof bytes))) {
        return Status::failure(EINVAL);
    }
    if (status.ok()) {
        *value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                 static_cast<std::uint32_t>(bytes[2]) << 16 |
                 static_cast<std::uint32_t>(bytes[3]) << 24;
    }
    return status;
}

namespace {

// Runs body on the key's current contents.
template <typename Body>
Status with_key(const std::unique_ptr<RegistryKey::State>& state, Body body) {
    if (state == nullptr) {
        return Status::failure(EBADF);
    }
    return guarded([&] {
        reg::Hive merged;
        const Status loaded = load_merged(&merged);
        if (!loaded.ok()) {
            return loaded;
        }
        const reg::Key* key = find_key(merged, *state);
        return key != nullptr ? body(*key) : Status::failure(ENOENT);
    });
}

Status copy_name(const std::string& from, char* name, std::size_t capacity) {
    if (name == nullptr || from.size() >= capacity) {
        return Status::failure(name == nullptr ? EINVAL : registry_more_data_error());
    }
    std::memcpy(name, from.c_str(), from.size() + 1);
    return Status::success();
}

}  // namespace

Status RegistryKey::subkey_count(std::uint32_t* count) const {
    return with_key(state_, [&](const reg::Key& key) {
        *count = static_cast<std::uint32_t>(key.subkeys.size());
        return Status::success();
    });
}

Status RegistryKey::value_count(std::uint32_t* count) const {
    return with_key(state_, [&](const reg::Key& key) {
        *count = static_cast<std::uint32_t>(key.values.size());
        return Status::success();
    });
}

Status RegistryKey::subkey_name(std::uint32_t index, char* name, std::size_t capacity) const {
    return with_key(state_, [&](const reg::Key& key) {
        if (index >= key.subkeys.size()) {
            return Status::failure(registry_no_more_items_error());
        }
        return copy_name(key.subkeys[index]->name, name, capacity);
    });
}

Status RegistryKey::value_name(std::uint32_t index, char* name, std::size_t capacity,
                               RegistryType* type) const {
    return with_key(state_, [&](const reg::Key& key) {
        if (index >= key.values.size()) {
            return Status::failure(registry_no_more_items_error());
        }
        if (type != nullptr) {
            *type = static_cast<RegistryType>(key.values[index].type);
        }
        return copy_name(key.values[index].name, name, capacity);
    });
}

Status RegistryKey::set_value(const char* name, RegistryType type, const void* data,
                              std::size_t size) {
    if (state_ == nullptr) {
        return Status::failure(EBADF);
    }
    if (!state_->writable) {
        return Status::failure(EACCES);
    }
    if (data == nullptr && size != 0) {
        return Status::failure(EINVAL);
    }
    return guarded([&] {
        reg::Value value;
        value.name = value_name_of(name);
        value.type = static_cast<std::uint32_t>(type);
        if (!reg::valid_value_name(value.name)) {
            return Status::failure(EINVAL);
        }
        if (size != 0) {
            value.data.assign(static_cast<const char*>(data), size);
        }
        if (value.type == kTypeString || value.type == kTypeExpandString) {
            value.data.resize(bounded_length(value.data.c_str(), value.data.size()));
        }
        return modify([&](Layers& layers, bool* changed) {
            if (!layers.has(state_->root, state_->path)) {
                return Status::failure(ENOENT);
            }
            layers.writable.make(state_->root, state_->path).set(std::move(value));
            *changed = true;
            return Status::success();
        });
    });
}

Status RegistryKey::set_string(const char* name, const char* value) {
    if (value == nullptr) {
        return Status::failure(EINVAL);
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
        return Status::failure(EBADF);
    }
    if (!state_->writable) {
        return Status::failure(EACCES);
    }
    return guarded([&] {
        const std::string value_name = value_name_of(name);
        return modify([&](Layers& layers, bool* changed) {
            if (!layers.has(state_->root, state_->path)) {
                return Status::failure(ENOENT);
            }
            const reg::Key* installed = layers.dropins.find(state_->root, state_->path);
            if (installed != nullptr && installed->value(value_name) != nullptr) {
                return Status::failure(EACCES);
            }
            reg::Key* own = layers.writable.find(state_->root, state_->path);
            if (own == nullptr || !own->remove_value(value_name)) {
                return Status::failure(ENOENT);
            }
            *changed = true;
            return Status::success();
        });
    });
}

Status delete_registry_tree(RegistryRoot root, const char* path) {
    return guarded([&] {
        reg::Path key;
        if (!key_path(root, path, &key) || key.empty()) {
            return Status::failure(EINVAL);
        }
        const std::size_t index = static_cast<std::size_t>(root);
        return modify([&](Layers& layers, bool* changed) {
            if (!layers.has(index, key)) {
                return Status::failure(ENOENT);
            }
            if (layers.dropins.find(index, key) != nullptr) {
                return Status::failure(EACCES);  // installed keys stay
            }
            *changed = layers.writable.remove(index, key);
            return Status::success();
        });
    });
}

ErrorCode registry_corrupt_error() {
    return EBADMSG;
}

ErrorCode registry_more_data_error() {
    return ERANGE;
}

ErrorCode registry_no_more_items_error() {
    return ENODATA;
}

const char* registry_error_detail() {
    return t_detail;
}

}  // namespace plat
