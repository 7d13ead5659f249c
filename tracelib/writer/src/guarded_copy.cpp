#include "guarded_copy.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <csetjmp>
#include <csignal>
#include <mutex>
#endif

namespace ktl {

#ifndef _WIN32

namespace {

// The jump target of the copy this thread is in, or null outside one. Volatile: the handler
// reads it, so the stores around the copy must not be merged away by the optimiser.
thread_local sigjmp_buf* volatile active_target = nullptr;
struct sigaction previous_bus_action;

void chain(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = previous_bus_action;
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // Not ours and nobody else's: end the process as the fault would have.
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
    sigjmp_buf* const target = active_target;
    if (target != nullptr) {
        active_target = nullptr;
        siglongjmp(*target, signal);
    }
    chain(signal, info, context);
}

void install_handler_once() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = on_bus_error;
        // Not blocked while it runs: the jump leaves the handler without restoring a mask.
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &previous_bus_action);
    });
}

// Kept out of line so that nothing of the caller lives in registers across the jump.
__attribute__((noinline)) bool copy_with_target(void* destination, const void* source,
                                                std::size_t n, std::uint32_t* code) {
    sigjmp_buf target;
    const int signal = sigsetjmp(target, 0);
    if (signal != 0) {
        *code = static_cast<std::uint32_t>(signal);
        return false;
    }
    active_target = &target;
    std::memcpy(destination, source, n);
    active_target = nullptr;
    return true;
}

}  // namespace

bool guarded_copy(void* destination, const void* source, std::size_t n, std::uint32_t* code) {
    install_handler_once();
    return copy_with_target(destination, source, n, code);
}

#else

namespace {

// The copy this thread is in: its jump buffer (the compiler's own five-word form, which
// restores registers without unwinding), whether it is active, and what ended it. Volatile:
// the handler reads them, so the stores around the copy must not be merged away.
thread_local void* active_target[5];
thread_local volatile bool guard_active = false;
thread_local volatile DWORD fault_code = 0;

[[noreturn]] __attribute__((noinline)) void resume_after_fault() {
    __builtin_longjmp(active_target, 1);
}

// A failed page-in (the device behind a mapped file) or an access to a view that is gone
// within a guarded copy: leave the copy as if it had called resume_after_fault.
LONG CALLBACK on_exception(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (!guard_active || (code != EXCEPTION_IN_PAGE_ERROR && code != EXCEPTION_ACCESS_VIOLATION)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    guard_active = false;
    fault_code = code;
    CONTEXT* context = info->ContextRecord;
    context->Rsp = (context->Rsp & ~static_cast<DWORD64>(15)) - 8;
    context->Rip = reinterpret_cast<DWORD64>(&resume_after_fault);
    return EXCEPTION_CONTINUE_EXECUTION;
}

__attribute__((noinline)) bool copy_with_target(void* destination, const void* source,
                                                std::size_t n, std::uint32_t* code) {
    if (__builtin_setjmp(active_target) != 0) {
        *code = fault_code;
        return false;
    }
    guard_active = true;
    std::memcpy(destination, source, n);
    guard_active = false;
    return true;
}

}  // namespace

bool guarded_copy(void* destination, const void* source, std::size_t n, std::uint32_t* code) {
    static void* const handler = AddVectoredExceptionHandler(1, on_exception);
    (void)handler;
    return copy_with_target(destination, source, n, code);
}

#endif

}  // namespace ktl
