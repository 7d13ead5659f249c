#include "plat/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace plat {

std::uint32_t current_process_id() {
    return static_cast<std::uint32_t>(getpid());
}

std::uint32_t current_thread_id() {
    // Asked on every trace line; the system call is worth saving.
    thread_local const auto id = static_cast<std::uint32_t>(gettid());
    return id;
}

static_assert(sizeof(pthread_key_t) <= sizeof(std::uint64_t));

ThreadSlot::ThreadSlot(Release release) {
    pthread_key_t key{};
    if (pthread_key_create(&key, release) == 0) {
        key_ = key;
        valid_ = true;
    }
}

ThreadSlot::~ThreadSlot() {
    if (valid_) {
        pthread_key_delete(static_cast<pthread_key_t>(key_));
    }
}

void* ThreadSlot::get() const {
    return valid_ ? pthread_getspecific(static_cast<pthread_key_t>(key_)) : nullptr;
}

bool ThreadSlot::set(void* value) {
    return valid_ && pthread_setspecific(static_cast<pthread_key_t>(key_), value) == 0;
}

}  // namespace plat
