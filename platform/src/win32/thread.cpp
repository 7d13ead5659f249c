#include "plat/thread.h"

#include <windows.h>

#include <cstddef>

namespace plat {

// Thread slots are TLS indexes. Windows has no per-index destructor, so every slot is
// listed here and a TLS callback releases the values on thread detach. A TLS callback runs
// for the module that holds it, DLL or program alike, on every thread that ends while the
// module is loaded. (FLS callbacks would also run from FlsFree, for every thread, which a
// slot's destruction must not do.)

namespace {

constexpr std::size_t kMaxSlots = 64;
// Passes over the slots at thread end, for release functions that store new values.
constexpr int kReleasePasses = 4;

struct SlotEntry {
    DWORD index;
    ThreadSlot::Release release;
};

SRWLOCK g_slots_lock = SRWLOCK_INIT;
SlotEntry g_slots[kMaxSlots];
bool g_slot_used[kMaxSlots];

bool register_slot(DWORD index, ThreadSlot::Release release) {
    AcquireSRWLockExclusive(&g_slots_lock);
    bool registered = false;
    for (std::size_t i = 0; i < kMaxSlots && !registered; ++i) {
        if (!g_slot_used[i]) {
            g_slots[i] = {index, release};
            g_slot_used[i] = true;
            registered = true;
        }
    }
    ReleaseSRWLockExclusive(&g_slots_lock);
    return registered;
}

void unregister_slot(DWORD index) {
    AcquireSRWLockExclusive(&g_slots_lock);
    for (std::size_t i = 0; i < kMaxSlots; ++i) {
        if (g_slot_used[i] && g_slots[i].index == index) {
            g_slot_used[i] = false;
        }
    }
    ReleaseSRWLockExclusive(&g_slots_lock);
}

// Takes the ending thread's values out of their slots under the lock, and releases them
// after it, so that a release function may use slots itself.
void release_thread_values() {
    for (int pass = 0; pass < kReleasePasses; ++pass) {
        struct Pending {
            ThreadSlot::Release release;
            void* value;
        } pending[kMaxSlots];
        std::size_t count = 0;
        AcquireSRWLockShared(&g_slots_lock);
        for (std::size_t i = 0; i < kMaxSlots; ++i) {
            if (!g_slot_used[i]) {
                continue;
            }
            void* value = TlsGetValue(g_slots[i].index);
            if (value != nullptr && g_slots[i].release != nullptr) {
                TlsSetValue(g_slots[i].index, nullptr);
                pending[count++] = {g_slots[i].release, value};
            }
        }
        ReleaseSRWLockShared(&g_slots_lock);
        if (count == 0) {
            return;
        }
        for (std::size_t i = 0; i < count; ++i) {
            pending[i].release(pending[i].value);
        }
    }
}

void WINAPI on_thread_event(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_DETACH) {
        release_thread_values();
    }
}

// The loader calls every callback between the runtime's .CRT$XLA and .CRT$XLZ markers; the
// runtime's TLS directory points at them.
__attribute__((section(".CRT$XLV"), used)) const PIMAGE_TLS_CALLBACK thread_slot_callback =
    on_thread_event;

}  // namespace

std::uint32_t current_process_id() {
    return GetCurrentProcessId();
}

void sleep_ms(std::uint32_t ms) {
    Sleep(ms);
}

std::uint32_t current_thread_id() {
    return GetCurrentThreadId();
}

ThreadSlot::ThreadSlot(Release release) {
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) {
        return;
    }
    if (!register_slot(index, release)) {
        TlsFree(index);
        return;
    }
    key_ = index;
    valid_ = true;
}

ThreadSlot::~ThreadSlot() {
    if (valid_) {
        unregister_slot(static_cast<DWORD>(key_));
        TlsFree(static_cast<DWORD>(key_));
    }
}

void* ThreadSlot::get() const {
    // TlsGetValue sets the last error to 0; callers may be keeping an error to report.
    if (!valid_) {
        return nullptr;
    }
    const DWORD saved = GetLastError();
    void* value = TlsGetValue(static_cast<DWORD>(key_));
    SetLastError(saved);
    return value;
}

bool ThreadSlot::set(void* value) {
    return valid_ && TlsSetValue(static_cast<DWORD>(key_), value) != FALSE;
}

}  // namespace plat
