// Auto-reset events over a mutex and a condition variable on the monotonic clock. A wait on
// several events registers itself with each of them, so that setting any one wakes it.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "deadline.h"
#include "plat/sync.h"

namespace plat {

namespace {

// One wait on several events, woken by whichever of them is set first.
struct MultiWaiter {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t woken;
    bool fired = false;
};

// A waiter's entry in one event's list.
struct WaiterLink {
    MultiWaiter* waiter = nullptr;
    WaiterLink* next = nullptr;
};

constexpr std::size_t kMaxWaitEvents = 64;

void init_monotonic_condition(pthread_cond_t* condition) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    // Time-outs must not stretch or shrink when the wall clock is set.
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(condition, &attributes);
    pthread_condattr_destroy(&attributes);
}

}  // namespace

struct Event::Impl {
    pthread_mutex_t mutex;
    pthread_cond_t signalled;
    // Written under the mutex; read without it only to skip setting a set event again.
    std::atomic<bool> set{false};
    WaiterLink* waiters = nullptr;  // under the mutex

    // Resets the event if it is set; under the mutex.
    bool consume() {
        const bool was_set = set.load();
        set.store(false);
        return was_set;
    }
    void unlink(WaiterLink* link) {
        for (WaiterLink** at = &waiters; *at != nullptr; at = &(*at)->next) {
            if (*at == link) {
                *at = link->next;
                return;
            }
        }
    }
};

Event::Event() : impl_(new (std::nothrow) Impl) {
    if (impl_ == nullptr) {
        return;
    }
    pthread_mutex_init(&impl_->mutex, nullptr);
    init_monotonic_condition(&impl_->signalled);
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
    for (WaiterLink* link = impl_->waiters; link != nullptr; link = link->next) {
        pthread_mutex_lock(&link->waiter->mutex);
        link->waiter->fired = true;
        pthread_cond_signal(&link->waiter->woken);
        pthread_mutex_unlock(&link->waiter->mutex);
    }
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
    const bool was_set = impl_->consume();
    pthread_mutex_unlock(&impl_->mutex);
    if (was_set) {
        return WaitResult::signalled;
    }
    return error == ETIMEDOUT ? WaitResult::timed_out : WaitResult::failed;
}

WaitAnyResult wait_any(Event* const* events, std::size_t count, std::uint32_t timeout_ms) {
    if (events == nullptr || count == 0 || count > kMaxWaitEvents) {
        errno = EINVAL;
        return {};
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (events[i] == nullptr || !events[i]->valid()) {
            errno = EINVAL;
            return {};
        }
    }
    const timespec deadline = deadline_after(timeout_ms, CLOCK_MONOTONIC);
    MultiWaiter waiter;
    init_monotonic_condition(&waiter.woken);
    WaiterLink links[kMaxWaitEvents];
    const auto unregister = [&](std::size_t registered) {
        for (std::size_t i = 0; i < registered; ++i) {
            Event::Impl* impl = events[i]->impl_;
            pthread_mutex_lock(&impl->mutex);
            impl->unlink(&links[i]);
            pthread_mutex_unlock(&impl->mutex);
        }
    };

    WaitAnyResult outcome;
    for (;;) {
        // Take the first event that is set; otherwise be woken by any of them.
        std::size_t registered = 0;
        bool taken = false;
        for (; registered < count; ++registered) {
            Event::Impl* impl = events[registered]->impl_;
            pthread_mutex_lock(&impl->mutex);
            taken = impl->consume();
            if (!taken) {
                links[registered] = {&waiter, impl->waiters};
                impl->waiters = &links[registered];
            }
            pthread_mutex_unlock(&impl->mutex);
            if (taken) {
                break;
            }
        }
        if (taken) {
            unregister(registered);
            outcome = {WaitResult::signalled, registered};
            break;
        }
        int error = 0;
        pthread_mutex_lock(&waiter.mutex);
        while (!waiter.fired && error == 0) {
            error = timeout_ms == kWaitForever
                        ? pthread_cond_wait(&waiter.woken, &waiter.mutex)
                        : pthread_cond_timedwait(&waiter.woken, &waiter.mutex, &deadline);
        }
        waiter.fired = false;
        pthread_mutex_unlock(&waiter.mutex);
        unregister(count);
        if (error == 0) {
            continue;  // an event was set: take it, unless another waiter was faster
        }
        outcome.result = error == ETIMEDOUT ? WaitResult::timed_out : WaitResult::failed;
        // One last look: an event set as the time ran out still counts.
        for (std::size_t i = 0; i < count && error == ETIMEDOUT; ++i) {
            Event::Impl* impl = events[i]->impl_;
            pthread_mutex_lock(&impl->mutex);
            const bool last = impl->consume();
            pthread_mutex_unlock(&impl->mutex);
            if (last) {
                outcome = {WaitResult::signalled, i};
                break;
            }
        }
        if (outcome.result == WaitResult::failed) {
            errno = error;
        }
        break;
    }
    pthread_cond_destroy(&waiter.woken);
    pthread_mutex_destroy(&waiter.mutex);
    return outcome;
}

}  // namespace plat
