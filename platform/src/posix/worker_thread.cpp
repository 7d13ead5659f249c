// Threads that run one function, with timed joins.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "deadline.h"
#include "plat/thread.h"

namespace plat {

struct Thread::Impl {
    pthread_t handle{};
    std::function<void()> body;
    std::atomic<std::uint32_t> id{0};
    std::atomic<bool> ended{false};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    bool detached = false;  // the object is gone; the thread releases this record
};

namespace {

void* run_thread(void* argument) {
    auto* impl = static_cast<Thread::Impl*>(argument);
    impl->body();
    pthread_mutex_lock(&impl->lock);
    impl->ended.store(true);
    pthread_cond_broadcast(&impl->changed);
    const bool orphaned = impl->detached;
    pthread_mutex_unlock(&impl->lock);
    if (orphaned) {
        delete impl;
    }
    return nullptr;
}

}  // namespace

Thread::~Thread() {
    if (impl_ == nullptr) {
        return;
    }
    // Once detached is set the thread may release the record at any moment.
    const pthread_t handle = impl_->handle;
    pthread_mutex_lock(&impl_->lock);
    const bool ended = impl_->ended.load();
    impl_->detached = !ended;
    pthread_mutex_unlock(&impl_->lock);
    if (ended) {
        pthread_join(handle, nullptr);
        delete impl_;
    } else {
        pthread_detach(handle);
    }
}

Status Thread::start(std::function<void()> body) {
    if (impl_ != nullptr) {
        return Status::failure(EBUSY);
    }
    auto* impl = new (std::nothrow) Impl;
    if (impl == nullptr) {
        return Status::failure(ENOMEM);
    }
    // The id is known before start() returns, as a created thread's id is on Windows.
    std::atomic<std::uint32_t>* id = &impl->id;
    impl->body = [id, body = std::move(body)] {
        id->store(current_thread_id());
        id->notify_all();
        body();
    };
    const int error = pthread_create(&impl->handle, nullptr, run_thread, impl);
    if (error != 0) {
        delete impl;
        return Status::failure(static_cast<ErrorCode>(error));
    }
    impl->id.wait(0);
    impl_ = impl;
    return Status::success();
}

std::uint32_t Thread::id() const {
    return impl_ != nullptr ? impl_->id.load() : 0;
}

WaitResult Thread::join(std::uint32_t timeout_ms) {
    if (impl_ == nullptr) {
        return WaitResult::failed;
    }
    const timespec deadline = deadline_after(timeout_ms, CLOCK_MONOTONIC);
    pthread_mutex_lock(&impl_->lock);
    int error = 0;
    while (!impl_->ended.load() && error == 0) {
        error = timeout_ms == kWaitForever ? pthread_cond_wait(&impl_->changed, &impl_->lock)
                                           : pthread_cond_clockwait(&impl_->changed, &impl_->lock,
                                                                    CLOCK_MONOTONIC, &deadline);
    }
    const bool ended = impl_->ended.load();
    pthread_mutex_unlock(&impl_->lock);
    if (ended) {
        return WaitResult::signalled;
    }
    return error == ETIMEDOUT ? WaitResult::timed_out : WaitResult::failed;
}

Status Thread::raise_to_time_critical() {
    if (impl_ == nullptr) {
        return Status::failure(ESRCH);
    }
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    const int error = pthread_setschedparam(impl_->handle, SCHED_FIFO, &param);
    return error == 0 ? Status::success() : Status::failure(static_cast<ErrorCode>(error));
}

Status raise_current_thread_to_time_critical() {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    return error == 0 ? Status::success() : Status::failure(static_cast<ErrorCode>(error));
}

}  // namespace plat
