#include "plat/sync.h"

#include <pthread.h>

#include <new>

namespace plat {

namespace {

pthread_mutex_t* native(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

}  // namespace

RecursiveMutex::RecursiveMutex() {
    static_assert(sizeof(pthread_mutex_t) <= kStorageSize);
#if defined(PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP)
    // A store, where the attribute calls cost more than the lock itself: data structures
    // make thousands of these.
    new (storage_) pthread_mutex_t(PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP);
#else
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attributes);
    pthread_mutexattr_destroy(&attributes);
#endif
}

RecursiveMutex::~RecursiveMutex() {
    pthread_mutex_destroy(native(storage_));
}

void RecursiveMutex::lock() {
    pthread_mutex_lock(native(storage_));
}

bool RecursiveMutex::try_lock() {
    return pthread_mutex_trylock(native(storage_)) == 0;
}

void RecursiveMutex::unlock() {
    pthread_mutex_unlock(native(storage_));
}

}  // namespace plat
