// The serving side: create the segment, then serve calls until stopped.
#include "tidewell/function_lanes.hpp"
#include "tidewell/function_layout.hpp"
#include "tidewell/function_payload.hpp"
#include "tidewell/function_segment.hpp"
#include "tidewell/liveness.hpp"
#include "tidewell/segment_error.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

#include <frameobject.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tw {

constexpr long SERVER_SLICE_MS = 100;
// How often an idle or busy server checks that its name still refers to its object.
constexpr long NAME_CHECK_NS = 250 * 1000000L;
// How long the end of the program waits for servers in other threads to close down.
constexpr long SHUTDOWN_WAIT_MS = 2000;
// How long a server that stops waits for its last reply to be taken before removing its result.
constexpr long COLLECTION_WAIT_MS = 100;

// ---------------------------------------------------------------------------------------------
// Servers running in threads stop when the program ends. threading runs its atexit callbacks
// when the main thread has finished (normally or by an exception such as KeyboardInterrupt),
// before it joins the other threads; without this, a server in a thread would keep the process
// alive until a second Ctrl-C killed it and left its name behind.

static std::atomic<bool> program_ending{false};
static std::atomic<int> servers_running{0};

static PyObject* stop_thread_servers(PyObject*, PyObject*)
{
    program_ending.store(true);
    Py_BEGIN_ALLOW_THREADS
        long end = now_ns() + SHUTDOWN_WAIT_MS * 1000000L;
        while (servers_running.load() > 0 && now_ns() < end) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

static PyMethodDef stop_thread_servers_def = {"_stop_thread_servers", stop_thread_servers,
                                              METH_NOARGS, nullptr};

// A forked child runs none of its parent's servers.
static void after_fork_in_child()
{
    servers_running.store(0);
    program_ending.store(false);
}

// Registers the callback once per process. A failure (the program is already ending) only
// loses the early stop, so it is not an error of create_function.
static void stop_with_the_program()
{
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    PyObject* exc_type;
    PyObject* exc_value;
    PyObject* exc_tb;
    PyErr_Fetch(&exc_type, &exc_value, &exc_tb);
    PyRef threading(PyImport_ImportModule("threading"));
    PyRef callback(PyCFunction_New(&stop_thread_servers_def, nullptr));
    if (threading && callback) {
        PyRef result(PyObject_CallMethod(threading.get(), "_register_atexit", "O", callback.get()));
    }
    PyErr_Clear();
    PyErr_Restore(exc_type, exc_value, exc_tb);
}

// ---------------------------------------------------------------------------------------------
// Set-up

struct ServerInit {
    pid_t pid;
    const LivenessLock* lock; // taken before this runs (empty: none could be taken)
    uint32_t sharing;         // 0, or the mark of a shared function (function_lanes.hpp)
    uint64_t lanes;           // a lane: the inode of its function
};

static Status init_function_segment(unsigned char* map, void* ctx)
{
    auto* fs = reinterpret_cast<FunctionShm*>(map);
    int rc = init_robust_mutex(&fs->mutex);
    if (rc != 0) {
        return failed(Step::MUTEX_INIT, rc);
    }
    // The wake words start at zero, as the new object does.
    int32_t pid = static_cast<ServerInit*>(ctx)->pid;
    std::memcpy(fs->server_pid, &pid, sizeof(pid));
    std::memcpy(fs->magic, FUNCTION_MAGIC, sizeof(FUNCTION_MAGIC));
    // From its first published instant the object tells by its lock that its server is alive.
    fs->fcond.server_lock = static_cast<ServerInit*>(ctx)->lock->held() ? SERVER_LOCK_MARK : 0;
    fs->fcond.sharing = static_cast<ServerInit*>(ctx)->sharing;
    fs->fcond.lanes = static_cast<ServerInit*>(ctx)->lanes;
    fs->call_state = CALL_IDLE;
    fs->activity = 1;
    return STATUS_OK;
}

// ---------------------------------------------------------------------------------------------
// Serving loop

// A server of a shared function: which function, and which lane it serves (0: the function's own
// segment, after creating it or taking it over from a server that ended).
struct Sharing {
    const char* function_name;
    ObjectId function_id;
    MappedObject function; // a lane's server: the function's segment, mapped whole
    int lane = 0;
    char lane_name[LANE_NAME_MAX] = {};
};

// One serving life. Dropping it, on every exit of create_function, unmaps the segment and removes
// the name if it is still ours (unless it was left to the function's other servers); the
// exception, if any, stays.
struct Server {
    const char* name;
    MappedObject object;
    FunctionShm* fs;
    ObjectId id;
    long next_name_check;
    LivenessLock lock; // dropped after the name is removed: the function is alive until then
    UncollectedWatch watch;
    unsigned char call[DATA_SIZE];
    struct stat st;                 // the function's object: owner, group and mode for payloads
    OutgoingPayload reply_payload;  // the last large result, kept until the next call
    KeptPayload result_object;      // large results for callers that read kept objects
    bool caller_reads_kept = false; // the running call's caller does
    Sharing* share = nullptr;       // a shared function's server
    bool keep_name = false;         // the function's segment was left to its other servers
    bool ran_coroutines = false;    // the serving thread has an event loop for coroutines

    ~Server()
    {
        object.unmap();
        if (share != nullptr && share->lane > 0) {
            clear_lane(reinterpret_cast<FunctionShm*>(share->function.data()), share->lane);
        }
        if (!keep_name) {
            unlink_if_same(name, id);
        }
        // Before the end of the program may stop waiting for this server.
        result_object.remove();
        reply_payload.remove();
        servers_running.fetch_sub(1);
    }
};

enum ServerEvent { EV_NONE, EV_CALL, EV_STOP, EV_LOCK_ERROR };

// The name callers call: the function's, whichever segment this server serves.
static const char* called_name(const Server& srv)
{
    return srv.share != nullptr ? srv.share->function_name : srv.name;
}

static thread_local AdaptiveSpin call_spin;

// With the mutex held: ends serving for good; a pending or running call gets the NULL message,
// since nobody will serve it. The caller of this notifies all callers after unlocking.
static void close_down(FunctionShm* fs)
{
    __atomic_store_n(&fs->activity, static_cast<unsigned char>(0), __ATOMIC_RELEASE);
    if (fs->call_state == CALL_PENDING || fs->call_state == CALL_RUNNING) {
        fs->data[0] = 0;
        fs->data[1] = 0; // no error record
        stamp(&fs->ccond.reply_ns);
        store_state(fs, CALL_REPLIED);
    }
}

static void notify_all_callers(FunctionShm* fs)
{
    notify(&fs->ccond.reply);
    notify(&fs->ccond.turn);
}

static bool call_or_stop(const void* ctx)
{
    const auto* fs = static_cast<const FunctionShm*>(ctx);
    return load_state(fs) == CALL_PENDING || load_activity(fs) != 1 ||
           program_ending.load(std::memory_order_relaxed);
}

// Nothing in the record tells that a caller is about to call again (between two calls of a loop
// it runs Python code), so the server's spin is bounded by its learnt budget alone.
static bool callers_about(const void*)
{
    return true;
}

// With the mutex held: this server stops serving for good. The only server of a function closes
// it down. A server of a shared function whose others go on leaves only its own part: a lane is
// closed with its pending call left for its caller to place elsewhere; the function's segment,
// with its name and a pending call, is left to the others (the first to find this server's
// liveness lock gone takes it over), unless the function was stopped or lost its name.
static void close_down_server(Server& srv)
{
    FunctionShm* fs = srv.fs;
    if (srv.share != nullptr && srv.share->lane > 0) {
        close_lane(fs);
        return;
    }
    // Servers in other threads of a program that ends end with it: they take nothing over.
    pid_t ending = program_ending.load(std::memory_order_relaxed) ? getpid() : 0;
    if (srv.share != nullptr && fs->activity == 1 && name_refers_to(srv.name, srv.id) &&
        drop_ended_lanes(fs, srv.id.ino, ending) != 0) {
        srv.keep_name = true;
        return;
    }
    close_down(fs);
}

// A lane's server takes over the function's segment once the server of that one has ended: of
// the lanes' servers, the one that gets its liveness lock records itself as its server, gives
// back the call its predecessor was running (that call's caller finds it lost) and closes its
// own lane. Pending calls on both stay: this server serves the one, the other's caller places it
// again. Not while the lane holds a reply its caller has yet to collect: its result object may
// not have been opened yet, and this server's next result would go into it.
static bool take_over(Server& srv)
{
    Sharing& sh = *srv.share;
    auto* function = reinterpret_cast<FunctionShm*>(sh.function.data());
    if (function_server_alive(sh.function.fd(), function)) {
        return false;
    }
    LivenessLock lock(take_liveness_lock(sh.function_name, sh.function.fd()));
    FunctionShm* lane = srv.fs;
    if (!lock.held() || lock_until(&lane->mutex, deadline_after_ms(MAX_LOCK_WAIT_MS)) != 0) {
        return false;
    }
    unsigned char lane_state = lane->call_state;
    if (lane_state == CALL_REPLIED || lane_state == CALL_REFUSED) {
        pthread_mutex_unlock(&lane->mutex);
        return false;
    }
    close_lane(lane);
    pthread_mutex_unlock(&lane->mutex);
    notify_all_callers(lane);
    if (lock_until(&function->mutex, deadline_after_ms(MAX_LOCK_WAIT_MS)) != 0) {
        return false; // the lane is closed: serving ends at the next look
    }
    bool taken = function->activity == 1;
    bool freed = false;
    if (taken) {
        int32_t pid = getpid();
        std::memcpy(function->server_pid, &pid, sizeof(pid));
        __atomic_store_n(&function->fcond.server_lock, SERVER_LOCK_MARK, __ATOMIC_RELEASE);
        freed = function->call_state == CALL_RUNNING;
        if (freed) {
            release_data_area(function);
        }
    }
    pthread_mutex_unlock(&function->mutex);
    if (!taken) {
        return false;
    }
    if (freed) {
        notify(&function->ccond.turn, 1);
    }
    clear_lane(function, sh.lane);
    srv.object.unmap();
    unlink_if_same(srv.name, srv.id);
    srv.object = std::move(sh.function);
    srv.fs = function;
    srv.name = sh.function_name;
    srv.id = sh.function_id;
    srv.lock = std::move(lock);
    srv.watch = UncollectedWatch();
    sh.lane = 0;
    return true;
}

enum Standing { SERVING, ORPHANED, MOVED };

// A shared function's server, at each name check: the function's own server tidies its lanes
// away once their servers end; a lane's server stops with its function, keeps its lane's bit set
// (a tidying that raced with its start may have cleared it), and takes over the function's
// segment when that one's server has ended.
static Standing shared_standing(Server& srv)
{
    Sharing& sh = *srv.share;
    if (sh.lane == 0) {
        drop_ended_lanes(srv.fs, srv.id.ino);
        return SERVING;
    }
    auto* function = reinterpret_cast<FunctionShm*>(sh.function.data());
    if (load_activity(function) != 1 || !name_refers_to(sh.function_name, sh.function_id)) {
        return ORPHANED;
    }
    if ((load_lanes(function) & (uint64_t{1} << sh.lane)) == 0) {
        set_lane(function, sh.lane);
    }
    return take_over(srv) ? MOVED : SERVING;
}

// Whether serving must end although nobody asked: the program ends, or the name was removed
// (remove_memory, rm) or now names another object; for a lane, its function's. MOVED: this
// server now serves another segment of its function.
static Standing standing(Server& srv)
{
    if (program_ending.load(std::memory_order_relaxed)) {
        return ORPHANED;
    }
    long now = now_ns();
    if (now < srv.next_name_check) {
        return SERVING;
    }
    srv.next_name_check = now + NAME_CHECK_NS;
    if (!name_refers_to(srv.name, srv.id)) {
        return ORPHANED;
    }
    return srv.share != nullptr ? shared_standing(srv) : SERVING;
}

// One slice of the server's wait, with the GIL released. Leaves the mutex unlocked.
static ServerEvent server_slice(Server& srv)
{
    FunctionShm* fs = srv.fs;
    struct timespec deadline = deadline_after_ms(SERVER_SLICE_MS);
    bool slice_over = false;
    for (;;) {
        // Checked before locking, so that a server whose mutex someone holds forever still
        // notices its name removed.
        Standing now = standing(srv);
        if (now == MOVED) {
            return EV_NONE;
        }
        bool orphan = now == ORPHANED;
        int rc = lock_until(&fs->mutex, deadline);
        if (rc == ETIMEDOUT && !orphan) {
            return EV_NONE;
        }
        if (rc != 0 && rc != ETIMEDOUT) {
            return EV_LOCK_ERROR;
        }
        if (rc == ETIMEDOUT) {
            return EV_STOP; // orphaned, and the record cannot be had: leave it as it is
        }
        // A stop wins over a pending call, which is then answered with the NULL message.
        if (fs->activity != 1 || orphan) {
            close_down_server(srv);
            pthread_mutex_unlock(&fs->mutex);
            notify_all_callers(fs);
            return EV_STOP;
        }
        if (fs->call_state == CALL_PENDING) {
            std::memcpy(srv.call, fs->data, DATA_SIZE);
            srv.caller_reads_kept = fs->ccond.caller_pid != 0 &&
                                    fs->fcond.ticket_pid == fs->ccond.caller_pid &&
                                    fs->fcond.kept_ticket == fs->ccond.call_ticket;
            store_state(fs, CALL_RUNNING);
            pthread_mutex_unlock(&fs->mutex);
            return EV_CALL;
        }
        if (slice_over) {
            // A reply nobody collects (its caller died or is stopped) would hold every later
            // caller.
            bool freed = reclaim_uncollected(fs, srv.watch);
            pthread_mutex_unlock(&fs->mutex);
            if (freed) {
                notify(&fs->ccond.turn, 1);
            }
            return EV_NONE;
        }
        uint32_t seen = read_word(&fs->fcond.call);
        pthread_mutex_unlock(&fs->mutex);
        long start = now_ns();
        bool spun_ok = spin_until(call_spin, call_or_stop, callers_about, fs) || call_or_stop(fs);
        if (!spun_ok) {
            slice_over = !sleep_on(&fs->fcond.call, seen, deadline);
        }
        call_spin.learn(spun_ok, event_delay(&fs->fcond.call_ns, start));
    }
}

// REPLY_ERROR: the callable raised and the server goes on; REPLY_FAILED ends serving.
enum ReplyKind { REPLY_VALUE, REPLY_REFUSED, REPLY_ERROR, REPLY_FAILED };

// Writes the reply of the running call (GIL released). A failed exchange answers with the NULL
// message (and the error record in `bytes`, if any) and closes the function down. Returns false
// when the mutex cannot be had.
static bool post_reply(Server& srv, ReplyKind kind, const char* bytes, size_t len)
{
    FunctionShm* fs = srv.fs;
    if (lock_until(&fs->mutex, deadline_after_ms(MAX_LOCK_WAIT_MS)) != 0) {
        return false;
    }
    bool freed = false;
    if (fs->call_state == CALL_RUNNING) {
        if (kind == REPLY_FAILED && bytes == nullptr) {
            fs->data[0] = 0;
            fs->data[1] = 0;
        }
        else {
            std::memcpy(fs->data, bytes, len);
        }
        // The caller gave up while its call ran: nobody will collect this reply.
        freed = fs->ccond.caller_pid == 0;
        if (freed) {
            release_data_area(fs);
        }
        else {
            stamp(&fs->ccond.reply_ns);
            store_state(fs, kind == REPLY_REFUSED ? CALL_REFUSED : CALL_REPLIED);
        }
    }
    if (kind == REPLY_FAILED) {
        close_down_server(srv);
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

// Appends `text` (`len` bytes) cut to `room` bytes and a NUL; with `tail`, its end is kept.
static size_t put_text(unsigned char* out, const char* text, size_t len, size_t room, bool tail)
{
    size_t n = std::min(len, room - 1);
    std::memcpy(out, tail ? text + (len - n) : text, n);
    out[n] = 0;
    return n + 1;
}

// The UTF-8 text of `obj` (str() of it, or of `fallback` when that fails); never raises.
static std::pair<PyRef, const char*> text_of(PyObject* obj, Py_ssize_t& len)
{
    PyRef str(obj != nullptr ? PyObject_Str(obj) : nullptr);
    const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &len) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        len = 0;
        return {PyRef(), ""};
    }
    return {std::move(str), utf8};
}

// Appends str(obj) (or `fallback` when it has none) to `out`.
static void append_text(std::string& out, PyObject* obj, const char* fallback)
{
    Py_ssize_t len = 0;
    auto text = text_of(obj, len);
    if (len > 0) {
        out.append(text.second, static_cast<size_t>(len));
    }
    else if (obj == nullptr) {
        out += fallback;
    }
}

// obj.<attr>, a new reference or NULL (no exception left set). `attr` is a literal: its name is
// interned once, and every later lookup goes without making and hashing a new string.
static PyObject* attribute(PyObject* obj, const char* attr)
{
    static const char* literals[16];
    static PyObject* names[16];
    PyObject* key = nullptr;
    for (int i = 0; i < 16 && key == nullptr; ++i) {
        if (literals[i] == attr) {
            key = names[i];
        }
        else if (literals[i] == nullptr) {
            names[i] = PyUnicode_InternFromString(attr);
            if (names[i] == nullptr) {
                break;
            }
            literals[i] = attr;
            key = names[i];
        }
    }
    PyObject* value = key != nullptr ? PyObject_GetAttr(obj, key) : nullptr;
    if (value == nullptr) {
        PyErr_Clear();
    }
    return value;
}

// Appends the attribute `attr` of `obj` as text.
static void append_attr(std::string& out, PyObject* obj, const char* attr)
{
    PyRef value(attribute(obj, attr));
    append_text(out, value.get(), "?");
}

// The text traceback.format_exception gives, without the source lines (which cost a file
// lookup per frame): the chained exceptions first, each frame's file, line and function, then
// the exception's type and message. A few levels of chaining at most.
static void format_exception(PyObject* exc, std::string& out, int depth)
{
    if (depth < 4) {
        PyRef cause(PyException_GetCause(exc));
        PyRef context(PyException_GetContext(exc));
        PyRef suppress(context ? attribute(exc, "__suppress_context__") : nullptr);
        if (cause && cause.get() != exc) {
            format_exception(cause.get(), out, depth + 1);
            out += "\nThe above exception was the direct cause of the following exception:\n\n";
        }
        else if (context && context.get() != exc && suppress.get() != Py_True) {
            format_exception(context.get(), out, depth + 1);
            out += "\nDuring handling of the above exception, another exception occurred:\n\n";
        }
    }
    PyRef tb(PyException_GetTraceback(exc));
    if (tb && tb.get() != Py_None) {
        out += "Traceback (most recent call last):\n";
    }
    for (int frames = 0; tb && tb.get() != Py_None && frames < 64; ++frames) {
        PyRef frame(attribute(tb.get(), "tb_frame"));
        PyRef code(frame && PyFrame_Check(frame.get())
                       ? reinterpret_cast<PyObject*>(
                             PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame.get())))
                       : nullptr);
        out += "  File \"";
        if (code) {
            append_attr(out, code.get(), "co_filename");
        }
        out += "\", line ";
        append_attr(out, tb.get(), "tb_lineno");
        out += ", in ";
        if (code) {
            append_attr(out, code.get(), "co_name");
        }
        out += "\n";
        tb.reset(attribute(tb.get(), "tb_next"));
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    PyRef module(attribute(type, "__module__"));
    const char* module_name =
        module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
    PyErr_Clear();
    if (module_name != nullptr && std::strcmp(module_name, "builtins") != 0 &&
        std::strcmp(module_name, "__main__") != 0) {
        out += module_name;
        out += ".";
    }
    append_attr(out, type, "__qualname__");
    PyRef message(PyObject_Str(exc));
    PyErr_Clear();
    if (message && PyUnicode_GET_LENGTH(message.get()) > 0) {
        out += ": ";
        append_text(out, message.get(), "");
    }
    out += "\n";
}

// The error record of the pending exception (see function_layout.hpp) into `out` (DATA_SIZE
// bytes); returns its length. With `keep` the exception stays pending, otherwise it is cleared.
static size_t error_record(unsigned char* out, unsigned char kind, bool keep)
{
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    PyRef held_type(type);
    PyRef held_value(value);
    PyRef held_traceback(traceback);
    PyRef type_name(type != nullptr ? attribute(type, "__qualname__") : nullptr);
    std::string lines;
    if (value != nullptr) {
        format_exception(value, lines, 0);
    }
    PyErr_Clear();
    Py_ssize_t type_len = 0;
    Py_ssize_t message_len = 0;
    auto type_text = text_of(type_name.get(), type_len);
    auto message_text = text_of(value, message_len);
    out[0] = 0;
    std::memcpy(out + 1, ERROR_RECORD_TAG, sizeof(ERROR_RECORD_TAG));
    out[4] = kind;
    size_t at = ERROR_RECORD_HEAD;
    at += put_text(out + at, type_text.second, static_cast<size_t>(type_len), 128, false);
    at += put_text(out + at, message_text.second, static_cast<size_t>(message_len), 384, false);
    at += put_text(out + at, lines.data(), lines.size(), DATA_SIZE - at, true);
    if (keep) {
        PyErr_Restore(held_type.release(), held_value.release(), held_traceback.release());
    }
    return at;
}

// Closes the function down from the serving thread (after an interrupt or a fatal error) and
// removes the segment. Returns NULL with the pending exception.
static PyObject* fail_server(Server& srv)
{
    Py_BEGIN_ALLOW_THREADS
        if (lock_until(&srv.fs->mutex, deadline_after_ms(MAX_LOCK_WAIT_MS)) == 0) {
            close_down_server(srv);
            pthread_mutex_unlock(&srv.fs->mutex);
            notify_all_callers(srv.fs);
        }
    Py_END_ALLOW_THREADS
    return nullptr;
}

// Runs what a served callable returned as a coroutine to completion, on the event loop the serving
// thread keeps for it (tidewell._aio). New reference, or NULL with an exception set.
static PyObject* run_coroutine(Server& srv, PyObject* coroutine)
{
    PyRef aio(PyImport_ImportModule("tidewell._aio"));
    if (!aio) {
        return nullptr;
    }
    srv.ran_coroutines = true;
    return PyObject_CallMethod(aio.get(), "_run_coroutine", "O", coroutine);
}

// Closes the serving thread's event loop, if a coroutine made one. The exception pending, if
// any, stays.
static void end_coroutines(Server& srv)
{
    if (!srv.ran_coroutines) {
        return;
    }
    PyObject* exc_type;
    PyObject* exc_value;
    PyObject* exc_tb;
    PyErr_Fetch(&exc_type, &exc_value, &exc_tb);
    PyRef aio(PyImport_ImportModule("tidewell._aio"));
    PyRef done(aio ? PyObject_CallMethod(aio.get(), "_end_serving", nullptr) : nullptr);
    PyErr_Clear();
    PyErr_Restore(exc_type, exc_value, exc_tb);
}

// Where a result is encoded for a caller that reads kept objects: a buffer the size of the data
// area, then the server's kept result object. A reader of an earlier result that still holds
// the object keeps it: the result goes into a new one.
struct ResultTarget {
    zeb2::EncodeTarget target; // first: the encoder's view of this record
    Server* srv;
    int err = 0;
    bool failed = false;
    bool kept = false;
};

static unsigned char* grow_result(zeb2::EncodeTarget* target, size_t used, size_t capacity)
{
    auto* rt = reinterpret_cast<ResultTarget*>(target);
    KeptPayload& object = rt->srv->result_object;
    unsigned char* data;
    if (!rt->kept) {
        if (object.has_reader()) {
            object.remove();
        }
        data = object.begin(PayloadRole::RESULT, capacity, rt->srv->st, rt->err);
        if (data != nullptr) {
            std::memcpy(data, target->data, used);
            rt->kept = true;
        }
    }
    else {
        data = object.grow_to(capacity, rt->err);
    }
    if (data == nullptr) {
        rt->failed = true;
        return nullptr;
    }
    target->data = data;
    target->capacity = object.capacity();
    return data;
}

// Runs one call with the GIL held and posts its reply. Returns false when serving must end,
// with the exception to raise set. Only a failed call, a result that cannot be sent, or an
// exception that is not an Exception (KeyboardInterrupt, SystemExit) ends serving; arguments
// that fail to decode with an ordinary error are refused and serving goes on. With
// `reply_errors`, a call that fails with an Exception is answered with its error record and
// serving goes on too.
static bool serve_call(Server& srv, PyObject* func, bool reply_errors)
{
    PyRef encoded;
    ReplyKind kind = REPLY_VALUE;
    char refusal[DATA_SIZE];
    unsigned char record[PAYLOAD_RECORD_MAX];
    unsigned char result_buffer[DATA_SIZE];
    const char* reply = nullptr;
    size_t reply_len = 0;

    // The previous caller opened its result payload before it freed the data area.
    srv.reply_payload.remove();
    PyRef call_args;
    PayloadProblem problem = PayloadProblem::NONE;
    if (srv.call[0] == PAYLOAD_MARKER) {
        IncomingPayload args;
        Py_BEGIN_ALLOW_THREADS
            problem = args.open(srv.call, DATA_SIZE);
            if (problem == PayloadProblem::NONE) {
                problem = args.map(static_cast<uid_t>(-1));
            }
        Py_END_ALLOW_THREADS
        if (problem == PayloadProblem::NONE) {
            call_args.reset(zeb2::to_value_buffer(args.data(), args.size()));
        }
    }
    else {
        call_args.reset(zeb2::to_value_buffer(srv.call, DATA_SIZE));
    }
    if (problem != PayloadProblem::NONE) {
        kind = REPLY_REFUSED;
        const char* text = payload_problem_text(problem);
        reply_len = std::strlen(text) + 1;
        std::memcpy(refusal, text, reply_len);
        reply = refusal;
    }
    else if (!call_args) {
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
        ResultTarget target{{result_buffer, DATA_SIZE, grow_result}, &srv};
        Py_ssize_t length = -1;
        char* bytes = nullptr;
        if (PyTuple_Check(call_args.get())) {
            PyRef result(PyObject_CallObject(func, call_args.get()));
            if (result && PyCoro_CheckExact(result.get())) {
                result.reset(run_coroutine(srv, result.get()));
            }
            if (result && srv.caller_reads_kept) {
                length = zeb2::encode_into(result.get(), &target.target);
                bytes = reinterpret_cast<char*>(target.target.data);
                if (length < 0 && target.failed) {
                    PyErr_Clear();
                    raise_status(failed(Step::ALLOCATE, target.err), called_name(srv));
                }
            }
            else if (result) {
                encoded.reset(from_value(result.get()));
            }
        }
        else {
            // Answered with the no-value string, which the caller's decoder rejects.
            encoded.reset(from_value(nullptr));
        }
        call_args.reset();
        if (encoded && PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) < 0) {
            PyErr_SetString(PyExc_RuntimeError,
                            "Failed to convert a Python bytes object to C bytes.");
            length = -1;
        }
        if (length < 0) {
            kind = REPLY_FAILED;
        }
        else if (static_cast<size_t>(length) <= DATA_SIZE) {
            reply = bytes;
            reply_len = static_cast<size_t>(length);
        }
        else if (target.kept) {
            srv.result_object.finish(static_cast<size_t>(length));
            reply_len = srv.result_object.record(record);
            reply = reinterpret_cast<const char*>(record);
        }
        else {
            Status status = srv.reply_payload.write(PayloadRole::RESULT, bytes,
                                                    static_cast<size_t>(length), srv.st);
            encoded.reset();
            if (!status) {
                raise_status(status, called_name(srv));
                kind = REPLY_FAILED;
            }
            else {
                reply_len = srv.reply_payload.record(record);
                reply = reinterpret_cast<const char*>(record);
            }
        }
    }
    unsigned char failure[DATA_SIZE];
    if (kind == REPLY_FAILED && PyErr_Occurred() != nullptr) {
        bool served_on = reply_errors && PyErr_ExceptionMatches(PyExc_Exception);
        kind = served_on ? REPLY_ERROR : REPLY_FAILED;
        reply_len = error_record(failure, served_on ? ERROR_REPLIED : ERROR_FAILED, !served_on);
        reply = reinterpret_cast<const char*>(failure);
    }
    bool posted;
    Py_BEGIN_ALLOW_THREADS
        posted = post_reply(srv, kind, reply, reply_len);
    Py_END_ALLOW_THREADS
    if (!posted && kind != REPLY_FAILED) {
        raise_status(failed(Step::LOCK, 0), called_name(srv));
        kind = REPLY_FAILED;
    }
    return kind != REPLY_FAILED;
}

// The error for a taken name that cannot be joined: the message of every build, with what holds
// the name as its cause (and, for a join, why it cannot be joined).
static PyObject* raise_taken(const char* name, bool joining)
{
    char text[240];
    const char* why = describe_taken(name, text, sizeof(text));
    if (joining && why != nullptr && why == text) {
        size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof(text) - used, " without shared=True");
    }
    return raise_status_because(failed(Step::EXISTS, EEXIST), name, why);
}

// Joins the servers of the shared function `name`: opens its segment and creates a free lane
// (taking over a lane left by a server that ended). On success `sh` holds the function and the
// lane, and `object`, `lock` and `id` the lane to serve; NULL with an exception set otherwise.
static bool join_function(const char* name, bool reply_errors, Sharing& sh, MappedObject& object,
                          LivenessLock& lock)
{
    Status status = open_function_segment(name, FUNCTION_SEGMENT_SIZE, sh.function);
    if (!status) {
        if (status.step == Step::REFUSED) {
            raise_status(status, name);
        }
        else {
            raise_taken(name, true);
        }
        return false;
    }
    auto* function = reinterpret_cast<FunctionShm*>(sh.function.data());
    uint32_t sharing = load_sharing(function);
    if (!is_shared(sharing) || load_activity(function) != 1) {
        raise_taken(name, true);
        return false;
    }
    if ((sharing == SHARE_REPLY) != reply_errors) {
        PyErr_Format(PyExc_ValueError,
                     "The shared function '%s' is served with errors='%s'; serve it with the same "
                     "errors= to share it.",
                     name, sharing == SHARE_REPLY ? "reply" : "raise");
        return false;
    }
    if (!object_of(sh.function.fd(), sh.function_id)) {
        raise_status(failed(Step::CREATE_FUNCTION, errno), name);
        return false;
    }
    uint64_t ino = static_cast<uint64_t>(sh.function_id.ino);
    for (int k = 1; k < MAX_LANES; ++k) {
        if ((load_lanes(function) & (uint64_t{1} << k)) != 0) {
            continue;
        }
        lane_name(sh.lane_name, ino, k);
        ServerInit init{getpid(), &lock, sharing, ino};
        for (int attempt = 0; attempt < 2; ++attempt) {
            status =
                create_segment(sh.lane_name, static_cast<off_t>(FUNCTION_SEGMENT_SIZE),
                               FUNCTION_SEGMENT_SIZE, init_function_segment, &init, object, &lock);
            if (status || status.step != Step::EXISTS) {
                break;
            }
            // A lane left by a server that ended (not yet swept): take its place.
            MappedObject left;
            ObjectId left_id;
            if (!left.open(sh.lane_name, O_RDONLY | O_CLOEXEC, 0) ||
                liveness_lock(left.fd()) != LOCK_FREE || !object_of(left.fd(), left_id)) {
                break;
            }
            unlink_if_same(sh.lane_name, left_id);
        }
        if (status) {
            sh.function_name = name;
            sh.lane = k;
            set_lane(function, k);
            return true;
        }
        if (status.step != Step::EXISTS) {
            raise_status(status, name);
            return false;
        }
    }
    PyErr_Format(PyExc_RuntimeError, "The shared function '%s' has %d servers already.", name,
                 MAX_LANES);
    return false;
}

// Serves calls until a stop (None) or a failure (NULL with the exception set).
static PyObject* serve(Server& srv, PyObject* func, bool reply_errors)
{
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
            if (!serve_call(srv, func, reply_errors)) {
                return nullptr;
            }
            break;
        case EV_STOP:
            std::puts("read");
            std::fflush(stdout);
            Py_RETURN_NONE;
        case EV_LOCK_ERROR:
            return raise_status(failed(Step::LOCK, 0), called_name(srv));
        }
    }
}

PyObject* create_function_impl(const char* name, PyObject* func, bool reply_errors, bool shared)
{
    stop_with_the_program();
    LivenessLock lock;
    ServerInit init{getpid(), &lock, shared ? (reply_errors ? SHARE_REPLY : SHARE_RAISE) : 0, 0};
    MappedObject object;
    Sharing sharing;
    Status status =
        create_segment(name, static_cast<off_t>(FUNCTION_SEGMENT_SIZE), FUNCTION_SEGMENT_SIZE,
                       init_function_segment, &init, object, &lock);
    if (!status && status.step == Step::EXISTS && shared) {
        if (!join_function(name, reply_errors, sharing, object, lock)) {
            return nullptr;
        }
        status = STATUS_OK;
    }
    if (!status) {
        if (status.step == Step::NOT_CREATED) {
            status.step = Step::CREATE_FUNCTION;
        }
        if (status.step == Step::EXISTS) {
            return raise_taken(name, false);
        }
        return raise_status(status, name);
    }
    const char* served = sharing.lane > 0 ? sharing.lane_name : name;
    // Our own object, by identity: the name may later be removed and given to another object,
    // which this server must neither serve under nor remove.
    ObjectId id{};
    struct stat st {};
    bool known = object_of(object.fd(), id) &&
                 fstat(sharing.lane > 0 ? sharing.function.fd() : object.fd(), &st) == 0;
    object.close_fd();
    if (!known) {
        int err = errno;
        object.unmap();
        shm_unlink(served);
        return raise_status(failed(Step::CREATE_FUNCTION, err), name);
    }
    if (shared && sharing.lane == 0) {
        sharing.function_name = name;
        sharing.function_id = id;
    }
    servers_running.fetch_add(1);
    auto* fs = reinterpret_cast<FunctionShm*>(object.data());
    Server srv{served,
               std::move(object),
               fs,
               id,
               now_ns() + (sharing.lane > 0 ? 0 : NAME_CHECK_NS),
               std::move(lock),
               {},
               {},
               st,
               {},
               {},
               false,
               shared ? &sharing : nullptr,
               false};
    PyObject* result = serve(srv, func, reply_errors);
    end_coroutines(srv);
    // The last reply's caller opens its result object when it takes the reply: the object goes
    // once it has, or when nobody took it for COLLECTION_WAIT_MS.
    Py_BEGIN_ALLOW_THREADS
        long end = now_ns() + COLLECTION_WAIT_MS * 1000000L;
        while (now_ns() < end &&
               (load_state(srv.fs) == CALL_REPLIED || load_state(srv.fs) == CALL_REFUSED)) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
    Py_END_ALLOW_THREADS
    return result;
}

} // namespace tw
