// Auto-reset events over a mutex and a condition variable on the monotonic clock.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "deadline.h"
#include "plat/sync.h"

namespace plat {

struct Event::Impl {
    pthread_mutex_t mutex;
    pthread_cond_t signalled;
    // Written under the mutex; read without it only to skip setting a set event again.
    std::atomic<bool> set{false};
};

Event::Event() : impl_(new (std::nothrow) Impl) {
    if (impl_ == nullptr) {
        return;
    }
    pthread_mutex_init(&impl_->mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    // Time-outs must not stretch or shrink when the wall clock is set.
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&impl_->signalled, &attributes);
    pthread_condattr_destroy(&attributes);
}

Event::~Event() {
    if (impl_ != nullptr) {
        pthread_cond_destroy(&impl_->signalled);
        pthread_mutex_destroy(&impl_->mutex);
        delete impl_;
    }
}

void Event::set() {
    if (impl_->set.load(std::memory_order_acquire)) {
        return;
    }
    pthread_mutex_lock(&impl_->mutex);
    impl_->set.store(true, std::memory_order_release);
    pthread_cond_signal(&impl_->signalled);
    pthread_mutex_unlock(&impl_->mutex);
}

WaitResult Event::wait(std::uint32_t timeout_ms) {
    const timespec deadline = deadline_after(timeout_ms, CLOCK_MONOTONIC);
    pthread_mutex_lock(&impl_->mutex);
    int error = 0;
    while (!impl_->set && error == 0) {
        error = timeout_ms == kWaitForever
                    ? pthread_cond_wait(&impl_->signalled, &impl_->mutex)
                    : pthread_cond_timedwait(&impl_->signalled, &impl_->mutex, &deadline);
    }
    const bool was_set = impl_->set.load();
    impl_->set.store(false);
    pthread_mutex_unlock(&impl_->mutex);
    if (was_set) {
        return WaitResult::signalled;
    }
    return error == ETIMEDOUT ? WaitResult::timed_out : WaitResult::failed;
}

}  // namespace plat
