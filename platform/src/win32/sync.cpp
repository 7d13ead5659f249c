#include "plat/sync.h"

#include <windows.h>

#include <new>

namespace plat {

namespace {

CRITICAL_SECTION* native(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

}  // namespace

RecursiveMutex::RecursiveMutex() {
    static_assert(sizeof(CRITICAL_SECTION) <= kStorageSize);
    static_assert(alignof(CRITICAL_SECTION) <= 16);
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

RecursiveMutex::~RecursiveMutex() {
    DeleteCriticalSection(native(storage_));
}

void RecursiveMutex::lock() {
    EnterCriticalSection(native(storage_));
}

bool RecursiveMutex::try_lock() {
    return TryEnterCriticalSection(native(storage_)) != FALSE;
}

void RecursiveMutex::unlock() {
    LeaveCriticalSection(native(storage_));
}

}  // namespace plat
