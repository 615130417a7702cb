// Shared function segments: one serving process runs a callable for callers in other processes.
//
// The layers, each in its own file:
//   function_layout.hpp   the control record and call states
//   wake_word.cpp         futex wake words and the adaptive spin before a sleep
//   liveness.cpp          is a process alive, does a name still refer to an object
//   function_caller.cpp   call_shared_function: place a call, wait for its reply
//   function_server.cpp   create_function: the serving loop
//   function_segment.cpp  (this file) opening and checking a segment, the stop request
//
// Every change of the call state is made under the mutex, and every waiter re-tests the state
// after waking, so a wake-up given while nobody waits is never lost. fcond and ccond are wake
// words, not pthread condition variables: a process killed while it waits on a process-shared
// glibc condition variable leaves it in a state in which the next broadcast waits forever for
// the dead waiter; a futex waiter that dies leaves nothing behind.
//
// Nobody waits without limit. All waits are timed slices with the GIL released; between slices
// the GIL is re-taken to run signal handlers. A caller ends its wait when the server is gone
// (its liveness lock released, or the recorded pid of an older build gone), or when its function
// was stopped or lost its name and the call stays unanswered for UNCOLLECTED_MS; a reply nobody
// collects is given back after as long. A server that dies holding the mutex leaves it to the
// next locker through the robust-mutex protocol.
#include "tidewell/function_segment.hpp"
#include "tidewell/segment_error.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/function_lanes.hpp"
#include "tidewell/function_layout.hpp"
#include "tidewell/liveness.hpp"
#include "tidewell/segment_table.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

Status open_function_segment(const char* name, size_t map_len, MappedObject& seg)
{
    if (!seg.open(name, O_RDWR | O_CLOEXEC, SEGMENT_MODE)) {
        return failed(Step::OPEN);
    }
    struct stat st;
    unsigned char record[CONTROL_SIZE];
    if (fstat(seg.fd(), &st) != 0) {
        return failed(Step::NOT_FUNCTION);
    }
    if (!owner_allows(st)) {
        return failed(Step::REFUSED, EPERM);
    }
    auto size = static_cast<size_t>(st.st_size);
    ssize_t got = pread(seg.fd(), record, sizeof(record), 0);
    if (got != static_cast<ssize_t>(sizeof(record)) ||
        recognise(name, size, record, sizeof(record)).kind != ObjectKind::FUNCTION) {
        return failed(Step::NOT_FUNCTION, 0);
    }
    if (!seg.map(map_len)) {
        return failed(Step::MAP);
    }
    return STATUS_OK;
}

const char* describe_taken(const char* name, char* text, size_t room)
{
    int fd = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    const char* found = nullptr;
    struct stat st;
    unsigned char head[RECOGNISE_BYTES];
    ssize_t got = fstat(fd, &st) == 0 ? pread(fd, head, sizeof(head), 0) : -1;
    if (got > 0) {
        Recognition r =
            recognise(name, static_cast<size_t>(st.st_size), head, static_cast<size_t>(got));
        if (r.kind == ObjectKind::FUNCTION && r.has_pid) {
            bool alive = recorded_process_alive(fd, r, st.st_mtime, time(nullptr));
            std::snprintf(text, room,
                          alive ? "The name is served by the process with pid %d"
                                : "The name holds a function whose server (pid %d) has ended: "
                                  "remove_function or 'tidewell clean' removes it",
                          static_cast<int>(r.pid));
            found = text;
        }
        else if (r.kind == ObjectKind::VALUE) {
            found = "The name holds a value";
        }
    }
    close(fd);
    return found;
}

bool function_server_alive(int fd, const FunctionShm* record)
{
    uint32_t mark = __atomic_load_n(&record->fcond.server_lock, __ATOMIC_ACQUIRE);
    return server_alive(fd, read_server_pid(record), mark == SERVER_LOCK_MARK);
}

uint64_t own_pid_namespace()
{
    static std::atomic<uint64_t> cached{0};
    uint64_t ns = cached.load(std::memory_order_relaxed);
    if (ns == 0) {
        struct stat st;
        if (stat("/proc/self/ns/pid", &st) == 0) {
            ns = static_cast<uint64_t>(st.st_ino);
            cached.store(ns, std::memory_order_relaxed);
        }
    }
    return ns;
}

constexpr long FIRST_LOOK_NS = 10 * 1000000L;

bool reclaim_uncollected(FunctionShm* fs, UncollectedWatch& watch)
{
    unsigned char state = fs->call_state;
    if (state != CALL_REPLIED && state != CALL_REFUSED) {
        watch = UncollectedWatch();
        return false;
    }
    // A live caller collects its reply within microseconds of it being written: nothing is
    // decided (and no pid looked up) on first sight, nor on a second look soon after.
    long now = now_ns();
    if (watch.since_ns == 0 || watch.ticket != fs->ccond.call_ticket) {
        watch.ticket = fs->ccond.call_ticket;
        watch.since_ns = now;
        return false;
    }
    if (now - watch.since_ns < FIRST_LOOK_NS) {
        return false;
    }
    auto pid = static_cast<pid_t>(fs->ccond.caller_pid);
    bool ticketed = pid != 0 && fs->fcond.ticket_pid == pid;
    bool give_back;
    if (!ticketed) {
        // A caller of a build that takes any reply left in the area: only a dead one is safe to
        // pass over, as that build itself does.
        give_back = !process_alive(pid);
    }
    else if (fs->fcond.caller_pidns != 0 && fs->fcond.caller_pidns == own_pid_namespace() &&
             !process_alive(pid)) {
        give_back = true;
    }
    else {
        give_back = now - watch.since_ns >= UNCOLLECTED_MS * 1000000L;
    }
    if (give_back) {
        release_data_area(fs);
        watch = UncollectedWatch();
    }
    return give_back;
}

int lock_until(pthread_mutex_t* mutex, const struct timespec& deadline)
{
    int rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(mutex);
        rc = 0;
    }
    return rc;
}

// Waits for the mutex with the GIL released, in slices that let signal handlers run, for at most
// MAX_LOCK_WAIT_MS. False with an exception set.
static bool lock_bounded(pthread_mutex_t* mutex, const char* name)
{
    long end = now_ns() + MAX_LOCK_WAIT_MS * 1000000L;
    for (;;) {
        int rc;
        Py_BEGIN_ALLOW_THREADS
            rc = lock_until(mutex, deadline_after_ms(100));
        Py_END_ALLOW_THREADS
        if (rc == 0) {
            return true;
        }
        if (rc != ETIMEDOUT || now_ns() >= end) {
            raise_status(failed(Step::LOCK, rc), name);
            return false;
        }
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
    }
}

// The stop request is synchronous: when it returns, the name is gone, whether the server is
// idle, busy in a long call, stopped or dead. The server notices the request at its next look
// at the record and answers a pending call with the NULL message.
PyObject* remove_function_impl(const char* name)
{
    drop_argument_object(name);
    MappedObject seg;
    if (!open_function_segment(name, CONTROL_SIZE, seg)) {
        Py_RETURN_FALSE;
    }
    auto* fs = reinterpret_cast<FunctionShm*>(seg.data());
    if (!lock_bounded(&fs->mutex, name)) {
        return nullptr;
    }
    __atomic_store_n(&fs->activity, static_cast<unsigned char>(0), __ATOMIC_RELEASE);
    pthread_mutex_unlock(&fs->mutex);
    notify(&fs->fcond.call);
    // Callers waiting for their turn give up now rather than at their next look.
    notify(&fs->ccond.turn);
    ObjectId id;
    bool known = object_of(seg.fd(), id);
    if (known && is_shared(load_sharing(fs))) {
        stop_lanes(fs, static_cast<uint64_t>(id.ino));
    }
    if (known) {
        unlink_if_same(name, id);
    }
    segment_forget(name);
    Py_RETURN_TRUE;
}

} // namespace tw
