// Shared function segments: one serving process runs a callable for callers in other processes.
//
// Control record (144 bytes) then a 1024-byte data area:
//   0..40 mutex (robust) | 40..88 fcond | 88..136 ccond | 136 activity | 137 call state |
//   138..141 server pid (host order, unaligned) | 142..143 function magic | 144..1168 data
//
// Every shared field is read and written under the mutex, and every wait re-tests its condition
// after waking, so a wake-up given while nobody waits is never lost: a call placed before the
// server's first wait or between two exchanges is found by the server's next look at the state.
//
// fcond and ccond are wake words, not pthread condition variables: a process killed while it
// waits on a process-shared glibc condition variable leaves it in a state in which the next
// broadcast waits forever for the dead waiter. A futex waiter that dies leaves nothing behind.
// A waiter reads the word under the mutex, unlocks and sleeps only while the word is unchanged;
// a waker changes the state, then bumps the word and wakes the sleepers. Callers waiting for a
// reply and callers waiting for their turn sleep on separate words, so a freed data area wakes
// one waiting caller instead of all of them.
//
// Call state, one call in flight at a time:
//   IDLE     --caller places its call-->          PENDING   (caller takes the call lock first)
//   PENDING  --server copies the call out-->      RUNNING   (mutex released: the callable may
//                                                             take long, callers wait on ccond)
//   RUNNING  --server writes the reply-->         REPLIED   (or REFUSED: arguments undecodable)
//   REPLIED/REFUSED --that caller copies it-->    IDLE      (caller drops the call lock)
//   PENDING  --caller interrupted-->              IDLE      (call withdrawn)
//   PENDING  --stop request-->                    REPLIED   (answered with the NULL message)
//   REPLIED/RUNNING, call lock free -->           IDLE      (the caller died or gave up; the
//                                                             server reclaims the data area)
// The call lock is an open-file-description lock on the byte of the call state, held by the
// caller from placing its call until it has copied the reply. The kernel drops it when the
// caller dies, which is how the server tells an abandoned reply from a slow reader. Only the
// lock holder ever takes a reply, so no caller receives another's.
//
// Nobody waits without limit. All waits are timed slices with the GIL released; between slices
// the GIL is re-taken to run signal handlers. A caller ends its wait when the server has
// stopped (activity 0) or its recorded pid is gone or a zombie; a server that dies holding the
// mutex leaves it to the next locker through the robust-mutex protocol.
#include "tidewell/function_segment.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_owner.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

constexpr size_t DATA_OFFSET = 144;
constexpr size_t DATA_SIZE = 1024;
constexpr size_t CONTROL_SIZE = DATA_OFFSET;

struct WakeWord {
    uint32_t seq;
    // Processes asleep on `seq`, so that a wake-up nobody waits for costs no system call. A
    // sleeper killed in its sleep leaves it too high, which only costs such calls.
    uint32_t sleepers;
};

// These sit where process-shared condition variables would, 48 bytes each.
struct ServerWake {
    WakeWord call; // a call placed, or a stop requested
    unsigned char unused[40];
};
struct CallerWake {
    WakeWord reply; // the reply written (or the function stopped)
    WakeWord turn;  // the data area freed (or the function stopped)
    unsigned char unused[32];
};
static_assert(sizeof(ServerWake) == sizeof(pthread_cond_t));
static_assert(sizeof(CallerWake) == sizeof(pthread_cond_t));

struct FunctionShm {
    pthread_mutex_t mutex;
    ServerWake fcond;
    CallerWake ccond;
    unsigned char activity;
    unsigned char call_state;
    unsigned char server_pid[4];
    unsigned char magic[2];
    unsigned char data[DATA_SIZE];
};
static_assert(sizeof(FunctionShm) == FUNCTION_SEGMENT_SIZE, "peers rely on 1168-byte segments");
static_assert(offsetof(FunctionShm, fcond) == 40 && offsetof(FunctionShm, ccond) == 88);
static_assert(offsetof(FunctionShm, activity) == 136 && offsetof(FunctionShm, call_state) == 137);
static_assert(offsetof(FunctionShm, magic) == FUNCTION_MAGIC_OFFSET);
static_assert(offsetof(FunctionShm, data) == DATA_OFFSET);

enum CallState : unsigned char {
    CALL_IDLE = 0,
    CALL_PENDING = 1,
    CALL_RUNNING = 2,
    CALL_REPLIED = 3,
    CALL_REFUSED = 4,
};

constexpr long CALLER_SLICE_MS = 50;
constexpr long SERVER_SLICE_MS = 100;

static const char NULL_FROM_FUNCTION[] =
    "Received a NULL message from the function. This is likely because the function returned "
    "arguments of too large size.";

// ---------------------------------------------------------------------------------------------
// Helpers that run with the GIL released: no Python API here.

// Locks with a deadline. A mutex whose owner died is taken over: every writer of the record
// sets the call state last, so the record is consistent whatever the owner was doing.
static int lock_until(pthread_mutex_t* mutex, const struct timespec& deadline)
{
    int rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(mutex);
        rc = 0;
    }
    return rc;
}

// Bumps the word and wakes every sleeper. Called after the state change it announces, with or
// without the mutex: a waiter read the word under the mutex before that change, so the bump
// either comes before its sleep (which then returns at once) or wakes it.
static void notify(WakeWord* word, int how_many = INT_MAX)
{
    __atomic_fetch_add(&word->seq, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&word->sleepers, __ATOMIC_SEQ_CST) != 0) {
        syscall(SYS_futex, &word->seq, FUTEX_WAKE, how_many, nullptr, nullptr, 0);
    }
}

// Everyone waiting on the callers' side: the function has stopped.
static void notify_all_callers(FunctionShm* fs)
{
    notify(&fs->ccond.reply);
    notify(&fs->ccond.turn);
}

// With the mutex held: unlocks it, announces `announce` (if any) and sleeps until `word` is
// bumped. Returns without the mutex: true when woken, false at the deadline or on a signal, so
// that the signal's handler runs soon.
static bool sleep_on(WakeWord* word, pthread_mutex_t* mutex, const struct timespec& deadline,
                     WakeWord* announce = nullptr)
{
    uint32_t seen = __atomic_load_n(&word->seq, __ATOMIC_SEQ_CST);
    __atomic_fetch_add(&word->sleepers, 1, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(mutex);
    if (announce != nullptr) {
        notify(announce);
    }
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline.
    long rc = syscall(SYS_futex, &word->seq, FUTEX_WAIT_BITSET, seen, &deadline, nullptr,
                      FUTEX_BITSET_MATCH_ANY);
    bool woken = rc == 0 || errno == EAGAIN;
    __atomic_fetch_sub(&word->sleepers, 1, __ATOMIC_SEQ_CST);
    return woken;
}

// For the short critical sections of a server or a withdrawing caller: nobody holds the mutex
// across a wait, so this ends unless the mutex is unrecoverable.
static int lock_patiently(pthread_mutex_t* mutex)
{
    int rc;
    do {
        rc = lock_until(mutex, deadline_after_ms(SERVER_SLICE_MS));
    } while (rc == ETIMEDOUT);
    return rc;
}

static pid_t read_server_pid(const FunctionShm* fs)
{
    int32_t pid;
    std::memcpy(&pid, fs->server_pid, sizeof(pid));
    return static_cast<pid_t>(pid);
}

// False once the process is gone or a zombie (a killed child stays one until its parent reaps
// it, and kill() still finds it).
static bool process_alive(pid_t pid)
{
    if (pid <= 0) {
        return false;
    }
    if (kill(pid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    char path[48];
    std::snprintf(path, sizeof(path), "/proc/%ld/stat", static_cast<long>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno != ENOENT;
    }
    char buf[512];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) {
        return true;
    }
    buf[n] = '\0';
    // The state letter follows the command name, which is in parentheses and may hold any byte.
    const char* paren = std::strrchr(buf, ')');
    if (paren == nullptr || paren[1] == '\0' || paren[2] == '\0') {
        return true;
    }
    return paren[2] != 'Z' && paren[2] != 'X';
}

static struct flock call_lock_range(short type)
{
    struct flock fl;
    std::memset(&fl, 0, sizeof(fl));
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offsetof(FunctionShm, call_state);
    fl.l_len = 1;
    return fl;
}

static bool take_call_lock(int fd)
{
    struct flock fl = call_lock_range(F_WRLCK);
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

static void drop_call_lock(int fd)
{
    struct flock fl = call_lock_range(F_UNLCK);
    fcntl(fd, F_OFD_SETLK, &fl);
}

// Whether some caller still holds the call lock. Without a descriptor of its own the server
// cannot tell, and assumes the caller is there.
static bool caller_present(int server_fd)
{
    if (server_fd < 0) {
        return true;
    }
    struct flock fl = call_lock_range(F_WRLCK);
    if (fcntl(server_fd, F_OFD_GETLK, &fl) != 0) {
        return true;
    }
    return fl.l_type != F_UNLCK;
}

// ---------------------------------------------------------------------------------------------
// Opening an existing function segment

enum OpenResult { OPEN_OK, OPEN_MISSING, OPEN_WRONG_KIND, OPEN_MAP_FAILED, OPEN_REFUSED };

// A mapped function segment with the descriptor it came from (kept open for the call lock).
struct SegmentHandle {
    FunctionShm* fs = nullptr;
    size_t map_len = 0;
    int fd = -1;

    SegmentHandle() = default;
    SegmentHandle(const SegmentHandle&) = delete;
    SegmentHandle& operator=(const SegmentHandle&) = delete;
    ~SegmentHandle()
    {
        if (fs != nullptr) {
            munmap(fs, map_len);
        }
        if (fd >= 0) {
            close(fd); // also drops a call lock still held
        }
    }
};

// Maps the first `map_len` bytes of segment `name` after checking it is a function segment:
// the size is checked before mapping (a shorter value segment would fault on access) and the
// magic after, so no value's mutex or data is ever touched.
static OpenResult open_function_segment(const char* name, size_t map_len, SegmentHandle& seg)
{
    seg.fd = shm_open(name, O_RDWR, SEGMENT_MODE);
    if (seg.fd < 0) {
        return OPEN_MISSING;
    }
    struct stat st;
    if (fstat(seg.fd, &st) != 0) {
        return OPEN_WRONG_KIND;
    }
    if (!check_segment_owner(st, name)) {
        return OPEN_REFUSED; // MemoryError set
    }
    if (static_cast<size_t>(st.st_size) != FUNCTION_SEGMENT_SIZE) {
        return OPEN_WRONG_KIND;
    }
    void* addr = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_SHARED, seg.fd, 0);
    if (addr == MAP_FAILED) {
        return OPEN_MAP_FAILED;
    }
    seg.fs = static_cast<FunctionShm*>(addr);
    seg.map_len = map_len;
    if (std::memcmp(seg.fs->magic, FUNCTION_MAGIC, sizeof(FUNCTION_MAGIC)) != 0) {
        return OPEN_WRONG_KIND;
    }
    return OPEN_OK;
}

// Unlinks `name` only while it still names the object behind `fd`: after a remove_memory the
// name may already belong to someone else's new segment.
static void unlink_if_same(const char* name, int fd)
{
    char path[PATH_MAX];
    struct stat mine;
    struct stat now;
    if (fd >= 0 && segment_path(name, path, sizeof(path)) && fstat(fd, &mine) == 0) {
        if (stat(path, &now) != 0 || now.st_ino != mine.st_ino || now.st_dev != mine.st_dev) {
            return;
        }
    }
    shm_unlink(name);
}

// ---------------------------------------------------------------------------------------------
// Caller

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
    int fd;
    const unsigned char* message;
    size_t message_len;
    bool placed = false;
    unsigned char reply[DATA_SIZE];
};

// With the mutex held: decides the caller's next step, placing the call when it is its turn.
static CallerOutcome caller_look(CallerState& cs)
{
    FunctionShm* fs = cs.fs;
    if (!cs.placed) {
        if (fs->activity != 1) {
            return CALLER_STOPPED;
        }
        if (fs->call_state == CALL_IDLE && take_call_lock(cs.fd)) {
            std::memcpy(fs->data, cs.message, cs.message_len);
            fs->call_state = CALL_PENDING;
            cs.placed = true;
        }
        return CALLER_CONTINUE;
    }
    switch (fs->call_state) {
    case CALL_PENDING:
    case CALL_RUNNING:
        return CALLER_CONTINUE;
    case CALL_REPLIED:
    case CALL_REFUSED: {
        CallerOutcome outcome = fs->call_state == CALL_REPLIED ? CALLER_GOT_REPLY : CALLER_REFUSED;
        std::memcpy(cs.reply, fs->data, DATA_SIZE);
        drop_call_lock(cs.fd);
        fs->call_state = CALL_IDLE;
        return outcome;
    }
    default:
        return CALLER_LOST;
    }
}

// One slice of a caller's wait, with the GIL released. Leaves the mutex unlocked.
static CallerOutcome caller_slice(CallerState& cs)
{
    FunctionShm* fs = cs.fs;
    struct timespec deadline = deadline_after_ms(CALLER_SLICE_MS);
    for (;;) {
        int rc = lock_until(&fs->mutex, deadline);
        if (rc == ETIMEDOUT) {
            break;
        }
        if (rc != 0) {
            return CALLER_LOCK_ERROR;
        }
        bool was_placed = cs.placed;
        CallerOutcome outcome = caller_look(cs);
        if (outcome != CALLER_CONTINUE) {
            pthread_mutex_unlock(&fs->mutex);
            if (outcome == CALLER_GOT_REPLY || outcome == CALLER_REFUSED) {
                notify(&fs->ccond.turn, 1); // the next caller's turn
            }
            return outcome;
        }
        WakeWord* announce = cs.placed && !was_placed ? &fs->fcond.call : nullptr;
        WakeWord* word = cs.placed ? &fs->ccond.reply : &fs->ccond.turn;
        if (!sleep_on(word, &fs->mutex, deadline, announce)) {
            break;
        }
    }
    return process_alive(read_server_pid(fs)) ? CALLER_CONTINUE : CALLER_SERVER_GONE;
}

// A caller that gives up (a signal handler raised) withdraws a call the server has not taken and
// frees a reply it will not read, so the next caller's turn comes at once. A call already
// running is reclaimed by the server when it sees the call lock dropped.
static void caller_withdraw(CallerState& cs)
{
    if (!cs.placed) {
        return;
    }
    FunctionShm* fs = cs.fs;
    if (lock_patiently(&fs->mutex) != 0) {
        return;
    }
    unsigned char state = fs->call_state;
    if (state == CALL_PENDING || state == CALL_REPLIED || state == CALL_REFUSED) {
        fs->call_state = CALL_IDLE;
    }
    drop_call_lock(cs.fd);
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
    SegmentHandle seg;
    switch (open_function_segment(name, FUNCTION_SEGMENT_SIZE, seg)) {
    case OPEN_OK:
        break;
    case OPEN_MISSING:
        PyErr_SetString(PyExc_MemoryError, "Failed to open the shared memory.");
        return nullptr;
    case OPEN_WRONG_KIND:
        return raise_segment_error("The shared memory address '%s' does not hold a function.",
                                   name);
    case OPEN_MAP_FAILED:
        PyErr_SetString(PyExc_MemoryError, "Failed to map the shared memory.");
        return nullptr;
    case OPEN_REFUSED:
        return nullptr;
    }
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
    cs.fs = seg.fs;
    cs.fd = seg.fd;
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

namespace tw {

// ---------------------------------------------------------------------------------------------
// Server

struct ServerInit {
    pid_t pid;
};

static const char* init_function_segment(unsigned char* map, void* ctx)
{
    auto* fs = reinterpret_cast<FunctionShm*>(map);
    if (init_robust_mutex(&fs->mutex) != 0) {
        return "Failed to initialize mutex for shared memory address '%s'.";
    }
    // The wake words start at zero, as the new object does.
    int32_t pid = static_cast<ServerInit*>(ctx)->pid;
    std::memcpy(fs->server_pid, &pid, sizeof(pid));
    std::memcpy(fs->magic, FUNCTION_MAGIC, sizeof(FUNCTION_MAGIC));
    fs->call_state = CALL_IDLE;
    fs->activity = 1;
    return nullptr;
}

struct Server {
    const char* name;
    FunctionShm* fs;
    int fd; // a descriptor of our own object, to see callers' call locks; -1 when none
    unsigned char call[DATA_SIZE];
};

enum ServerEvent { EV_NONE, EV_CALL, EV_STOP, EV_LOCK_ERROR };

// With the mutex held: a pending call gets the NULL message, since nobody will serve it.
static void answer_pending_with_null(FunctionShm* fs)
{
    if (fs->call_state == CALL_PENDING || fs->call_state == CALL_RUNNING) {
        fs->data[0] = 0;
        fs->call_state = CALL_REPLIED;
    }
}

// With the mutex held: ends serving for good. The caller of this notifies ccond after unlocking.
static void close_down(FunctionShm* fs)
{
    fs->activity = 0;
    answer_pending_with_null(fs);
}

// One slice of the server's wait, with the GIL released. Leaves the mutex unlocked.
static ServerEvent server_slice(Server& srv)
{
    FunctionShm* fs = srv.fs;
    struct timespec deadline = deadline_after_ms(SERVER_SLICE_MS);
    bool slice_over = false;
    for (;;) {
        int rc = lock_until(&fs->mutex, deadline);
        if (rc == ETIMEDOUT) {
            return EV_NONE;
        }
        if (rc != 0) {
            return EV_LOCK_ERROR;
        }
        // A stop wins over a pending call, which is then answered with the NULL message.
        if (fs->activity != 1) {
            close_down(fs);
            pthread_mutex_unlock(&fs->mutex);
            notify_all_callers(fs);
            return EV_STOP;
        }
        if (fs->call_state == CALL_PENDING) {
            std::memcpy(srv.call, fs->data, DATA_SIZE);
            fs->call_state = CALL_RUNNING;
            pthread_mutex_unlock(&fs->mutex);
            return EV_CALL;
        }
        if (slice_over) {
            // A reply nobody will collect would block every later caller.
            bool reclaim = (fs->call_state == CALL_REPLIED || fs->call_state == CALL_REFUSED) &&
                           !caller_present(srv.fd);
            if (reclaim) {
                fs->call_state = CALL_IDLE;
            }
            pthread_mutex_unlock(&fs->mutex);
            if (reclaim) {
                notify(&fs->ccond.turn, 1);
            }
            return EV_NONE;
        }
        slice_over = !sleep_on(&fs->fcond.call, &fs->mutex, deadline);
    }
}

enum ReplyKind { REPLY_VALUE, REPLY_REFUSED, REPLY_FAILED };

// Writes the reply of the running call (GIL released). A failed exchange answers with the NULL
// message and closes the function down. Returns false when the mutex cannot be had.
static bool post_reply(Server& srv, ReplyKind kind, const char* bytes, size_t len)
{
    FunctionShm* fs = srv.fs;
    if (lock_patiently(&fs->mutex) != 0) {
        return false;
    }
    bool freed = false;
    if (fs->call_state == CALL_RUNNING) {
        if (kind == REPLY_FAILED) {
            fs->data[0] = 0;
        }
        else {
            std::memcpy(fs->data, bytes, len);
        }
        // The caller gave up while its call ran: nobody will collect this reply.
        freed = !caller_present(srv.fd);
        fs->call_state = freed ? CALL_IDLE : kind == REPLY_REFUSED ? CALL_REFUSED : CALL_REPLIED;
    }
    if (kind == REPLY_FAILED) {
        close_down(fs);
    }
    pthread_mutex_unlock(&fs->mutex);
    if (kind == REPLY_FAILED) {
        notify_all_callers(fs);
    }
    else if (freed) {
        notify(&fs->ccond.turn, 1);
    }
    else {
        notify(&fs->ccond.reply);
    }
    return true;
}

// The text for a refused call: the decoder's message, cut to the data area, NUL-terminated.
static size_t refusal_text(char* out, size_t out_size)
{
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef held_type(type);
    PyRef held_value(value);
    PyRef held_traceback(traceback);
    const char* text = "unknown error";
    Py_ssize_t text_len = static_cast<Py_ssize_t>(std::strlen(text));
    PyRef str(value != nullptr ? PyObject_Str(value) : nullptr);
    if (str) {
        const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &text_len);
        if (utf8 != nullptr) {
            text = utf8;
        }
        else {
            text_len = static_cast<Py_ssize_t>(std::strlen(text));
        }
    }
    PyErr_Clear();
    size_t len = std::min(static_cast<size_t>(text_len), out_size - 1);
    std::memcpy(out, text, len);
    out[len] = '\0';
    return len + 1;
}

// Unmaps the segment and removes its name; the exception, if any, stays set.
static void release_server(Server& srv)
{
    munmap(srv.fs, FUNCTION_SEGMENT_SIZE);
    unlink_if_same(srv.name, srv.fd);
    if (srv.fd >= 0) {
        close(srv.fd);
    }
}

// Closes the function down from the serving thread (after an interrupt or a fatal error) and
// removes the segment. Returns NULL with the pending exception.
static PyObject* fail_server(Server& srv)
{
    bool locked;
    Py_BEGIN_ALLOW_THREADS
        locked = lock_patiently(&srv.fs->mutex) == 0;
        if (locked) {
            close_down(srv.fs);
            pthread_mutex_unlock(&srv.fs->mutex);
            notify_all_callers(srv.fs);
        }
    Py_END_ALLOW_THREADS
    release_server(srv);
    return nullptr;
}

// Runs one call with the GIL held and posts its reply. Returns false when serving must end,
// with the exception to raise set.
static bool serve_call(Server& srv, PyObject* func)
{
    PyRef encoded;
    ReplyKind kind = REPLY_VALUE;
    char refusal[DATA_SIZE];
    const char* reply = nullptr;
    size_t reply_len = 0;

    PyRef call_args(zeb2::to_value_buffer(srv.call, DATA_SIZE));
    if (!call_args) {
        // Undecodable arguments are the caller's problem, not a reason to stop serving; an
        // interrupt or an exit request during decoding still ends it.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            kind = REPLY_FAILED;
        }
        else {
            kind = REPLY_REFUSED;
            reply_len = refusal_text(refusal, sizeof(refusal));
            reply = refusal;
        }
    }
    else {
        if (PyTuple_Check(call_args.get())) {
            PyRef result(PyObject_CallObject(func, call_args.get()));
            if (result) {
                encoded.reset(from_value(result.get()));
            }
        }
        else {
            // Answered with the no-value string, which the caller's decoder rejects.
            encoded.reset(from_value(nullptr));
        }
        call_args.reset();
        Py_ssize_t length = 0;
        char* bytes = nullptr;
        if (!encoded) {
            kind = REPLY_FAILED;
        }
        else if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) < 0) {
            PyErr_SetString(PyExc_RuntimeError,
                            "Failed to convert a Python bytes object to C bytes.");
            kind = REPLY_FAILED;
        }
        else if (static_cast<size_t>(length) > DATA_SIZE) {
            PyErr_Format(PyExc_ValueError,
                         "The result of the shared function '%s' encodes to %zd bytes, more than "
                         "the maximum of 1024 bytes.",
                         srv.name, length);
            kind = REPLY_FAILED;
        }
        else {
            reply = bytes;
            reply_len = static_cast<size_t>(length);
        }
    }
    bool posted;
    Py_BEGIN_ALLOW_THREADS
        posted = post_reply(srv, kind, reply, reply_len);
    Py_END_ALLOW_THREADS
    if (!posted && kind != REPLY_FAILED) {
        raise_segment_error("Failed to lock the shared memory address '%s'.", srv.name);
        kind = REPLY_FAILED;
    }
    return kind != REPLY_FAILED;
}

// A second descriptor of the new segment, checked to be ours by its pid and magic.
static int reopen_own_segment(const char* name)
{
    int fd = shm_open(name, O_RDWR, SEGMENT_MODE);
    if (fd < 0) {
        return -1;
    }
    unsigned char record[sizeof(int32_t) + sizeof(FUNCTION_MAGIC)];
    int32_t pid = static_cast<int32_t>(getpid());
    if (pread(fd, record, sizeof(record), offsetof(FunctionShm, server_pid)) !=
            static_cast<ssize_t>(sizeof(record)) ||
        std::memcmp(record, &pid, sizeof(pid)) != 0 ||
        std::memcmp(record + sizeof(pid), FUNCTION_MAGIC, sizeof(FUNCTION_MAGIC)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

PyObject* create_function_impl(const char* name, PyObject* func)
{
    ServerInit init{getpid()};
    unsigned char* map = nullptr;
    int rc = create_segment(name, static_cast<off_t>(FUNCTION_SEGMENT_SIZE), FUNCTION_SEGMENT_SIZE,
                            init_function_segment, &init, &map);
    if (rc < 0) {
        return nullptr;
    }
    if (rc == 0) {
        return raise_segment_error(errno == EEXIST ? "The memory address '%s' already exists."
                                                   : "Failed to create memory address '%s'.",
                                   name);
    }
    Server srv{name, reinterpret_cast<FunctionShm*>(map), reopen_own_segment(name), {}};
    for (;;) {
        if (PyErr_CheckSignals() < 0) {
            return fail_server(srv);
        }
        ServerEvent event;
        Py_BEGIN_ALLOW_THREADS
            event = server_slice(srv);
        Py_END_ALLOW_THREADS
        switch (event) {
        case EV_NONE:
            break;
        case EV_CALL:
            if (!serve_call(srv, func)) {
                release_server(srv);
                return nullptr;
            }
            break;
        case EV_STOP:
            std::puts("read");
            std::fflush(stdout);
            release_server(srv);
            Py_RETURN_NONE;
        case EV_LOCK_ERROR:
            raise_segment_error("Failed to lock the shared memory address '%s'.", name);
            release_server(srv);
            return nullptr;
        }
    }
}

PyObject* remove_function_impl(const char* name)
{
    SegmentHandle seg;
    OpenResult opened = open_function_segment(name, CONTROL_SIZE, seg);
    if (opened != OPEN_OK) {
        // Like a name that cannot be opened, another user's object gets no stop request.
        if (opened == OPEN_REFUSED) {
            PyErr_Clear();
        }
        Py_RETURN_FALSE;
    }
    FunctionShm* fs = seg.fs;
    if (lock_segment_mutex(&fs->mutex, name) == LOCK_FAILED) {
        return nullptr;
    }
    fs->activity = 0;
    // Nobody else will remove the segment of a server that has died.
    if (!process_alive(read_server_pid(fs))) {
        unlink_if_same(name, seg.fd);
    }
    pthread_mutex_unlock(&fs->mutex);
    notify(&fs->fcond.call);
    // Callers waiting for their turn give up now rather than at their next look.
    notify(&fs->ccond.turn);
    Py_RETURN_TRUE;
}

} // namespace tw
