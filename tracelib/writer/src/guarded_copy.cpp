#include "guarded_copy.h"

#include <cstring>

#ifndef _WIN32
#include <csetjmp>
#include <csignal>
#include <mutex>
#endif

namespace ktl {

#ifndef _WIN32

namespace {

// The jump target of the copy this thread is in, or null outside one.
thread_local sigjmp_buf* active_target = nullptr;
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
    sigjmp_buf* target = active_target;
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

// A failed page-in on Windows comes only from the device behind the file (a mapped file
// cannot be shortened there), and this compiler offers no structured exception frames.
bool guarded_copy(void* destination, const void* source, std::size_t n, std::uint32_t* code) {
    *code = 0;
    std::memcpy(destination, source, n);
    return true;
}

#endif

}  // namespace ktl
