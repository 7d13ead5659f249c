// Named mutexes: Win32 mutex objects that only the creating account, SYSTEM and the
// administrators may open.
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "plat/sync.h"
#include "plat/text.h"
#include "wait.h"

namespace plat {

namespace {

// Tests run side by side; an environment variable keeps their names apart, after a
// "Global\" or "Local\" namespace prefix, which must come first. Object names are limited
// to MAX_PATH: a longer name keeps its end and a hash of the whole, so that two long names
// that differ anywhere stay two mutexes.
void object_name(const char* name, char* out, std::size_t capacity) {
    constexpr std::size_t kMaxObjectName = 200;
    constexpr std::size_t kKeptTail = 160;
    const bool has_namespace =
        std::strncmp(name, "Global\\", 7) == 0 || std::strncmp(name, "Local\\", 6) == 0;
    const std::size_t kept = has_namespace ? std::strchr(name, '\\') - name + 1 : 0;
    std::string rest;
    const char* space = std::getenv("VM_IPC_NAMESPACE");
    if (space != nullptr && space[0] != '\0') {
        rest = std::string(space) + ".";
    }
    rest += name + kept;
    if (rest.size() > kMaxObjectName) {
        std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (const char c : rest) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        format_cut(out, capacity, "%.*s~%016llx%s", static_cast<int>(kept), name,
                   static_cast<unsigned long long>(hash), rest.c_str() + rest.size() - kKeptTail);
        return;
    }
    format_cut(out, capacity, "%.*s%s", static_cast<int>(kept), name, rest.c_str());
}

// Whoever may open the mutex may hold it and stall its other users: all access for the
// account this process runs as, SYSTEM and the administrators, and nobody else. The account
// owns what it creates, whatever the token names as default owner.
class OwnerOnlySecurity {
  public:
    DWORD build() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            return GetLastError();
        }
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user_.resize(size / sizeof(DWORD) + 1);
        const bool got =
            size != 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
        const DWORD token_error = GetLastError();
        CloseHandle(token);
        if (!got) {
            return token_error;
        }
        DWORD system_size = sizeof system_;
        DWORD admins_size = sizeof admins_;
        if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &system_size) ||
            !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_, &admins_size)) {
            return GetLastError();
        }
        const DWORD acl_size = sizeof(ACL) + 3 * sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user()) +
                               system_size + admins_size;
        acl_.resize(acl_size / sizeof(DWORD) + 1);
        ACL* acl = this->acl();
        if (!InitializeAcl(acl, acl_size, ACL_REVISION) ||
            !AddAccessAllowedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, user()) ||
            !AddAccessAllowedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, system()) ||
            !AddAccessAllowedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, admins()) ||
            !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
            !SetSecurityDescriptorOwner(&descriptor_, user(), FALSE)) {
            return GetLastError();
        }
        return ERROR_SUCCESS;
    }

    SECURITY_ATTRIBUTES attributes() { return {sizeof(SECURITY_ATTRIBUTES), &descriptor_, FALSE}; }
    PSID user() { return reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid; }
    PSID system() { return system_; }
    PSID admins() { return admins_; }
    ACL* acl() { return reinterpret_cast<ACL*>(acl_.data()); }

    // An existing object is trusted when one of the three owns it; its access list is then
    // narrowed to ours (an earlier version granted everyone all access).
    DWORD adopt(HANDLE handle) {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD error = GetSecurityInfo(handle, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                      nullptr, nullptr, nullptr, &descriptor);
        if (error == ERROR_SUCCESS) {
            const bool trusted =
                owner != nullptr &&
                (EqualSid(owner, user()) || EqualSid(owner, system()) || EqualSid(owner, admins()));
            error = trusted ? SetSecurityInfo(handle, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, acl(), nullptr)
                            : ERROR_ACCESS_DENIED;
        }
        LocalFree(descriptor);
        return error;
    }

  private:
    std::vector<DWORD> user_;
    DWORD system_[SECURITY_MAX_SID_SIZE / sizeof(DWORD) + 1] = {};
    DWORD admins_[SECURITY_MAX_SID_SIZE / sizeof(DWORD) + 1] = {};
    std::vector<DWORD> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
};

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
    OwnerOnlySecurity security;
    if (const DWORD error = security.build(); error != ERROR_SUCCESS) {
        return Status::failure(error);
    }
    SECURITY_ATTRIBUTES attributes = security.attributes();
    HANDLE handle = CreateMutexA(&attributes, FALSE, object);
    if (handle == nullptr) {
        return Status::failure(GetLastError());
    }
    // An existing object keeps the security it was made with.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (const DWORD error = security.adopt(handle); error != ERROR_SUCCESS) {
            CloseHandle(handle);
            return Status::failure(error);
        }
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
