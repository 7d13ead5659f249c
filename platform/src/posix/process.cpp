#include "plat/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace plat {

namespace {

Status from_errno(int error) {
    return Status::failure(static_cast<ErrorCode>(error));
}

}  // namespace

Status run_command_interpreter(const char* command_line, int* exit_code) {
    if (exit_code != nullptr) {
        *exit_code = -1;
    }
    if (command_line == nullptr) {
        return from_errno(EINVAL);
    }
    char shell[] = "/bin/sh";
    char option[] = "-c";
    char* argv[] = {shell, option, const_cast<char*>(command_line), nullptr};
    pid_t child = 0;
    const int error = posix_spawn(&child, shell, nullptr, nullptr, argv, environ);
    if (error != 0) {
        return from_errno(error);
    }
    int status = 0;
    pid_t done;
    do {
        done = waitpid(child, &status, 0);
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
        return from_errno(errno);
    }
    if (exit_code != nullptr && WIFEXITED(status)) {
        *exit_code = WEXITSTATUS(status);
    }
    return Status::success();
}

Status query_trusted_owner(const char* path, bool* trusted) {
    *trusted = false;
    struct stat info {};
    if (path == nullptr || ::stat(path, &info) != 0) {
        return from_errno(path == nullptr ? EINVAL : errno);
    }
    *trusted = (info.st_uid == 0 || info.st_uid == geteuid()) && (info.st_mode & 022) == 0;
    return Status::success();
}

Status FileLock::lock(const char* path) {
    unlock();
    int fd;
    do {
        fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        // One that exists can be locked through a read-only open.
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        return from_errno(errno);
    }
    int result;
    do {
        result = flock(fd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        return from_errno(error);
    }
    handle_ = fd;
    return Status::success();
}

void FileLock::unlock() {
    if (handle_ != kInvalid) {
        // Closing the descriptor releases the lock.
        ::close(static_cast<int>(handle_));
        handle_ = kInvalid;
    }
}

}  // namespace plat
