#pragma once
#include <ctime>
#include <cstdint>

// Wake words: futex words in shared memory that a waiter sleeps on and a waker bumps, with an
// adaptive spin before any sleep. Everything here runs with the GIL released: no Python API.
namespace tw {

struct WakeWord {
    uint32_t seq;
    // Processes asleep (or about to sleep) on `seq`, so that a wake-up nobody waits for costs no
    // system call. A sleeper killed in its sleep leaves it too high, which only costs such calls.
    uint32_t sleepers;
};

// Bumps the word and wakes up to `how_many` sleepers. Called after the state change it
// announces: a waiter reads the word before testing that state (see wait_on), so the bump
// either comes before its sleep (which then returns at once) or wakes it.
void notify(WakeWord* word, int how_many = 0x7fffffff);

// Bumps the word without waking anyone: a waiter that read it before the change announced will
// not fall asleep on it, but sleepers stay asleep.
inline void bump(WakeWord* word)
{
    __atomic_fetch_add(&word->seq, 1, __ATOMIC_SEQ_CST);
}

inline uint32_t read_word(const WakeWord* word)
{
    return __atomic_load_n(&word->seq, __ATOMIC_ACQUIRE);
}

inline bool asleep(const WakeWord* word)
{
    return __atomic_load_n(&word->sleepers, __ATOMIC_SEQ_CST) != 0;
}

// Sleeps while `word` still reads `seen` (read before the waiter last tested its condition),
// until `deadline` (CLOCK_MONOTONIC). False at the deadline or on a signal.
bool sleep_on(WakeWord* word, uint32_t seen, const struct timespec& deadline);

// How long a waiter spins before it sleeps, learnt from its own recent waits. A spin that saw
// the event grows the budget towards twice the event's delay (recorded by the waker); a wait
// that had to sleep halves it, whatever the delay: when the peer shares our CPU, it only runs
// once we sleep, so the delays seen then say nothing about spinning. An idle or preempted peer
// therefore costs a few ever shorter spins before the waiter stops spinning. Two parties that
// both sleep would never spin again, so while the budget is low one wait in PROBE_EVERY spins
// the full time (a sleep and wake-up cost ~20-40 us here).
struct AdaptiveSpin {
    static constexpr long MAX_SPIN_NS = 50000;
    static constexpr unsigned PROBE_EVERY = 32;
    long budget_ns = 10000;
    unsigned waits = 0;

    void learn(bool spun_ok, long delay_ns);
    long next_budget();
};

long now_ns();

// Spins while `peer_awake(ctx)` holds, at most the spin budget, until `done(ctx)`. Only on a
// machine with more than one CPU: with one, the peer cannot make progress while we spin.
bool spin_until(AdaptiveSpin& spin, bool (*done)(const void*), bool (*peer_awake)(const void*),
                const void* ctx);

} // namespace tw
