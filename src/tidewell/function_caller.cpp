// The caller's side of a call: place the call when the data area is free, wait for the reply.
#include "tidewell/function_caller.hpp"
#include "tidewell/argument_rules.hpp"
#include "tidewell/function_lanes.hpp"
#include "tidewell/function_layout.hpp"
#include "tidewell/function_payload.hpp"
#include "tidewell/function_segment.hpp"
#include "tidewell/liveness.hpp"
#include "tidewell/segment_error.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/segment_table.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

constexpr long CALLER_SLICE_MS = 50;

static constexpr const char* NULL_FROM_FUNCTION = msg::NULL_FROM_FUNCTION;

// ---------------------------------------------------------------------------------------------
// The caller keeps the segment mapped between calls through this process's segment table: one
// fstat per call tells that the name was not removed or replaced since.

static pid_t my_pid = 0;

// ---------------------------------------------------------------------------------------------
// Kept argument objects: one per function this process calls with large arguments, the most
// recently used ones. They are never freed (only emptied): a thread of a program that is ending
// may still be copying into one, so the end of the program only unlinks their names.

constexpr int KEPT_ARGUMENT_OBJECTS = 8;

struct ArgumentObject {
    ObjectId function{};
    char name[MAX_NAME_BYTES + 1] = {};
    unsigned long last_use = 0;
    KeptPayload payload;
};

static ArgumentObject* argument_objects = nullptr; // guarded by the GIL
static unsigned long argument_uses = 0;

static void unlink_argument_objects()
{
    for (int i = 0; argument_objects != nullptr && i < KEPT_ARGUMENT_OBJECTS; ++i) {
        argument_objects[i].payload.unlink_at_exit();
    }
}

// The kept object for calls to the function `id` (named `name`), or nullptr when every slot is
// in use by a call of another thread (that call then sends a per-call payload).
static KeptPayload* argument_object(const ObjectId& id, const char* name)
{
    if (argument_objects == nullptr) {
        argument_objects = new (std::nothrow) ArgumentObject[KEPT_ARGUMENT_OBJECTS];
        if (argument_objects == nullptr) {
            return nullptr;
        }
        std::atexit(unlink_argument_objects);
    }
    ArgumentObject* pick = nullptr;
    for (int i = 0; i < KEPT_ARGUMENT_OBJECTS; ++i) {
        ArgumentObject& slot = argument_objects[i];
        if (slot.function.dev == id.dev && slot.function.ino == id.ino &&
            std::strcmp(slot.name, name) == 0) {
            pick = &slot;
            break;
        }
        if (!slot.payload.busy && (pick == nullptr || slot.last_use < pick->last_use)) {
            pick = &slot;
        }
    }
    if (pick == nullptr || pick->payload.busy) {
        return nullptr;
    }
    if (pick->function.dev != id.dev || pick->function.ino != id.ino ||
        std::strcmp(pick->name, name) != 0) {
        pick->payload.remove();
        pick->function = id;
        std::snprintf(pick->name, sizeof(pick->name), "%s", name);
    }
    pick->last_use = ++argument_uses;
    return &pick->payload;
}

void drop_argument_object(const char* name)
{
    for (int i = 0; argument_objects != nullptr && i < KEPT_ARGUMENT_OBJECTS; ++i) {
        ArgumentObject& slot = argument_objects[i];
        if (!slot.payload.busy && std::strcmp(slot.name, name) == 0) {
            slot.payload.remove();
            slot.name[0] = '\0';
            slot.function = ObjectId{};
        }
    }
}

// One call's use of a kept argument object. The server is done with the arguments once it has
// replied (or when the call was never placed); otherwise it may still be reading them, and the
// object is left to it: its name goes, and the next call makes a new one.
struct ArgumentUse {
    KeptPayload* payload = nullptr;
    bool server_done = false;
    ArgumentUse() = default;
    ArgumentUse(const ArgumentUse&) = delete;
    ArgumentUse& operator=(const ArgumentUse&) = delete;
    ~ArgumentUse()
    {
        if (payload != nullptr) {
            if (!server_done) {
                payload->remove();
            }
            payload->busy = false;
        }
    }
};

// Where a call's arguments are encoded: a buffer the size of the data area, then this process's
// kept argument object for the function. `unavailable`: none was free or it could not be had.
struct ArgumentTarget {
    zeb2::EncodeTarget target; // first: the encoder's view of this record
    ObjectId function;
    const char* name;
    const struct stat* function_st;
    ArgumentUse* use;
    int err = 0;
    bool unavailable = false;
};

static unsigned char* grow_arguments(zeb2::EncodeTarget* target, size_t used, size_t capacity)
{
    auto* at = reinterpret_cast<ArgumentTarget*>(target);
    KeptPayload* kept = at->use->payload;
    unsigned char* data;
    if (kept == nullptr) {
        kept = argument_object(at->function, at->name);
        data = kept != nullptr
                   ? kept->begin(PayloadRole::ARGUMENTS, capacity, *at->function_st, at->err)
                   : nullptr;
        if (data != nullptr) {
            std::memcpy(data, target->data, used);
            kept->busy = true;
            at->use->payload = kept;
        }
    }
    else {
        data = kept->grow_to(capacity, at->err);
        if (data == nullptr) {
            kept->busy = false;
            at->use->payload = nullptr;
        }
    }
    if (data == nullptr) {
        at->unavailable = true;
        return nullptr;
    }
    target->data = data;
    target->capacity = kept->capacity();
    return data;
}

// A forked child calls with its own pid. A call of another thread of the parent does not go on
// in the child, and the parent's objects are its own (each checks its maker's pid).
static void after_fork_in_child()
{
    my_pid = getpid();
    for (int i = 0; argument_objects != nullptr && i < KEPT_ARGUMENT_OBJECTS; ++i) {
        argument_objects[i].payload.busy = false;
    }
}

static pid_t caller_pid()
{
    if (my_pid == 0) {
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
        my_pid = getpid();
    }
    return my_pid;
}

// The pinned segment `name`, checked to be a function; on failure an empty reference and the
// reason in `why` (OPEN, REFUSED, MAP or NOT_FUNCTION).
static SegmentRef open_for_call(const char* name, Status& why)
{
    SegmentRef ref = segment_open(name);
    if (!ref) {
        int err = errno;
        why = failed(err == ENOMEM                   ? Step::MAP
                     : err == EPERM || err == EACCES ? Step::REFUSED
                                                     : Step::OPEN,
                     err);
        return ref;
    }
    size_t size = ref.object_size();
    if (recognise(name, size, ref.map(), std::min(size, RECOGNISE_BYTES)).kind !=
        ObjectKind::FUNCTION) {
        why = failed(Step::NOT_FUNCTION, 0);
        return SegmentRef();
    }
    why = STATUS_OK;
    return ref;
}

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
    CALLER_GIVE_UP,   // stopped or removed, and unanswered for UNCOLLECTED_MS: let the call go
    CALLER_NOT_TAKEN, // withdrawn before any server took it (a lane stopped meanwhile)
};

struct CallerState {
    FunctionShm* fs;
    int fd;
    const char* name;
    ObjectId id;
    const unsigned char* message;
    size_t message_len;
    bool placed = false;
    bool lane = false; // a lane of a shared function, whose stop leaves a pending call pending
    int32_t pid;
    uint32_t ticket = 0;
    int lock_timeouts = 0;
    long stop_seen_ns = 0;  // when this caller first saw its function stopped or unnamed
    UncollectedWatch watch; // the reply holding up this caller's turn
    IncomingPayload result; // a large result, opened before the data area is freed
    PayloadProblem result_problem = PayloadProblem::NONE;
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

// On a lane, a call its server did not take stays pending when the lane stops.
static bool lane_reply_ready(const void* ctx)
{
    const auto* fs = static_cast<const FunctionShm*>(ctx);
    unsigned char state = load_state(fs);
    return (state != CALL_PENDING && state != CALL_RUNNING) ||
           (state == CALL_PENDING && load_activity(fs) != 1);
}

static bool turn_free(const void* ctx)
{
    const auto* fs = static_cast<const FunctionShm*>(ctx);
    return load_state(fs) == CALL_IDLE || load_activity(fs) != 1;
}

static bool never(const void*)
{
    return false;
}

// Becomes the one caller that spins for the next turn, unless another one already does.
static bool claim_turn_spin(FunctionShm* fs)
{
    int64_t* claim = &fs->ccond.turn_spinner_until;
    int64_t seen = __atomic_load_n(claim, __ATOMIC_RELAXED);
    int64_t now = now_ns();
    return seen <= now && __atomic_compare_exchange_n(claim, &seen, now + AdaptiveSpin::MAX_SPIN_NS,
                                                      false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
}

// Gives the claim up before sleeping. With pass_turn this is a store-then-load pair on each
// side, fenced: either the freeing caller sees the claim gone and wakes a sleeper, or this
// caller sees the freed area and does not sleep.
static void release_turn_spin(FunctionShm* fs)
{
    __atomic_store_n(&fs->ccond.turn_spinner_until, int64_t{0}, __ATOMIC_SEQ_CST);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

// Waits (spinning first if `may_spin`) until `ready`, the deadline, or a wake-up on `word`.
// A turn spinner (`turn_claim`) gives its claim up before it sleeps. False at the deadline.
static bool wait_for(FunctionShm* fs, WakeWord* word, const int64_t* event_ns,
                     bool (*ready)(const void*), AdaptiveSpin& spin,
                     const struct timespec& deadline, bool may_spin = true, bool turn_claim = false)
{
    long start = now_ns();
    uint32_t seen = read_word(word);
    bool spun_ok = spin_until(spin, ready, may_spin ? server_awake : never, fs) || ready(fs);
    if (turn_claim) {
        release_turn_spin(fs);
        spun_ok = spun_ok || ready(fs);
    }
    bool ok = spun_ok || sleep_on(word, seen, deadline);
    if (may_spin) {
        spin.learn(spun_ok, event_delay(event_ns, start));
    }
    return ok;
}

// After freeing the data area: wakes one caller waiting for its turn, unless one is spinning
// for it (the word is still bumped, so nobody about to sleep misses the change).
static void pass_turn(FunctionShm* fs)
{
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (__atomic_load_n(&fs->ccond.turn_spinner_until, __ATOMIC_SEQ_CST) > now_ns()) {
        bump(&fs->ccond.turn);
    }
    else {
        notify(&fs->ccond.turn, 1);
    }
}

// With the mutex held: whether the data area still holds this caller's call (its reply may
// have been given back while the caller was stopped, and the area given to another call).
static bool holds_our_call(const CallerState& cs)
{
    return cs.fs->ccond.call_ticket == cs.ticket && cs.fs->ccond.caller_pid == cs.pid &&
           cs.fs->call_state != CALL_IDLE;
}

// Takes the reply of our call under the mutex and frees the data area for the next caller.
static CallerOutcome take_reply(CallerState& cs)
{
    FunctionShm* fs = cs.fs;
    unsigned char state = fs->call_state;
    if ((state != CALL_REPLIED && state != CALL_REFUSED) || !holds_our_call(cs)) {
        return CALLER_LOST;
    }
    std::memcpy(cs.reply, fs->data, DATA_SIZE);
    // Once the area is free the server may remove the payload, or write its next result into a
    // kept one: it is opened, and a kept one locked for reading, first.
    if (state == CALL_REPLIED && cs.reply[0] == PAYLOAD_MARKER) {
        cs.result_problem = cs.result.open(cs.reply, DATA_SIZE);
        if (cs.result_problem == PayloadProblem::NONE && cs.result.kept() &&
            !cs.result.lock_for_reading()) {
            cs.result_problem = PayloadProblem::SYSTEM;
        }
    }
    release_data_area(fs);
    return state == CALL_REPLIED ? CALLER_GOT_REPLY : CALLER_REFUSED;
}

// With the mutex held: puts our call in the data area under a new ticket.
static void place_call(CallerState& cs)
{
    FunctionShm* fs = cs.fs;
    std::memcpy(fs->data, cs.message, cs.message_len);
    cs.ticket = fs->ccond.call_ticket + 1;
    if (cs.ticket == 0) {
        cs.ticket = 1;
    }
    fs->ccond.call_ticket = cs.ticket;
    fs->ccond.caller_pid = cs.pid;
    fs->fcond.ticket_pid = cs.pid;
    fs->fcond.kept_ticket = cs.ticket;
    fs->fcond.caller_pidns = own_pid_namespace();
    stamp(&fs->fcond.call_ns);
    store_state(fs, CALL_PENDING);
    cs.placed = true;
}

// Between slices: the server is gone, or its function was stopped or lost its name and the call
// has gone unanswered for UNCOLLECTED_MS since this caller saw it (a server that is itself
// stopped never answers). A live server answers a pending call at once and gets that long to
// finish a running one.
static CallerOutcome caller_check(CallerState& cs)
{
    FunctionShm* fs = cs.fs;
    if (!function_server_alive(cs.fd, fs)) {
        return CALLER_SERVER_GONE;
    }
    // Our reply was given back while this caller was stopped: another call may be under way.
    if (cs.placed && (__atomic_load_n(&fs->ccond.call_ticket, __ATOMIC_ACQUIRE) != cs.ticket ||
                      __atomic_load_n(&fs->ccond.caller_pid, __ATOMIC_ACQUIRE) != cs.pid)) {
        return CALLER_LOST;
    }
    if (!cs.placed || (load_activity(fs) == 1 && name_refers_to(cs.name, cs.id))) {
        cs.stop_seen_ns = 0;
        return CALLER_CONTINUE;
    }
    long now = now_ns();
    if (cs.stop_seen_ns == 0) {
        cs.stop_seen_ns = now;
    }
    return now - cs.stop_seen_ns < UNCOLLECTED_MS * 1000000L ? CALLER_CONTINUE : CALLER_GIVE_UP;
}

// With the mutex held (and released before returning): takes the reply of a placed call, or
// places the call when the data area is free. CALLER_CONTINUE: placed now, or not our turn yet.
static CallerOutcome locked_step(CallerState& cs)
{
    FunctionShm* fs = cs.fs;
    if (cs.placed && cs.lane && fs->call_state == CALL_PENDING && fs->activity != 1 &&
        holds_our_call(cs)) {
        release_data_area(fs);
        pthread_mutex_unlock(&fs->mutex);
        return CALLER_NOT_TAKEN;
    }
    if (cs.placed) {
        CallerOutcome outcome = take_reply(cs);
        pthread_mutex_unlock(&fs->mutex);
        if (outcome != CALLER_LOST) {
            pass_turn(fs);
        }
        return outcome;
    }
    if (fs->activity != 1) {
        pthread_mutex_unlock(&fs->mutex);
        return CALLER_STOPPED;
    }
    if (fs->call_state == CALL_IDLE || reclaim_uncollected(fs, cs.watch)) {
        place_call(cs);
        pthread_mutex_unlock(&fs->mutex);
        notify(&fs->fcond.call); // a system call only when the server sleeps
        return CALLER_CONTINUE;
    }
    pthread_mutex_unlock(&fs->mutex);
    return CALLER_CONTINUE;
}

static CallerOutcome caller_slice(CallerState& cs)
{
    FunctionShm* fs = cs.fs;
    struct timespec deadline = deadline_after_ms(CALLER_SLICE_MS);
    bool (*answered)(const void*) = cs.lane ? lane_reply_ready : reply_ready;
    for (;;) {
        if (cs.placed && !answered(fs)) {
            if (!wait_for(fs, &fs->ccond.reply, &fs->ccond.reply_ns, answered, reply_spin,
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
        CallerOutcome outcome = locked_step(cs);
        if (outcome != CALLER_CONTINUE) {
            return outcome;
        }
        if (cs.placed) {
            continue;
        }
        bool spinner = claim_turn_spin(fs);
        if (!wait_for(fs, &fs->ccond.turn, &fs->ccond.turn_ns, turn_free, turn_spin, deadline,
                      spinner, spinner)) {
            break;
        }
    }
    return caller_check(cs);
}

// A caller that gives up (a signal handler raised, or its function stopped without answering)
// withdraws a call the server has not taken and frees a reply it will not read, so the next
// caller's turn comes at once. A call already running is marked abandoned, and the server frees
// the data area when it finishes. With `take`, a reply that came meanwhile is taken instead.
// Nothing is touched once the area no longer holds this caller's call. CALLER_NOT_TAKEN: the
// call was withdrawn before the server took it.
static CallerOutcome caller_withdraw(CallerState& cs, bool take, long lock_ms)
{
    if (!cs.placed) {
        return CALLER_STOPPED;
    }
    FunctionShm* fs = cs.fs;
    if (lock_until(&fs->mutex, deadline_after_ms(lock_ms)) != 0) {
        return CALLER_STOPPED;
    }
    if (!holds_our_call(cs)) {
        pthread_mutex_unlock(&fs->mutex);
        return CALLER_LOST;
    }
    unsigned char state = fs->call_state;
    if (take && (state == CALL_REPLIED || state == CALL_REFUSED)) {
        CallerOutcome outcome = take_reply(cs);
        pthread_mutex_unlock(&fs->mutex);
        pass_turn(fs);
        return outcome;
    }
    bool freed = state != CALL_RUNNING;
    if (freed) {
        release_data_area(fs);
    }
    else {
        fs->ccond.caller_pid = 0;
        fs->fcond.ticket_pid = 0;
    }
    pthread_mutex_unlock(&fs->mutex);
    if (freed) {
        notify(&fs->ccond.turn, 1);
    }
    return state == CALL_PENDING ? CALLER_NOT_TAKEN : CALLER_STOPPED;
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

// Decodes a large result in place. Only the function's owner may have written it: nobody else
// can plant a result.
static PyObject* take_result_payload(CallerState& cs, const char* name, uid_t owner)
{
    PayloadProblem problem = cs.result_problem;
    if (problem == PayloadProblem::NONE) {
        Py_BEGIN_ALLOW_THREADS
            problem = cs.result.map(owner);
        Py_END_ALLOW_THREADS
    }
    if (problem != PayloadProblem::NONE) {
        PyErr_Format(PyExc_RuntimeError,
                     "The result of the shared function '%s' cannot be read: %s.", name,
                     payload_problem_text(problem));
        return nullptr;
    }
    PyObject* value = zeb2::to_value_buffer(cs.result.data(), cs.result.size());
    cs.result.reset();
    return value;
}

// ---------------------------------------------------------------------------------------------
// Error replies

static PyObject* remote_error_type = nullptr; // lives as long as the process

int add_remote_error(PyObject* module)
{
    if (remote_error_type == nullptr) {
        remote_error_type = PyErr_NewExceptionWithDoc(
            "tidewell.tidewell.RemoteError",
            "A shared function's callable raised: remote_type, remote_message and "
            "remote_traceback tell what it raised, as text.",
            PyExc_RuntimeError, nullptr);
        if (remote_error_type == nullptr) {
            return -1;
        }
    }
    Py_INCREF(remote_error_type);
    if (PyModule_AddObject(module, "RemoteError", remote_error_type) < 0) {
        Py_DECREF(remote_error_type);
        return -1;
    }
    return 0;
}

// The next NUL-terminated text of an error record, decoded (invalid UTF-8 replaced).
static PyObject* record_text(const unsigned char* reply, size_t& at)
{
    const char* text = reinterpret_cast<const char*>(reply + at);
    size_t len = strnlen(text, DATA_SIZE - at);
    at = std::min(at + len + 1, DATA_SIZE);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(len), "replace");
}

// The kind of error record after the NULL message (ERROR_REPLIED or ERROR_FAILED), 0 if none.
// A server of an older build leaves the call's own bytes behind the 0 byte: never a record.
static unsigned char error_record_kind(const CallerState& cs)
{
    const unsigned char* reply = cs.reply;
    if (std::memcmp(reply + 1, ERROR_RECORD_TAG, sizeof(ERROR_RECORD_TAG)) != 0 ||
        (reply[4] != ERROR_REPLIED && reply[4] != ERROR_FAILED)) {
        return 0;
    }
    if (cs.message_len > 1 && cs.message_len <= DATA_SIZE &&
        std::memcmp(reply + 1, cs.message + 1, cs.message_len - 1) == 0) {
        return 0;
    }
    return reply[4];
}

// A new RemoteError made from the record in `reply`, or NULL with an exception set.
static PyObject* remote_error(const unsigned char* reply)
{
    size_t at = ERROR_RECORD_HEAD;
    PyRef type_name(record_text(reply, at));
    PyRef message(type_name ? record_text(reply, at) : nullptr);
    PyRef traceback(message ? record_text(reply, at) : nullptr);
    if (!traceback) {
        return nullptr;
    }
    PyRef text(PyUnicode_GET_LENGTH(message.get()) > 0
                   ? PyUnicode_FromFormat("%U: %U", type_name.get(), message.get())
                   : Py_NewRef(type_name.get()));
    PyRef error(text ? PyObject_CallOneArg(remote_error_type, text.get()) : nullptr);
    // The attribute names, interned once for the life of the process.
    static PyObject* names[3] = {PyUnicode_InternFromString("remote_type"),
                                 PyUnicode_InternFromString("remote_message"),
                                 PyUnicode_InternFromString("remote_traceback")};
    if (!error || names[0] == nullptr || names[1] == nullptr || names[2] == nullptr ||
        PyObject_SetAttr(error.get(), names[0], type_name.get()) < 0 ||
        PyObject_SetAttr(error.get(), names[1], message.get()) < 0 ||
        PyObject_SetAttr(error.get(), names[2], traceback.get()) < 0) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return nullptr;
    }
    return error.release();
}

// The NULL message: a RemoteError for an error reply; otherwise the RuntimeError every build
// raises, with the callable's error as its cause when the server sent one.
static PyObject* raise_null_reply(const CallerState& cs)
{
    unsigned char kind = error_record_kind(cs);
    if (kind == 0) {
        PyErr_SetString(PyExc_RuntimeError, NULL_FROM_FUNCTION);
        return nullptr;
    }
    PyRef cause(remote_error(cs.reply));
    if (!cause) {
        return nullptr;
    }
    if (kind == ERROR_REPLIED) {
        PyErr_SetObject(remote_error_type, cause.get());
        return nullptr;
    }
    PyRef error(PyObject_CallFunction(PyExc_RuntimeError, "s", NULL_FROM_FUNCTION));
    if (!error) {
        return nullptr;
    }
    PyException_SetCause(error.get(), cause.release()); // steals the reference
    PyErr_SetObject(PyExc_RuntimeError, error.get());
    return nullptr;
}

// The caller's MemoryError for a segment it cannot open or map; its cause, the OSError of the
// failed system call, names the segment.
static PyObject* raise_open_failure(const Status& why, const char* name)
{
    PyRef error(PyObject_CallFunction(PyExc_MemoryError, "s",
                                      why.step == Step::MAP ? "Failed to map the shared memory."
                                                            : "Failed to open the shared memory."));
    if (!error) {
        return nullptr;
    }
    if (why.err != 0) {
        PyObject* cause =
            PyObject_CallFunction(PyExc_OSError, "iss", why.err, std::strerror(why.err), name);
        if (cause == nullptr) {
            return nullptr;
        }
        PyException_SetCause(error.get(), cause); // steals cause
    }
    PyErr_SetObject(PyExc_MemoryError, error.get());
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Running a call

// One call: the function's segment, the encoded arguments, the caller's state and, for a shared
// function with further servers, its lanes (lane 0 is the function's own segment, `seg`).
struct LaneSet {
    SegmentRef refs[MAX_LANES]; // refs[0] unused
    char names[MAX_LANES][LANE_NAME_MAX];
    uint64_t candidates = 1; // lanes that may still take the call
    int current = 0;
    long exhausted_ns = 0; // when every lane had been tried
};

struct Call {
    SegmentRef seg;
    const char* name = nullptr;
    unsigned char small[DATA_SIZE];
    unsigned char record[PAYLOAD_RECORD_MAX];
    ArgumentUse kept_args;
    OutgoingPayload args_payload;
    CallerState cs;
    std::unique_ptr<LaneSet> lanes; // empty: the function has one server
    long next_check_ns = 0;         // an awaited call: its next look at the server (caller_check)
    long next_choice_ns = 0; // an awaited call waiting for a turn: its next look at other lanes
    long locked_out_ns = 0;  // an awaited call: since when the mutex could not be had
};

// Opens the function and encodes the arguments. False with an exception set.
static bool begin_call(Call& call, const char* name, PyObject* args)
{
    Status why;
    call.name = name;
    call.seg = open_for_call(name, why);
    SegmentRef& seg = call.seg;
    if (!seg) {
        drop_argument_object(name); // the function is gone: so is the use of its object
        // Another user's object: the segment table refused it.
        if (why.step == Step::REFUSED) {
            errno = why.err;
            if (raise_refused(name)) {
                return false;
            }
        }
        if (why.step == Step::NOT_FUNCTION) {
            raise_status(why, name);
            return false;
        }
        raise_open_failure(why, name);
        return false;
    }
    // Encoded before any lock is taken: a failure here leaves the server undisturbed. Arguments
    // that do not fit the data area go beside it, into this process's kept object for the
    // function when it has one free (a per-call payload otherwise); the area holds their
    // reference.
    ArgumentTarget target{
        {call.small, DATA_SIZE, grow_arguments}, seg.id(), name, &seg.last_stat(), &call.kept_args};
    Py_ssize_t length = zeb2::encode_into(args, &target.target);
    const unsigned char* message = target.target.data;
    if (length < 0) {
        if (!target.unavailable) {
            return false;
        }
        PyErr_Clear();
        PyRef encoded(from_value(args));
        if (!encoded) {
            return false;
        }
        char* bytes;
        if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Failed to convert the args to C bytes.");
            return false;
        }
        Status status = call.args_payload.write(PayloadRole::ARGUMENTS, bytes,
                                                static_cast<size_t>(length), seg.last_stat());
        if (!status) {
            raise_status(status, name);
            return false;
        }
        length = static_cast<Py_ssize_t>(call.args_payload.record(call.record));
        message = call.record;
    }
    else if (static_cast<size_t>(length) > DATA_SIZE) {
        call.kept_args.payload->finish(static_cast<size_t>(length));
        length = static_cast<Py_ssize_t>(call.kept_args.payload->record(call.record));
        message = call.record;
    }
    CallerState& cs = call.cs;
    cs.fs = reinterpret_cast<FunctionShm*>(seg.map());
    cs.fd = seg.fd();
    cs.name = name;
    cs.id = seg.id();
    cs.pid = static_cast<int32_t>(caller_pid());
    cs.message = message;
    cs.message_len = static_cast<size_t>(length);
    return true;
}

// The result of a finished call, or NULL with its exception set.
static PyObject* end_call(Call& call, CallerOutcome outcome)
{
    CallerState& cs = call.cs;
    const char* name = call.name;
    if (outcome == CALLER_GIVE_UP) {
        Py_BEGIN_ALLOW_THREADS
            outcome = caller_withdraw(cs, true, CALLER_SLICE_MS);
        Py_END_ALLOW_THREADS
    }
    call.kept_args.server_done =
        !cs.placed || outcome == CALLER_GOT_REPLY || outcome == CALLER_REFUSED;
    switch (outcome) {
    case CALLER_GOT_REPLY:
        if (cs.reply[0] == 0) {
            return raise_null_reply(cs);
        }
        if (cs.reply[0] == PAYLOAD_MARKER) {
            return take_result_payload(cs, name, call.seg.last_stat().st_uid);
        }
        return zeb2::to_value_buffer(cs.reply, DATA_SIZE);
    case CALLER_REFUSED:
        return raise_refused(name, cs.reply);
    case CALLER_STOPPED:
    case CALLER_NOT_TAKEN:
        drop_argument_object(name);
        PyErr_Format(PyExc_RuntimeError, "The shared function '%s' has stopped.", name);
        return nullptr;
    case CALLER_SERVER_GONE:
        drop_argument_object(name);
        PyErr_Format(PyExc_RuntimeError, "The process serving the shared function '%s' has ended.",
                     name);
        return nullptr;
    case CALLER_LOST:
        PyErr_Format(PyExc_RuntimeError, "The call to the shared function '%s' was lost.", name);
        return nullptr;
    default:
        return raise_status(failed(Step::LOCK, 0), name);
    }
}

// Runs the call's slices with the GIL released, running signal handlers between them; a
// handler that raises withdraws the call (false, the exception set). With `repick`, also
// returns after a slice that left the call unplaced (outcome CALLER_CONTINUE), so that a shared
// function's caller may look for another lane.
static bool run_slices(Call& call, bool repick, CallerOutcome& outcome)
{
    CallerState& cs = call.cs;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
            outcome = caller_slice(cs);
        Py_END_ALLOW_THREADS
        if (outcome != CALLER_CONTINUE) {
            return true;
        }
        if (PyErr_CheckSignals() < 0) {
            call.kept_args.server_done = !cs.placed;
            Py_BEGIN_ALLOW_THREADS
                caller_withdraw(cs, false, MAX_LOCK_WAIT_MS);
            Py_END_ALLOW_THREADS
            return false;
        }
        if (repick && !cs.placed) {
            return true;
        }
    }
}

static thread_local unsigned lane_rotor = 0;

// Opens the lanes of a shared function that have a server (`lanes`, from its record) and are
// served; every one of them, and the function's own segment, may take the call.
static void open_lanes(Call& call, uint64_t lanes)
{
    LaneSet& set = *call.lanes;
    auto ino = static_cast<uint64_t>(call.seg.id().ino);
    set.candidates = 1;
    for (int k = 1; k < MAX_LANES; ++k) {
        set.refs[k].reset();
        if ((lanes & (uint64_t{1} << k)) == 0) {
            continue;
        }
        lane_name(set.names[k], ino, k);
        SegmentRef ref = segment_open(set.names[k]);
        if (ref && is_lane_of(ref.map(), ref.object_size(), ino) &&
            load_activity(reinterpret_cast<const FunctionShm*>(ref.map())) == 1) {
            set.refs[k] = std::move(ref);
            set.candidates |= uint64_t{1} << k;
        }
    }
}

// Points the call at a lane that may still take it: the first that is free and served, from a
// start that turns with every call; if none is free, the one at that start (the call waits for
// its turn there). False when every lane has been tried.
static bool choose_lane(Call& call)
{
    LaneSet& set = *call.lanes;
    int picks[MAX_LANES];
    int n = 0;
    for (int k = 0; k < MAX_LANES; ++k) {
        if ((set.candidates & (uint64_t{1} << k)) != 0) {
            picks[n++] = k;
        }
    }
    if (n == 0) {
        return false;
    }
    int start = static_cast<int>(lane_rotor++ % static_cast<unsigned>(n));
    int k = picks[start];
    for (int i = 0; i < n; ++i) {
        int pick = picks[(start + i) % n];
        SegmentRef& ref = pick == 0 ? call.seg : set.refs[pick];
        const auto* fs = reinterpret_cast<const FunctionShm*>(ref.map());
        if (load_state(fs) == CALL_IDLE && load_activity(fs) == 1) {
            k = pick;
            break;
        }
    }
    CallerState& cs = call.cs;
    SegmentRef& ref = k == 0 ? call.seg : set.refs[k];
    if (k != set.current || cs.fs != reinterpret_cast<FunctionShm*>(ref.map())) {
        cs.watch = UncollectedWatch(); // an uncollected reply is judged on one lane's looks
    }
    set.current = k;
    cs.fs = reinterpret_cast<FunctionShm*>(ref.map());
    cs.fd = ref.fd();
    cs.name = k == 0 ? call.name : set.names[k];
    cs.id = ref.id();
    cs.lane = k != 0;
    cs.placed = false;
    cs.lock_timeouts = 0;
    cs.stop_seen_ns = 0;
    return true;
}

// After an outcome on a lane of a shared function: whether the call goes to another lane. It
// does when no server took it (the lane stopped, or its server ended, first); a call taken by a
// server that ended is lost with it. False: `outcome` stands.
static bool rerouted(Call& call, CallerOutcome& outcome)
{
    CallerState& cs = call.cs;
    if (outcome == CALLER_SERVER_GONE && cs.placed) {
        CallerOutcome withdrawn;
        Py_BEGIN_ALLOW_THREADS
            withdrawn = caller_withdraw(cs, false, CALLER_SLICE_MS);
        Py_END_ALLOW_THREADS
        if (withdrawn != CALLER_NOT_TAKEN) {
            return false;
        }
        cs.placed = false;
    }
    if (outcome != CALLER_STOPPED && outcome != CALLER_NOT_TAKEN && outcome != CALLER_SERVER_GONE) {
        return false;
    }
    LaneSet& set = *call.lanes;
    set.candidates &= ~(uint64_t{1} << set.current);
    if (choose_lane(call)) {
        return true;
    }
    // Every lane was tried, but servers move: one that took over the function's segment closed
    // its lane, a new one opened another. While the function runs, look again, for as long as a
    // stopped function's call may stay unanswered.
    const auto* fs = reinterpret_cast<const FunctionShm*>(call.seg.map());
    long now = now_ns();
    if (set.exhausted_ns == 0) {
        set.exhausted_ns = now;
    }
    if (load_activity(fs) != 1 || now - set.exhausted_ns >= UNCOLLECTED_MS * 1000000L) {
        return false;
    }
    open_lanes(call, load_lanes(fs));
    return choose_lane(call);
}

// Sets up a shared function's lanes when it has further servers. False with an exception set.
static bool take_lanes(Call& call)
{
    auto* fs = reinterpret_cast<const FunctionShm*>(call.seg.map());
    uint64_t lanes = is_shared(load_sharing(fs)) ? load_lanes(fs) : 0;
    if (lanes == 0) {
        return true;
    }
    call.lanes.reset(new (std::nothrow) LaneSet);
    if (call.lanes == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    open_lanes(call, lanes);
    return choose_lane(call);
}

// The blocking call: slices until an outcome; a shared function's call moves to another lane
// while no server has taken it.
static PyObject* blocking_call(Call& call)
{
    CallerOutcome outcome;
    if (call.lanes == nullptr) {
        if (!run_slices(call, false, outcome)) {
            return nullptr;
        }
        return end_call(call, outcome);
    }
    for (;;) {
        if (!run_slices(call, true, outcome)) {
            return nullptr;
        }
        if (outcome == CALLER_CONTINUE) {
            choose_lane(call);
        }
        else if (!rerouted(call, outcome)) {
            return end_call(call, outcome);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Awaited calls: the same steps, none of them waiting, taken again and again by the event loop.

constexpr long CHOICE_NS = 10 * 1000000L;

// One look at the call without waiting for anything (the mutex is only tried).
static CallerOutcome caller_poll(Call& call)
{
    CallerState& cs = call.cs;
    FunctionShm* fs = cs.fs;
    long now = now_ns();
    bool check = now >= call.next_check_ns;
    // A placed call is taken under the lock only once answered; an unplaced one is placed when
    // the area is free, and at each check (a reply nobody collects may be given back).
    bool ready =
        cs.placed ? (cs.lane ? lane_reply_ready(fs) : reply_ready(fs)) : turn_free(fs) || check;
    if (ready) {
        int rc = lock_until(&fs->mutex, deadline_after_ms(0));
        if (rc == 0) {
            call.locked_out_ns = 0;
            CallerOutcome outcome = locked_step(cs);
            if (outcome != CALLER_CONTINUE) {
                return outcome;
            }
        }
        else if (rc != ETIMEDOUT) {
            return CALLER_LOCK_ERROR;
        }
        else if (call.locked_out_ns == 0) {
            call.locked_out_ns = now;
        }
        else if (now - call.locked_out_ns >= MAX_LOCK_WAIT_MS * 1000000L) {
            return CALLER_LOCK_ERROR;
        }
    }
    if (check) {
        call.next_check_ns = now + CALLER_SLICE_MS * 1000000L;
        return caller_check(cs);
    }
    return CALLER_CONTINUE;
}

struct PendingCall {
    Call call;
    char name[MAX_NAME_BYTES + 1];
    bool finished = false;
};

PendingCall* start_call(const char* name, PyObject* args)
{
    auto* pending = new (std::nothrow) PendingCall;
    if (pending == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::snprintf(pending->name, sizeof(pending->name), "%s", name);
    Call& call = pending->call;
    if (!begin_call(call, pending->name, args) || !take_lanes(call)) {
        delete pending;
        return nullptr;
    }
    call.next_check_ns = now_ns() + CALLER_SLICE_MS * 1000000L;
    return pending;
}

int poll_call(PendingCall* pending, PyObject** result)
{
    Call& call = pending->call;
    if (pending->finished) {
        PyErr_SetString(PyExc_RuntimeError, "The call has finished.");
        *result = nullptr;
        return 1;
    }
    CallerOutcome outcome = caller_poll(call);
    if (outcome == CALLER_CONTINUE) {
        if (call.lanes != nullptr && !call.cs.placed && now_ns() >= call.next_choice_ns) {
            call.next_choice_ns = now_ns() + CHOICE_NS;
            choose_lane(call);
        }
        return 0;
    }
    if (call.lanes != nullptr && rerouted(call, outcome)) {
        return 0;
    }
    pending->finished = true;
    *result = end_call(call, outcome);
    return 1;
}

void cancel_call(PendingCall* pending)
{
    if (!pending->finished && pending->call.cs.fs != nullptr) {
        Call& call = pending->call;
        call.kept_args.server_done = !call.cs.placed;
        Py_BEGIN_ALLOW_THREADS
            caller_withdraw(call.cs, false, MAX_LOCK_WAIT_MS);
        Py_END_ALLOW_THREADS
        pending->finished = true;
    }
}

void free_call(PendingCall* pending)
{
    delete pending;
}

} // namespace tw

using namespace tw;

extern "C" TW_EXPORT PyObject* call_shared_function(const char* name, PyObject* args)
{
    Call call;
    if (!begin_call(call, name, args) || !take_lanes(call)) {
        return nullptr;
    }
    return blocking_call(call);
}
