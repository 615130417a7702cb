// The caller's side of a call: place the call when the data area is free, wait for the reply.
#include "tidewell/function_caller.hpp"
#include "tidewell/function_layout.hpp"
#include "tidewell/function_segment.hpp"
#include "tidewell/liveness.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

constexpr long CALLER_SLICE_MS = 50;

static const char NULL_FROM_FUNCTION[] =
    "Received a NULL message from the function. This is likely because the function returned "
    "arguments of too large size.";

// ---------------------------------------------------------------------------------------------
// Segments kept mapped between calls. A small table guarded by the GIL; an entry in use by a
// call (which waits with the GIL released) is never unmapped under it. Each use checks with one
// fstat that the name was not removed since (a published object has exactly one link; a removed
// one has none), so a removed or replaced function is never called through a stale mapping.

struct CachedFunction {
    char name[NAME_MAX + 1] = {};
    int fd = -1;
    FunctionShm* fs = nullptr;
    int users = 0;
    unsigned long last_used = 0;
    bool stale = false;
    bool temporary = false;
};

constexpr int CACHE_SLOTS = 16;
static CachedFunction cache[CACHE_SLOTS];
static unsigned long use_clock = 0;
static pid_t my_pid = 0;

// A forked child has no threads in a call, and its own pid.
static void after_fork_in_child()
{
    for (CachedFunction& e : cache) {
        e.users = 0;
    }
    my_pid = getpid();
}

static void unmap_entry(CachedFunction& e)
{
    munmap(e.fs, FUNCTION_SEGMENT_SIZE);
    close(e.fd);
    e.fs = nullptr;
    e.fd = -1;
    e.name[0] = '\0';
    e.stale = false;
}

static void drop_entry(CachedFunction& e)
{
    if (e.users == 0) {
        unmap_entry(e);
    }
    else {
        e.stale = true; // the last user unmaps it
    }
}

static CachedFunction* find_entry(const char* name)
{
    for (CachedFunction& e : cache) {
        if (e.fs != nullptr && !e.stale && std::strcmp(e.name, name) == 0) {
            return &e;
        }
    }
    return nullptr;
}

static CachedFunction* free_slot()
{
    CachedFunction* oldest = nullptr;
    for (CachedFunction& e : cache) {
        if (e.fs == nullptr) {
            return &e;
        }
        if (e.users == 0 && (oldest == nullptr || e.last_used < oldest->last_used)) {
            oldest = &e;
        }
    }
    if (oldest != nullptr) {
        unmap_entry(*oldest);
    }
    return oldest;
}

// The mapped segment for `name`; on failure nullptr and the reason in `why`.
static CachedFunction* acquire_segment(const char* name, OpenResult& why)
{
    static bool fork_handler = false;
    if (!fork_handler) {
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
        my_pid = getpid();
        fork_handler = true;
    }
    CachedFunction* e = find_entry(name);
    if (e != nullptr) {
        struct stat st;
        if (fstat(e->fd, &st) == 0 && st.st_nlink > 0) {
            ++e->users;
            e->last_used = ++use_clock;
            return e;
        }
        drop_entry(*e);
    }
    SegmentHandle seg;
    why = open_function_segment(name, FUNCTION_SEGMENT_SIZE, seg);
    if (why != OPEN_OK) {
        return nullptr;
    }
    size_t len = std::strlen(name);
    e = len <= NAME_MAX ? free_slot() : nullptr;
    if (e == nullptr) {
        e = new CachedFunction;
        e->temporary = true;
    }
    std::memcpy(e->name, name, std::min<size_t>(len, NAME_MAX));
    e->name[std::min<size_t>(len, NAME_MAX)] = '\0';
    e->fs = seg.fs;
    e->fd = seg.fd;
    seg.fs = nullptr;
    seg.fd = -1;
    e->users = 1;
    e->last_used = ++use_clock;
    return e;
}

static void release_segment(CachedFunction* e)
{
    --e->users;
    if (e->temporary) {
        unmap_entry(*e);
        delete e;
    }
    else if (e->stale && e->users == 0) {
        unmap_entry(*e);
    }
}

void forget_caller_segment(const char* name)
{
    CachedFunction* e = find_entry(name);
    if (e != nullptr) {
        drop_entry(*e);
    }
}

struct SegmentUse {
    CachedFunction* entry;
    ~SegmentUse() { release_segment(entry); }
};

// ---------------------------------------------------------------------------------------------
// One call, with the GIL released

enum CallerOutcome {
    CALLER_CONTINUE,    // slice over, nothing decided
    CALLER_GOT_REPLY,   // reply (or NULL message) copied out
    CALLER_REFUSED,     // the server could not decode the arguments; its message copied out
    CALLER_STOPPED,     // the server stopped before taking the call
    CALLER_SERVER_GONE, // the serving process has ended
    CALLER_LOST,        // the call vanished from the record
    CALLER_LOCK_ERROR,
};

struct CallerState {
    FunctionShm* fs;
    const unsigned char* message;
    size_t message_len;
    bool placed = false;
    int lock_timeouts = 0;
    unsigned char reply[DATA_SIZE];
};

static thread_local AdaptiveSpin reply_spin;
static thread_local AdaptiveSpin turn_spin;

static bool server_awake(const void* ctx)
{
    return !asleep(&static_cast<const FunctionShm*>(ctx)->fcond.call);
}

static bool reply_ready(const void* ctx)
{
    unsigned char state = load_state(static_cast<const FunctionShm*>(ctx));
    return state != CALL_PENDING && state != CALL_RUNNING;
}

static bool turn_free(const void* ctx)
{
    const auto* fs = static_cast<const FunctionShm*>(ctx);
    return load_state(fs) == CALL_IDLE || load_activity(fs) != 1;
}

// Waits (spinning, then sleeping) until `ready`, the deadline, or a wake-up on `word`. False at
// the deadline.
static bool wait_for(FunctionShm* fs, WakeWord* word, const int64_t* event_ns,
                     bool (*ready)(const void*), AdaptiveSpin& spin,
                     const struct timespec& deadline)
{
    long start = now_ns();
    uint32_t seen = read_word(word);
    bool spun_ok = spin_until(spin, ready, server_awake, fs) || ready(fs);
    bool ok = spun_ok || sleep_on(word, seen, deadline);
    spin.learn(spun_ok, event_delay(event_ns, start));
    return ok;
}

// Takes the reply of our call under the mutex and frees the data area for the next caller.
static CallerOutcome take_reply(CallerState& cs)
{
    FunctionShm* fs = cs.fs;
    unsigned char state = fs->call_state;
    if (state != CALL_REPLIED && state != CALL_REFUSED) {
        return CALLER_LOST;
    }
    std::memcpy(cs.reply, fs->data, DATA_SIZE);
    fs->ccond.caller_pid = 0;
    stamp(&fs->ccond.turn_ns);
    store_state(fs, CALL_IDLE);
    return state == CALL_REPLIED ? CALLER_GOT_REPLY : CALLER_REFUSED;
}

static CallerOutcome caller_slice(CallerState& cs)
{
    FunctionShm* fs = cs.fs;
    struct timespec deadline = deadline_after_ms(CALLER_SLICE_MS);
    for (;;) {
        if (cs.placed && !reply_ready(fs)) {
            if (!wait_for(fs, &fs->ccond.reply, &fs->ccond.reply_ns, reply_ready, reply_spin,
                          deadline)) {
                break;
            }
            continue;
        }
        int rc = lock_until(&fs->mutex, deadline);
        if (rc == ETIMEDOUT) {
            if (++cs.lock_timeouts * CALLER_SLICE_MS >= MAX_LOCK_WAIT_MS) {
                return CALLER_LOCK_ERROR;
            }
            break;
        }
        if (rc != 0) {
            return CALLER_LOCK_ERROR;
        }
        cs.lock_timeouts = 0;
        if (cs.placed) {
            CallerOutcome outcome = take_reply(cs);
            pthread_mutex_unlock(&fs->mutex);
            if (outcome != CALLER_LOST) {
                notify(&fs->ccond.turn, 1); // the next caller's turn
            }
            return outcome;
        }
        if (fs->activity != 1) {
            pthread_mutex_unlock(&fs->mutex);
            return CALLER_STOPPED;
        }
        if (fs->call_state == CALL_IDLE) {
            std::memcpy(fs->data, cs.message, cs.message_len);
            fs->ccond.caller_pid = static_cast<int32_t>(my_pid);
            stamp(&fs->fcond.call_ns);
            store_state(fs, CALL_PENDING);
            cs.placed = true;
            pthread_mutex_unlock(&fs->mutex);
            notify(&fs->fcond.call); // a system call only when the server sleeps
            continue;
        }
        pthread_mutex_unlock(&fs->mutex);
        if (!wait_for(fs, &fs->ccond.turn, &fs->ccond.turn_ns, turn_free, turn_spin, deadline)) {
            break;
        }
    }
    return process_alive(read_server_pid(fs)) ? CALLER_CONTINUE : CALLER_SERVER_GONE;
}

// A caller that gives up (a signal handler raised) withdraws a call the server has not taken and
// frees a reply it will not read, so the next caller's turn comes at once. A call already
// running is marked abandoned, and the server frees the data area when it finishes.
static void caller_withdraw(CallerState& cs)
{
    if (!cs.placed) {
        return;
    }
    FunctionShm* fs = cs.fs;
    if (lock_until(&fs->mutex, deadline_after_ms(MAX_LOCK_WAIT_MS)) != 0) {
        return;
    }
    unsigned char state = fs->call_state;
    fs->ccond.caller_pid = 0;
    if (state == CALL_PENDING || state == CALL_REPLIED || state == CALL_REFUSED) {
        stamp(&fs->ccond.turn_ns);
        store_state(fs, CALL_IDLE);
    }
    pthread_mutex_unlock(&fs->mutex);
    notify(&fs->ccond.turn, 1);
}

static PyObject* raise_refused(const char* name, const unsigned char* reply)
{
    size_t len = strnlen(reinterpret_cast<const char*>(reply), DATA_SIZE);
    PyRef detail(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(reply),
                                      static_cast<Py_ssize_t>(len), "replace"));
    if (!detail) {
        return nullptr;
    }
    PyErr_Format(PyExc_RuntimeError, "The shared function '%s' could not decode its arguments: %U",
                 name, detail.get());
    return nullptr;
}

} // namespace tw

using namespace tw;

extern "C" TW_EXPORT PyObject* call_shared_function(const char* name, PyObject* args)
{
    OpenResult why = OPEN_OK;
    CachedFunction* entry = acquire_segment(name, why);
    if (entry == nullptr) {
        switch (why) {
        case OPEN_WRONG_KIND:
            return raise_segment_error("The shared memory address '%s' does not hold a function.",
                                       name);
        case OPEN_MAP_FAILED:
            PyErr_SetString(PyExc_MemoryError, "Failed to map the shared memory.");
            return nullptr;
        default:
            PyErr_SetString(PyExc_MemoryError, "Failed to open the shared memory.");
            return nullptr;
        }
    }
    SegmentUse use{entry};
    // Encoded before any lock is taken: a failure here leaves the server undisturbed.
    PyRef encoded(from_value(args));
    if (!encoded) {
        return nullptr;
    }
    char* bytes;
    Py_ssize_t length;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to convert the args to C bytes.");
        return nullptr;
    }
    if (static_cast<size_t>(length) > DATA_SIZE) {
        PyErr_SetString(PyExc_ValueError,
                        "The received args exceed the maximum accepted arg size of 1024 bytes.");
        return nullptr;
    }
    CallerState cs;
    cs.fs = entry->fs;
    cs.message = reinterpret_cast<const unsigned char*>(bytes);
    cs.message_len = static_cast<size_t>(length);
    CallerOutcome outcome;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
            outcome = caller_slice(cs);
        Py_END_ALLOW_THREADS
        if (outcome != CALLER_CONTINUE) {
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            Py_BEGIN_ALLOW_THREADS
                caller_withdraw(cs);
            Py_END_ALLOW_THREADS
            return nullptr;
        }
    }
    switch (outcome) {
    case CALLER_GOT_REPLY:
        if (cs.reply[0] == 0) {
            PyErr_SetString(PyExc_RuntimeError, NULL_FROM_FUNCTION);
            return nullptr;
        }
        return zeb2::to_value_buffer(cs.reply, DATA_SIZE);
    case CALLER_REFUSED:
        return raise_refused(name, cs.reply);
    case CALLER_STOPPED:
        PyErr_Format(PyExc_RuntimeError, "The shared function '%s' has stopped.", name);
        return nullptr;
    case CALLER_SERVER_GONE:
        PyErr_Format(PyExc_RuntimeError, "The process serving the shared function '%s' has ended.",
                     name);
        return nullptr;
    case CALLER_LOST:
        PyErr_Format(PyExc_RuntimeError, "The call to the shared function '%s' was lost.", name);
        return nullptr;
    default:
        return raise_segment_error("Failed to lock the shared memory address '%s'.", name);
    }
}
