// Files and directories with the open modes the writers rely on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plat/error.h"
#include "plat/time.h"

namespace plat {

enum class Access { read, write, read_write };

enum class Disposition {
    open_always,    // open, create when missing
    create_always,  // create, or empty an existing file
    open_existing,  // fail when missing
};

enum class Share {
    read_write,  // others may read and write while the file is open
    none,        // exclusive: another exclusive open of the same file fails as busy
};

class File {
  public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    Status open(const char* path, Access access, Disposition disposition, Share share);
    bool is_open() const { return handle_ != kInvalid; }

    // Writes all bytes unless an error stops it; *written tells how many went out.
    Status write(const void* data, std::size_t size, std::size_t* written);
    // Reads up to size bytes; *got is 0 at the end of the file.
    Status read(void* data, std::size_t size, std::size_t* got);
    Status seek_to_end();
    // Takes back the last bytes before the file pointer: the file then ends, and the pointer
    // stands, where they began. Undoes the part of a write that was cut short.
    Status cut_back(std::uint64_t bytes);
    // Hands buffered data to the storage device.
    Status flush();
    Status size(std::uint64_t* bytes) const;
    // Whether the open file has lost its last name (deleted or replaced under the holder), so
    // that what is written to it reaches no file that anyone can open. Windows keeps the name
    // of a file open without delete sharing: never there.
    bool unlinked() const;
    Status close();

    // Writes all bytes at a position, leaving the file pointer where it was on POSIX and
    // behind the bytes on Windows; *written (may be null) tells how many went out.
    Status write_at(std::uint64_t position, const void* data, std::size_t size,
                    std::size_t* written);
    // Gives the file the current time as its last-write time.
    Status set_last_write_now();
    // The system's handle (a file descriptor on POSIX), for mappings.
    std::intptr_t native_handle() const { return handle_; }

    // For a file opened with Share::read_write that must not be read while an exclusive
    // (Share::none) open holds it: fails as busy while one does, and makes exclusive opens
    // fail as busy until the file is closed. Where share modes do this already, nothing.
    Status exclude_exclusive();

    // An exclusive lock on the whole file (every byte offset there can be), without waiting:
    // fails as busy while another open of the file holds one. Opens of the same file in one
    // process exclude each other too. The file must be open for writing.
    Status try_lock_whole();
    Status unlock_whole();

  private:
    static constexpr std::intptr_t kInvalid = -1;
    std::intptr_t handle_ = kInvalid;
};

struct PathInfo {
    bool is_directory = false;
    std::uint64_t size = 0;
    FileTime last_write = 0;
    // Nanoseconds below last_write's 100 ns step, where the file system keeps them: with it
    // two times compare at the file system's full precision.
    std::uint32_t last_write_nanoseconds = 0;

    bool written_after(const PathInfo& other) const {
        return last_write != other.last_write
                   ? last_write > other.last_write
                   : last_write_nanoseconds > other.last_write_nanoseconds;
    }
    bool written_with(const PathInfo& other) const {
        return last_write == other.last_write &&
               last_write_nanoseconds == other.last_write_nanoseconds;
    }
};

// Fails with a "not found" error when nothing exists at path.
Status query_path(const char* path, PathInfo* info);

// Whether two paths name one file: the same file when both exist (through any links),
// else the same name in the same directory once links are followed.
bool same_file(const char* a, const char* b);

// The error an open reports when a file is in use in a way that refuses it.
ErrorCode sharing_violation_error();

// Deletes a file unless this process holds it open. Windows refuses to delete a file that
// is open without delete sharing; POSIX would delete it under its holder, who then writes
// into a file that no longer has a name, so the same refusal is made here.
Status remove_unless_open(const char* path);
Status make_directory(const char* path);
Status remove_file(const char* path);

// Gives the file at `to` the owner and permissions of the file at `from`, as far as this
// process may, so that a replacement made beside a file keeps its access. Nothing where
// files take their access from their directory (Windows).
Status copy_file_access(const char* from, const char* to);

// Puts the file at `source` in the place of the one at `target` in one step: whatever
// happens, a crash included, `target` holds the whole of one of them. `source` must be
// complete and flushed, on the same volume, and closed. `target_hold`, the caller's
// exclusive open of the old file, stays open where an open file can be replaced (POSIX) and
// is closed first where it cannot (Windows). On POSIX the directory is flushed afterwards,
// which makes the new name durable.
Status replace_file(const char* source, const char* target, File* target_hold = nullptr);

// Fails with an access-denied error when the file at path is marked read-only (nobody may
// write it on POSIX, the read-only attribute on Windows), so that a replace onto it is
// refused alike on both, as Windows refuses it; succeeds when it is writable or missing.
Status refuse_read_only(const char* path);

// The path made absolute against the current directory, as the system's full-path
// function does. False (out cut) when it does not fit or cannot be made.
bool full_path(const char* path, char* out, std::size_t capacity);

// Separators between path components on this platform, and the one used to join them.
bool is_path_separator(char c);
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// A path that names its location in full (with a drive on Windows, from the root on POSIX).
bool is_full_path(const char* path);

// Whether the storage a full path starts on can be used for files: on Windows a drive of a
// known type, on POSIX any path from the root.
bool path_root_usable(const char* path);

// Bytes of the character that starts at s (not at its end), so that a scan for separators
// steps over the trail byte of a double-byte character in the system's ANSI code page.
std::size_t path_character_length(const char* s);

// The outcome of making sure that a directory and all its parents exist.
enum class DirectoryResult { ok, not_a_directory, create_failed };
struct EnsureDirectory {
    DirectoryResult result = DirectoryResult::ok;
    ErrorCode error = 0;
};
EnsureDirectory ensure_directory(const char* directory);

// Makes sure the directory part of path (before its last separator) exists.
EnsureDirectory ensure_parent_directory(const char* path);

// The process's standard output, if it has a usable one.
bool standard_output_available();
Status write_standard_output(const void* data, std::size_t size);

}  // namespace plat
