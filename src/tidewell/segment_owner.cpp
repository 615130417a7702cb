#include "tidewell/segment_owner.hpp"
#include "tidewell/argument_rules.hpp"
#include "tidewell/segment_common.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <unistd.h>

#include "common/py_ref.hpp"

namespace tw {

constexpr size_t MAX_TRUSTED = 64;
constexpr uint32_t NO_GROUP = UINT32_MAX;

// The trusted users and groups. Written only by trust(), which holds the GIL, so there is one
// writer at a time; read on open paths that may run without the GIL. Readers check a sequence
// count around their reads: odd, or changed meanwhile, means a write was under way, and the read
// is made again. No lock, so nothing can be left locked in a forked child.
struct TrustTable {
    std::atomic<uint32_t> seq{0};
    std::atomic<uint32_t> n_uids{0};
    std::atomic<uint32_t> n_gids{0};
    std::atomic<uint32_t> uids[MAX_TRUSTED];
    std::atomic<uint32_t> gids[MAX_TRUSTED];
    // The group new objects are given: the first trusted group this process belongs to.
    std::atomic<uint32_t> create_gid{NO_GROUP};
};
static TrustTable trusted;

static thread_local mode_t create_mode = DEFAULT_CREATE_MODE;

// The effective uid as last read. Refreshed whenever an object would be refused, so a process
// that changed its uid (a daemon dropping root) is judged as who it is now, at no cost for the
// common case of its own objects.
static std::atomic<uid_t> seen_euid{geteuid()};

static bool owner_trusted_slow(const struct stat& st);

// Whether an object with this status may be opened. Costs one compare for our own objects;
// root's world-writable ones take the slow path, which tells a process that has left root.
static inline bool owner_trusted(const struct stat& st)
{
    uid_t me = seen_euid.load(std::memory_order_relaxed);
    if (st.st_uid == me && (me != 0 || (st.st_mode & S_IWOTH) == 0)) {
        return true;
    }
    return owner_trusted_slow(st);
}

// Sets MemoryError saying why an object with this status is refused.
static void raise_untrusted(const struct stat& st, const char* name);

// The check where creation finds a name taken: true, or false with MemoryError set.
static bool check_segment_owner(const struct stat& st, const char* name)
{
    if (owner_trusted(st)) {
        return true;
    }
    raise_untrusted(st, name);
    return false;
}

static bool listed(const std::atomic<uint32_t>* ids, uint32_t count, uint32_t id)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (ids[i].load(std::memory_order_relaxed) == id) {
            return true;
        }
    }
    return false;
}

static bool ids_trusted(uid_t uid, gid_t gid)
{
    for (;;) {
        uint32_t before = trusted.seq.load(std::memory_order_acquire);
        uint32_t n_uids =
            std::min<uint32_t>(trusted.n_uids.load(std::memory_order_relaxed), MAX_TRUSTED);
        uint32_t n_gids =
            std::min<uint32_t>(trusted.n_gids.load(std::memory_order_relaxed), MAX_TRUSTED);
        bool found = listed(trusted.uids, n_uids, uid) || listed(trusted.gids, n_gids, gid);
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1) == 0 && trusted.seq.load(std::memory_order_relaxed) == before) {
            return found;
        }
    }
}

// The rule, once: this user's objects, whatever their mode; otherwise root's, a trusted user's or
// a trusted group's, when nobody else can have written them.
template <class Trusted>
static bool owner_rule(uid_t owner, gid_t group, mode_t mode, uid_t me, Trusted ids_trusted_here)
{
    if (owner == me) {
        return true;
    }
    return (mode & S_IWOTH) == 0 && (owner == 0 || ids_trusted_here(owner, group));
}

static bool owner_trusted_slow(const struct stat& st)
{
    uid_t me = geteuid();
    seen_euid.store(me, std::memory_order_relaxed);
    return owner_rule(st.st_uid, st.st_gid, st.st_mode, me, ids_trusted);
}

bool owner_refuses(const struct stat& st)
{
    return !owner_rule(st.st_uid, st.st_gid, st.st_mode, geteuid(), ids_trusted);
}

bool owner_refuses_given(uid_t owner, gid_t group, mode_t mode, const uint32_t* uids, size_t n_uids,
                         const uint32_t* gids, size_t n_gids)
{
    auto given = [&](uid_t uid, gid_t gid) {
        return std::find(uids, uids + n_uids, static_cast<uint32_t>(uid)) != uids + n_uids ||
               std::find(gids, gids + n_gids, static_cast<uint32_t>(gid)) != gids + n_gids;
    };
    return !owner_rule(owner, group, mode, geteuid(), given);
}

static void raise_untrusted(const struct stat& st, const char* name)
{
    auto owner = static_cast<unsigned>(st.st_uid);
    if (st.st_uid == 0 || ids_trusted(st.st_uid, st.st_gid)) {
        char mode[16];
        std::snprintf(mode, sizeof(mode), "0o%03o", static_cast<unsigned>(st.st_mode & 07777));
        PyErr_Format(PyExc_MemoryError,
                     "The shared memory address '%s' is owned by user %u and writable by every "
                     "user (mode %s).",
                     name, owner, mode);
        return;
    }
    PyErr_Format(PyExc_MemoryError,
                 "The shared memory address '%s' is owned by user %u, not by this user.", name,
                 owner);
}

// The last refusal of this thread, until it is reported.
static thread_local struct stat refused_status;
static thread_local bool refusal_pending = false;

bool owner_allows(const struct stat& st)
{
    if (owner_trusted(st)) {
        return true;
    }
    refused_status = st;
    refusal_pending = true;
    errno = EPERM;
    return false;
}

bool raise_refused(const char* name)
{
    int why = errno;
    bool refused = refusal_pending && why == EPERM;
    refusal_pending = false;
    if (refused) {
        raise_untrusted(refused_status, name);
        return true;
    }
    // The kernel refused first (the object's mode keeps this user out): say whose it is when
    // that owner is not trusted either. This path only reports; nothing is opened.
    char path[PATH_MAX];
    struct stat st;
    if (why == EACCES && segment_path(name, path, sizeof(path)) && lstat(path, &st) == 0 &&
        !owner_trusted(st)) {
        raise_untrusted(st, name);
        return true;
    }
    errno = why;
    return false;
}

int check_taken_name(const char* path, const char* name)
{
    // The name itself is judged: a link planted under it is refused like any other object.
    struct stat st;
    if (lstat(path, &st) != 0) {
        return 0;
    }
    if (!check_segment_owner(st, name)) {
        return -1;
    }
    errno = EEXIST;
    return 1;
}

CreationMode::CreationMode(mode_t mode) : saved_(create_mode)
{
    create_mode = mode;
}

CreationMode::~CreationMode()
{
    create_mode = saved_;
}

Status prepare_new_segment(int fd)
{
    uint32_t group = trusted.create_gid.load(std::memory_order_relaxed);
    if (group != NO_GROUP && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(group)) != 0) {
        return failed(Step::GROUP);
    }
    if (fchmod(fd, create_mode) != 0) {
        return failed(Step::MODE);
    }
    return STATUS_OK;
}

bool parse_create_mode(PyObject* arg, mode_t* out)
{
    int overflow = 0;
    long mode = PyLong_AsLongAndOverflow(arg, &overflow);
    if (mode == -1 && PyErr_Occurred()) {
        return false;
    }
    // The owner must keep read and write: every operation maps the object read-write.
    if (overflow != 0 || mode < 0 || mode > 0777 || (mode & 0600) != 0600) {
        PyErr_SetString(PyExc_ValueError, msg::BAD_MODE);
        return false;
    }
    *out = static_cast<mode_t>(mode);
    return true;
}

static constexpr const char* TRUST_ARGUMENTS = msg::TRUST;

// Reads an iterable of ids into `out`. Returns the count, or -1 with an exception set.
static Py_ssize_t read_ids(PyObject* arg, uint32_t* out)
{
    if (arg == nullptr) {
        return 0;
    }
    PyRef items(PySequence_Fast(arg, TRUST_ARGUMENTS));
    if (!items) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, TRUST_ARGUMENTS);
        }
        return -1;
    }
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count > static_cast<Py_ssize_t>(MAX_TRUSTED)) {
        PyErr_Format(PyExc_ValueError, "At most %d users and %d groups can be trusted.",
                     static_cast<int>(MAX_TRUSTED), static_cast<int>(MAX_TRUSTED));
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        // (uid_t)-1 means "no change" to the system, never an owner.
        unsigned long id =
            PyLong_Check(item) && !PyBool_Check(item) ? PyLong_AsUnsignedLong(item) : ULONG_MAX;
        if (id >= NO_GROUP) {
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) {
                return -1;
            }
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, TRUST_ARGUMENTS);
            return -1;
        }
        out[i] = static_cast<uint32_t>(id);
    }
    return count;
}

static bool member_of(gid_t group)
{
    if (geteuid() == 0 || getegid() == group) {
        return true;
    }
    int count = getgroups(0, nullptr);
    if (count <= 0) {
        return false;
    }
    // No allocation that can throw: this runs inside a CPython entry point.
    std::unique_ptr<gid_t[]> groups(new (std::nothrow) gid_t[static_cast<size_t>(count)]);
    if (!groups) {
        return false;
    }
    count = getgroups(count, groups.get());
    return count > 0 &&
           std::find(groups.get(), groups.get() + count, group) != groups.get() + count;
}

PyObject* trust_impl(PyObject* uids, PyObject* gids)
{
    uint32_t new_uids[MAX_TRUSTED];
    uint32_t new_gids[MAX_TRUSTED];
    Py_ssize_t n_uids = read_ids(uids, new_uids);
    if (n_uids < 0) {
        return nullptr;
    }
    Py_ssize_t n_gids = read_ids(gids, new_gids);
    if (n_gids < 0) {
        return nullptr;
    }
    uint32_t create_gid = NO_GROUP;
    for (Py_ssize_t i = 0; i < n_gids && create_gid == NO_GROUP; ++i) {
        if (member_of(static_cast<gid_t>(new_gids[i]))) {
            create_gid = new_gids[i];
        }
    }
    uint32_t seq = trusted.seq.load(std::memory_order_relaxed);
    trusted.seq.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (Py_ssize_t i = 0; i < n_uids; ++i) {
        trusted.uids[i].store(new_uids[i], std::memory_order_relaxed);
    }
    for (Py_ssize_t i = 0; i < n_gids; ++i) {
        trusted.gids[i].store(new_gids[i], std::memory_order_relaxed);
    }
    trusted.n_uids.store(static_cast<uint32_t>(n_uids), std::memory_order_relaxed);
    trusted.n_gids.store(static_cast<uint32_t>(n_gids), std::memory_order_relaxed);
    trusted.create_gid.store(create_gid, std::memory_order_relaxed);
    trusted.seq.store(seq + 2, std::memory_order_release);
    Py_RETURN_NONE;
}

} // namespace tw
