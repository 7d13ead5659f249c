#include "plat/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "deadline.h"

namespace plat {

namespace {

// Asked on every trace line; the system call is worth saving.
thread_local std::uint32_t t_thread_id = 0;

// The forking thread goes on in the child under a new id.
void forget_thread_id() {
    t_thread_id = 0;
}

// Registered on the first use of the ids, so that the fork handlers of their users, which
// come later, see the child's ids.
void forget_ids_at_fork() {
    static const int registered = pthread_atfork(nullptr, nullptr, forget_thread_id);
    (void)registered;
}

}  // namespace

std::uint32_t current_process_id() {
    forget_ids_at_fork();
    return static_cast<std::uint32_t>(getpid());
}

std::uint32_t current_thread_id() {
    if (t_thread_id == 0) {
        forget_ids_at_fork();
        t_thread_id = static_cast<std::uint32_t>(gettid());
    }
    return t_thread_id;
}

void sleep_ms(std::uint32_t ms) {
    // An absolute monotonic deadline: signals do not cut the sleep short, and setting the
    // wall clock does not stretch it.
    const timespec deadline = deadline_after(ms, CLOCK_MONOTONIC);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
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
