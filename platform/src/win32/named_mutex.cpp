// Named mutexes: Win32 mutex objects whose security descriptor grants everyone all access.
#include <windows.h>

#include <cstdlib>
#include <new>

#include "plat/sync.h"
#include "plat/text.h"
#include "wait.h"

namespace plat {

namespace {

// Tests run side by side; an environment variable keeps their names apart.
void object_name(const char* name, char* out, std::size_t capacity) {
    const char* space = std::getenv("VM_IPC_NAMESPACE");
    if (space != nullptr && space[0] != '\0') {
        format_cut(out, capacity, "%s.%s", space, name);
    } else {
        copy_cut(out, capacity, name);
    }
}

}  // namespace

struct NamedMutex::Impl {
    HANDLE handle;
};

NamedMutex::~NamedMutex() {
    close();
}

Status NamedMutex::open(const char* name) {
    close();
    char object[MAX_PATH];
    object_name(name, object, sizeof object);
    // An empty access list would deny everyone; no list at all grants everyone everything.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    HANDLE handle = CreateMutexA(&attributes, FALSE, object);
    if (handle == nullptr) {
        return Status::failure(GetLastError());
    }
    impl_ = new (std::nothrow) Impl{handle};
    if (impl_ == nullptr) {
        CloseHandle(handle);
        return Status::failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    return Status::success();
}

void NamedMutex::close() {
    if (impl_ != nullptr) {
        CloseHandle(impl_->handle);
        delete impl_;
        impl_ = nullptr;
    }
}

// Mutex objects vanish with their last handle.
void NamedMutex::remove(const char*) {}

WaitResult NamedMutex::lock(std::uint32_t timeout_ms) {
    if (impl_ == nullptr) {
        return WaitResult::failed;
    }
    return wait_for_handle(impl_->handle, timeout_ms);
}

void NamedMutex::unlock() {
    if (impl_ != nullptr) {
        ReleaseMutex(impl_->handle);
    }
}

}  // namespace plat
