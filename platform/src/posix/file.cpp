#include "plat/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

namespace plat {

namespace {

constexpr std::int64_t kEpochDifferenceSeconds = 11644473600LL;

Status from_errno() {
    return Status::failure(static_cast<ErrorCode>(errno));
}

int open_flags(Access access, Disposition disposition) {
    int flags = O_CLOEXEC;
    switch (access) {
        case Access::read:
            flags |= O_RDONLY;
            break;
        case Access::write:
            flags |= O_WRONLY;
            break;
        case Access::read_write:
            flags |= O_RDWR;
            break;
    }
    switch (disposition) {
        case Disposition::open_always:
            flags |= O_CREAT;
            break;
        case Disposition::create_always:
            flags |= O_CREAT | O_TRUNC;
            break;
        case Disposition::open_existing:
            break;
    }
    return flags;
}

bool same_identity(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where a path that names no existing file would create one: its directory and last
// name, once symbolic links on the way to it are followed.
bool creation_place(const char* path, struct stat* directory, std::string* name) {
    constexpr int kMaxLinks = 40;
    std::string place = path;
    for (int links = 0; links <= kMaxLinks; ++links) {
        const std::size_t slash = place.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : place.substr(0, slash);
        std::string last = slash == std::string::npos ? place : place.substr(slash + 1);
        struct stat st {};
        if (lstat(place.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *name = std::move(last);
            return stat(dir.c_str(), directory) == 0;
        }
        // A link that points nowhere: its target is where the file would appear.
        char target[4096];
        const ssize_t n = readlink(place.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            return false;
        }
        target[n] = '\0';
        place = target[0] == '/' || slash == std::string::npos ? std::string(target)
                                                               : dir + "/" + target;
    }
    return false;
}

}  // namespace

File::~File() {
    close();
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kInvalid)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalid);
    }
    return *this;
}

Status File::open(const char* path, Access access, Disposition disposition, Share share) {
    close();
    const bool empties = disposition == Disposition::create_always;
    // An exclusive open must not empty a file that someone else holds, so truncation
    // waits until the lock is ours.
    int flags = open_flags(
        access, empties && share == Share::none ? Disposition::open_always : disposition);
    if (empties && share == Share::read_write) {
        // Emptying by replacing: truncating in place frees the old blocks synchronously in
        // the caller's thread (with a discard on such mounts), which stalls a writer that
        // starts its next file; a fresh file leaves that work to the file system. Readers
        // holding the old file keep what they had.
        if (::unlink(path) != 0 && errno != ENOENT) {
            return from_errno();
        }
    }
    int fd;
    do {
        fd = ::open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return from_errno();
    }
    if (share == Share::none) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const Status failed = from_errno();
            ::close(fd);
            return failed;
        }
        if (empties && ftruncate(fd, 0) != 0) {
            const Status failed = from_errno();
            ::close(fd);
            return failed;
        }
    }
    handle_ = fd;
    return Status::success();
}

Status File::write(const void* data, std::size_t size, std::size_t* written) {
    std::size_t done = 0;
    Status status;
    if (!is_open()) {
        status = Status::failure(invalid_handle_error());
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (status.ok() && done < size) {
        const ssize_t n = ::write(static_cast<int>(handle_), bytes + done, size - done);
        if (n < 0) {
            if (errno != EINTR) {
                status = from_errno();
            }
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return status;
}

Status File::read(void* data, std::size_t size, std::size_t* got) {
    *got = 0;
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    ssize_t n;
    do {
        n = ::read(static_cast<int>(handle_), data, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return from_errno();
    }
    *got = static_cast<std::size_t>(n);
    return Status::success();
}

Status File::seek_to_end() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    return lseek(static_cast<int>(handle_), 0, SEEK_END) < 0 ? from_errno() : Status::success();
}

Status File::cut_back(std::uint64_t bytes) {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    const int fd = static_cast<int>(handle_);
    const off_t end = lseek(fd, 0, SEEK_CUR);
    if (end < 0) {
        return from_errno();
    }
    if (bytes > static_cast<std::uint64_t>(end)) {
        return Status::failure(EINVAL);
    }
    const off_t start = end - static_cast<off_t>(bytes);
    int result;
    do {
        result = ftruncate(fd, start);
    } while (result != 0 && errno == EINTR);
    if (result != 0 || lseek(fd, start, SEEK_SET) < 0) {
        return from_errno();
    }
    return Status::success();
}

Status File::flush() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    return fsync(static_cast<int>(handle_)) != 0 ? from_errno() : Status::success();
}

Status File::size(std::uint64_t* bytes) const {
    struct stat st {};
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    if (fstat(static_cast<int>(handle_), &st) != 0) {
        return from_errno();
    }
    *bytes = static_cast<std::uint64_t>(st.st_size);
    return Status::success();
}

bool File::unlinked() const {
    if (!is_open()) {
        return false;
    }
    // Asked before every trace line: the link count alone costs a fraction of a full fstat.
    struct statx sx {};
    if (statx(static_cast<int>(handle_), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_NLINK,
              &sx) == 0 &&
        (sx.stx_mask & STATX_NLINK) != 0) {
        return sx.stx_nlink == 0;
    }
    struct stat st {};
    return fstat(static_cast<int>(handle_), &st) == 0 && st.st_nlink == 0;
}

Status File::close() {
    if (!is_open()) {
        return Status::success();
    }
    const int fd = static_cast<int>(std::exchange(handle_, kInvalid));
    // The descriptor is gone after close() whatever it reports; EINTR is not worth a retry.
    if (::close(fd) != 0 && errno != EINTR) {
        return from_errno();
    }
    return Status::success();
}

Status File::write_at(std::uint64_t position, const void* data, std::size_t size,
                      std::size_t* written) {
    std::size_t done = 0;
    Status status;
    if (!is_open()) {
        status = Status::failure(invalid_handle_error());
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (status.ok() && done < size) {
        const ssize_t n = ::pwrite(static_cast<int>(handle_), bytes + done, size - done,
                                   static_cast<off_t>(position + done));
        if (n < 0) {
            if (errno != EINTR) {
                status = from_errno();
            }
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return status;
}

Status File::set_last_write_now() {
    if (!is_open()) {
        return Status::failure(invalid_handle_error());
    }
    const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    return futimens(static_cast<int>(handle_), times) == 0 ? Status::success() : from_errno();
}

bool full_path(const char* path, char* out, std::size_t capacity) {
    if (capacity == 0) {
        return false;
    }
    out[0] = '\0';
    if (path == nullptr) {
        return false;
    }
    int written;
    if (path[0] == '/') {
        written = std::snprintf(out, capacity, "%s", path);
    } else {
        char directory[4096];
        if (getcwd(directory, sizeof directory) == nullptr) {
            return false;
        }
        const bool at_root = directory[0] == '/' && directory[1] == '\0';
        written = std::snprintf(out, capacity, "%s%s%s", directory, at_root ? "" : "/",
                                path[0] == '.' && path[1] == '/' ? path + 2 : path);
    }
    return written >= 0 && static_cast<std::size_t>(written) < capacity;
}

Status query_path(const char* path, PathInfo* info) {
    struct stat st {};
    if (stat(path, &st) != 0) {
        return from_errno();
    }
    info->is_directory = S_ISDIR(st.st_mode);
    info->size = static_cast<std::uint64_t>(st.st_size);
    info->last_write =
        (static_cast<std::int64_t>(st.st_mtim.tv_sec) + kEpochDifferenceSeconds) * 10000000LL +
        st.st_mtim.tv_nsec / 100;
    info->last_write_nanoseconds = static_cast<std::uint32_t>(st.st_mtim.tv_nsec % 100);
    return Status::success();
}

bool same_file(const char* a, const char* b) {
    struct stat sa {};
    struct stat sb {};
    const bool a_exists = stat(a, &sa) == 0;
    const bool b_exists = stat(b, &sb) == 0;
    if (a_exists || b_exists) {
        return a_exists && b_exists && same_identity(sa, sb);
    }
    std::string a_name;
    std::string b_name;
    return creation_place(a, &sa, &a_name) && creation_place(b, &sb, &b_name) && a_name == b_name &&
           same_identity(sa, sb);
}

ErrorCode sharing_violation_error() {
    return EBUSY;
}

// A file is held open when a descriptor of this process reaches its device and inode.
// Where /proc cannot be read, nothing is known to hold it.
Status remove_unless_open(const char* path) {
    struct stat target {};
    if (lstat(path, &target) == 0 && S_ISREG(target.st_mode)) {
        if (DIR* descriptors = opendir("/proc/self/fd")) {
            const int own = dirfd(descriptors);
            bool held = false;
            while (const dirent* entry = readdir(descriptors)) {
                char* end = nullptr;
                const long fd = std::strtol(entry->d_name, &end, 10);
                struct stat open_file {};
                if (end != entry->d_name && *end == '\0' && fd != own &&
                    fstat(static_cast<int>(fd), &open_file) == 0 &&
                    same_identity(open_file, target)) {
                    held = true;
                    break;
                }
            }
            closedir(descriptors);
            if (held) {
                return Status::failure(sharing_violation_error());
            }
        }
    }
    return remove_file(path);
}

Status make_directory(const char* path) {
    return mkdir(path, 0777) != 0 ? from_errno() : Status::success();
}

Status remove_file(const char* path) {
    return unlink(path) != 0 ? from_errno() : Status::success();
}

Status copy_file_access(const char* from, const char* to) {
    struct stat st {};
    if (stat(from, &st) != 0) {
        return from_errno();
    }
    // Owner first: a change of owner may clear the set-id bits that chmod then restores.
    // Only a privileged process may give a file away; others keep their own.
    struct stat now {};
    if (stat(to, &now) != 0) {
        return from_errno();
    }
    if ((now.st_uid != st.st_uid || now.st_gid != st.st_gid) &&
        chown(to, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
        return from_errno();
    }
    return chmod(to, st.st_mode & 07777) != 0 ? from_errno() : Status::success();
}

Status refuse_read_only(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) {
        return Status::success();
    }
    return S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0 ? Status::failure(EACCES)
                                                           : Status::success();
}

Status replace_file(const char* source, const char* target, File*) {
    if (rename(source, target) != 0) {
        return from_errno();
    }
    // The new name is on disk only once its directory is.
    const char* slash = std::strrchr(target, '/');
    const std::string directory = slash == nullptr
                                      ? std::string(".")
                                      : std::string(target, slash == target ? 1 : slash - target);
    int fd;
    do {
        fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return from_errno();
    }
    Status status;
    // Some file systems cannot flush a directory and say so; their renames are as durable
    // as they get.
    if (fsync(fd) != 0 && errno != EINVAL) {
        status = from_errno();
    }
    ::close(fd);
    return status;
}

bool is_path_separator(char c) {
    return c == '/';
}

bool is_full_path(const char* path) {
    return path != nullptr && path[0] == '/';
}

bool path_root_usable(const char* path) {
    return is_full_path(path);
}

// No byte of a multi-byte UTF-8 sequence is below 0x80, so none is ever a separator.
std::size_t path_character_length(const char*) {
    return 1;
}

bool standard_output_available() {
    return fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

Status write_standard_output(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes + done, size - done);
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

}  // namespace plat
