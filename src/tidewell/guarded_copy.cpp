// A SIGBUS handler that turns a fault inside a guarded copy into a return value and passes any
// other SIGBUS to the handler that was installed before it.
#include "tidewell/guarded_copy.hpp"

#include <csetjmp>
#include <csignal>
#include <cstring>
#include <pthread.h>

namespace tw {

namespace {

struct sigaction previous_bus;
pthread_mutex_t install_lock = PTHREAD_MUTEX_INITIALIZER;
bool installed = false;

// Initial-exec: the handler reads it without a possible allocation by the TLS resolver.
__attribute__((tls_model("initial-exec"))) thread_local sigjmp_buf* guard_jump = nullptr;

void on_bus(int sig, siginfo_t* info, void* context)
{
    sigjmp_buf* jump = guard_jump;
    if (jump != nullptr) {
        guard_jump = nullptr;
        siglongjmp(*jump, 1);
    }
    // Not ours: the previous handler decides, as if this one were not installed.
    if ((previous_bus.sa_flags & SA_SIGINFO) != 0 && previous_bus.sa_sigaction != nullptr) {
        previous_bus.sa_sigaction(sig, info, context);
        return;
    }
    if (previous_bus.sa_handler == SIG_DFL || previous_bus.sa_handler == SIG_IGN) {
        // Returning re-runs the faulting access, which now takes the default action.
        sigaction(SIGBUS, &previous_bus, nullptr);
        return;
    }
    previous_bus.sa_handler(sig);
}

// Installed once, on the first guarded copy, and kept: installing and restoring around every copy
// would race between threads and cost two system calls per read. A handler installed later
// (faulthandler.enable()) that does not chain to ours leaves faults fatal, as before. SA_NODEFER
// keeps SIGBUS unblocked after the jump, which restores no signal mask (sigsetjmp(…, 0) is
// cheap).
void ensure_installed()
{
    if (__atomic_load_n(&installed, __ATOMIC_ACQUIRE)) {
        return;
    }
    pthread_mutex_lock(&install_lock);
    struct sigaction current;
    if (!installed && sigaction(SIGBUS, nullptr, &current) == 0) {
        struct sigaction ours;
        std::memset(&ours, 0, sizeof(ours));
        ours.sa_sigaction = on_bus;
        ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        previous_bus = current;
        if (sigaction(SIGBUS, &ours, nullptr) == 0) {
            __atomic_store_n(&installed, true, __ATOMIC_RELEASE);
        }
    }
    pthread_mutex_unlock(&install_lock);
}

} // namespace

bool run_guarded(void (*step)(void*), void* context) noexcept
{
    ensure_installed();
    sigjmp_buf jump;
    if (sigsetjmp(jump, 0) != 0) {
        return false;
    }
    guard_jump = &jump;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    step(context);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    guard_jump = nullptr;
    return true;
}

namespace {

struct CopyArgs {
    void* dst;
    const void* src;
    size_t len;
};

void copy_step(void* context)
{
    auto* args = static_cast<CopyArgs*>(context);
    std::memcpy(args->dst, args->src, args->len);
}

} // namespace

bool guarded_copy(void* dst, const void* src, size_t len) noexcept
{
    CopyArgs args{dst, src, len};
    return run_guarded(copy_step, &args);
}

} // namespace tw
