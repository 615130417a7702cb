#include "tidewell/wake_word.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tw {

void notify(WakeWord* word, int how_many)
{
    __atomic_fetch_add(&word->seq, 1, __ATOMIC_SEQ_CST);
    if (asleep(word)) {
        syscall(SYS_futex, &word->seq, FUTEX_WAKE, how_many, nullptr, nullptr, 0);
    }
}

bool sleep_on(WakeWord* word, uint32_t seen, const struct timespec& deadline)
{
    __atomic_fetch_add(&word->sleepers, 1, __ATOMIC_SEQ_CST);
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline.
    long rc = syscall(SYS_futex, &word->seq, FUTEX_WAIT_BITSET, seen, &deadline, nullptr,
                      FUTEX_BITSET_MATCH_ANY);
    bool woken = rc == 0 || errno == EAGAIN;
    __atomic_fetch_sub(&word->sleepers, 1, __ATOMIC_SEQ_CST);
    return woken;
}

long now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000L + ts.tv_nsec;
}

void AdaptiveSpin::learn(bool spun_ok, long delay_ns)
{
    if (spun_ok) {
        long wanted = std::min(2 * delay_ns, MAX_SPIN_NS);
        budget_ns = std::max(budget_ns, wanted);
    }
    else {
        budget_ns /= 2;
    }
}

long AdaptiveSpin::next_budget()
{
    if (budget_ns < MAX_SPIN_NS / 4 && ++waits % PROBE_EVERY == 0) {
        return MAX_SPIN_NS;
    }
    return budget_ns;
}

// The CPUs this process may run on (a process pinned to one CPU must never spin).
static bool several_cpus()
{
    static const bool several = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof(set), &set) == 0) {
            return CPU_COUNT(&set) > 1;
        }
        return sysconf(_SC_NPROCESSORS_ONLN) > 1;
    }();
    return several;
}

bool spin_until(AdaptiveSpin& spin, bool (*done)(const void*), bool (*peer_awake)(const void*),
                const void* ctx)
{
    long budget = spin.next_budget();
    if (budget <= 0 || !several_cpus() || !peer_awake(ctx)) {
        return done(ctx);
    }
    long end = now_ns() + budget;
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (done(ctx)) {
                return true;
            }
            __builtin_ia32_pause();
        }
        if (!peer_awake(ctx) || now_ns() >= end) {
            return done(ctx);
        }
    }
}

} // namespace tw
