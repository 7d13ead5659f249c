// Named mutexes: a robust, process-shared, recursive pthread mutex in a shared-memory
// object that only its owner may open.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "deadline.h"
#include "plat/sync.h"
#include "plat/text.h"

namespace plat {

namespace {

constexpr std::uint32_t kUninitialised = 0;
constexpr std::uint32_t kInitialising = 1;
constexpr std::uint32_t kReady = 2;
constexpr int kReadyWaitMs = 2000;
constexpr mode_t kOwnerOnly = 0600;
constexpr int kOpenAttempts = 4;

struct SharedMutex {
    std::atomic<std::uint32_t> state;
    pthread_mutex_t mutex;
};

// Tests run side by side; an environment variable keeps their names apart. Names may hold
// slashes (they are often made from paths) and be longer than an object name may be: the
// slashes are escaped, and a long name keeps its end and a hash of the whole.
void object_name(const char* name, char* out, std::size_t capacity) {
    constexpr std::size_t kMaxObjectName = 200;
    constexpr std::size_t kKeptTail = 160;
    std::string full;
    const char* space = std::getenv("VM_IPC_NAMESPACE");
    if (space != nullptr && space[0] != '\0') {
        full = std::string(space) + ".";
    }
    full += name;
    std::string escaped;
    for (const char c : full) {
        if (c == '%') {
            escaped += "%25";
        } else if (c == '/') {
            escaped += "%2F";
        } else {
            escaped += c;
        }
    }
    if (escaped.size() > kMaxObjectName) {
        std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (const char c : full) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        format_cut(out, capacity, "/~%016llx%s", static_cast<unsigned long long>(hash),
                   escaped.c_str() + (escaped.size() - kKeptTail));
        return;
    }
    format_cut(out, capacity, "/%s", escaped.c_str());
}

bool initialise(SharedMutex* shared) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    const bool ok = pthread_mutex_init(&shared->mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Holders of these mutexes keep them for a few hundred nanoseconds: trying a little while
// before sleeping spares the system calls of sleeping and waking. EBUSY if still held.
int spin_for(pthread_mutex_t* mutex) {
    constexpr int kTries = 100;
    for (int attempt = 0;; ++attempt) {
        const int result = pthread_mutex_trylock(mutex);
        if (result != EBUSY || attempt == kTries) {
            return result;
        }
        cpu_relax();
    }
}

// Opens the object for reading and writing, creating it for this user alone. Anyone who
// can open it can hold the mutex for as long as they like, so an object that is another
// user's, or that gives others access (they may have it open already), is not used: it is
// replaced where we may remove it, and refused otherwise. The file descriptor, or -1 with
// errno set.
int open_own_object(const char* object) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        int fd = shm_open(object, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
        if (fd >= 0) {
            // The umask may have taken bits the owner needs.
            if (fchmod(fd, kOwnerOnly) != 0) {
                const int error = errno;
                ::close(fd);
                shm_unlink(object);
                errno = error;
                return -1;
            }
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
        fd = shm_open(object, O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) {
            if (errno == ENOENT) {
                continue;  // removed since; create it again
            }
            return -1;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        if (st.st_uid == geteuid() && (st.st_mode & 07777) == kOwnerOnly) {
            return fd;
        }
        ::close(fd);
        // Only the object's owner or an administrator may remove it.
        if (shm_unlink(object) != 0 && errno != ENOENT) {
            errno = EACCES;
            return -1;
        }
    }
    errno = EACCES;
    return -1;
}

// Whoever created the object initialises it; everyone else waits until it is ready.
bool make_ready(SharedMutex* shared) {
    std::uint32_t expected = kUninitialised;
    if (shared->state.compare_exchange_strong(expected, kInitialising)) {
        if (!initialise(shared)) {
            shared->state.store(kUninitialised);
            return false;
        }
        shared->state.store(kReady);
        return true;
    }
    for (int waited = 0; waited < kReadyWaitMs; ++waited) {
        if (shared->state.load() == kReady) {
            return true;
        }
        usleep(1000);
    }
    return false;
}

// Each name is mapped once per process and stays mapped: the kernel finds a dead owner's
// mutexes through the addresses the owner locked them at, so a mapping must outlive every
// thread that may hold it, whichever handle that thread used.
Status map_shared_mutex(const char* object, SharedMutex** out) {
    static std::mutex table_lock;
    static std::map<std::string, SharedMutex*> mapped_by_name;
    std::lock_guard guard(table_lock);
    if (const auto found = mapped_by_name.find(object); found != mapped_by_name.end()) {
        *out = found->second;
        return Status::success();
    }
    const int fd = open_own_object(object);
    if (fd < 0) {
        return Status::failure(static_cast<ErrorCode>(errno));
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || (st.st_size < static_cast<off_t>(sizeof(SharedMutex)) &&
                                ftruncate(fd, sizeof(SharedMutex)) != 0)) {
        const Status failed = Status::failure(static_cast<ErrorCode>(errno));
        ::close(fd);
        return failed;
    }
    void* mapped = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int map_error = errno;
    ::close(fd);
    if (mapped == MAP_FAILED) {
        return Status::failure(static_cast<ErrorCode>(map_error));
    }
    auto* shared = static_cast<SharedMutex*>(mapped);
    if (!make_ready(shared)) {
        munmap(mapped, sizeof(SharedMutex));
        return Status::failure(EAGAIN);
    }
    mapped_by_name.emplace(object, shared);
    *out = shared;
    return Status::success();
}

}  // namespace

struct NamedMutex::Impl {
    SharedMutex* shared;
};

NamedMutex::~NamedMutex() {
    close();
}

Status NamedMutex::open(const char* name) {
    close();
    char object[256];
    object_name(name, object, sizeof object);
    SharedMutex* shared = nullptr;
    if (const Status mapped = map_shared_mutex(object, &shared); !mapped.ok()) {
        return mapped;
    }
    impl_ = new (std::nothrow) Impl{shared};
    return impl_ != nullptr ? Status::success() : Status::failure(ENOMEM);
}

void NamedMutex::close() {
    delete impl_;
    impl_ = nullptr;
}

void NamedMutex::remove(const char* name) {
    char object[256];
    object_name(name, object, sizeof object);
    shm_unlink(object);
}

WaitResult NamedMutex::lock(std::uint32_t timeout_ms) {
    if (impl_ == nullptr) {
        return WaitResult::failed;
    }
    int result = spin_for(&impl_->shared->mutex);
    if (result != EBUSY) {
        // taken, or abandoned by its owner, without sleeping
    } else if (timeout_ms == kWaitForever) {
        result = pthread_mutex_lock(&impl_->shared->mutex);
    } else {
        // Timed locks of robust mutexes measure against the wall clock.
        const timespec deadline = deadline_after(timeout_ms, CLOCK_REALTIME);
        result = pthread_mutex_timedlock(&impl_->shared->mutex, &deadline);
    }
    switch (result) {
        case 0:
            return WaitResult::signalled;
        case EOWNERDEAD:
            // Ours now; mark it usable again for everyone after us.
            pthread_mutex_consistent(&impl_->shared->mutex);
            return WaitResult::abandoned;
        case ETIMEDOUT:
            return WaitResult::timed_out;
        default:
            return WaitResult::failed;
    }
}

void NamedMutex::unlock() {
    if (impl_ != nullptr) {
        pthread_mutex_unlock(&impl_->shared->mutex);
    }
}

}  // namespace plat
