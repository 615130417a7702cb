#pragma once
#include <Python.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <atomic>

// Who may have made an object this process opens, and what new objects are made with.
//
// Names live in one directory shared by every user of the host, so anyone can create a name
// first and wait for a victim to write secrets into it or to call it. An object is therefore
// opened only when it belongs to this user (whatever its mode: it may come from an older
// version or a umask of 0), or when it belongs to root, a trusted user or a trusted group and
// is not writable by every user. The decision reads the status of the descriptor that the
// operation goes on to use, so the object checked is the object used.
namespace tw {

// Mode of a new object unless its creator asks for another: owner only.
constexpr mode_t DEFAULT_CREATE_MODE = 0600;

// The effective uid as last read. Refreshed whenever an object would be refused, so a process
// that changed its uid (a daemon dropping root) is judged as who it is now, at no cost for the
// common case of its own objects.
extern std::atomic<uid_t> seen_euid;

bool owner_trusted_slow(const struct stat& st);

// Whether an object with this status may be opened. Costs one compare for our own objects;
// root's world-writable ones take the slow path, which tells a process that has left root.
inline bool owner_trusted(const struct stat& st)
{
    uid_t me = seen_euid.load(std::memory_order_relaxed);
    if (st.st_uid == me && (me != 0 || (st.st_mode & S_IWOTH) == 0)) {
        return true;
    }
    return owner_trusted_slow(st);
}

// Sets MemoryError saying why an object with this status is refused.
void raise_untrusted(const struct stat& st, const char* name);

// The check for an open path: true, or false with MemoryError set.
inline bool check_segment_owner(const struct stat& st, const char* name)
{
    if (owner_trusted(st)) {
        return true;
    }
    raise_untrusted(st, name);
    return false;
}

// For code that reports failures through errno (the segment table): true, or false with errno
// = EPERM, the status kept (per thread) for raise_refused.
bool owner_allows(const struct stat& st);

// After an open through such code failed: when it failed because owner_allows refused the
// object, sets MemoryError naming the owner and returns true; otherwise sets nothing.
bool raise_refused(const char* name);

// For creation, whether `path` is taken: 0 free, 1 held by an object that may be reported as
// simply existing (errno = EEXIST), -1 held by one that is refused (MemoryError set).
int check_taken_name(const char* path, const char* name);

// The mode that objects created by the calling thread get, for the duration of one module call.
// It travels beside the call like the umask does, so the segment code that creates needs no
// new parameter.
class CreationMode {
  public:
    explicit CreationMode(mode_t mode);
    ~CreationMode();
    CreationMode(const CreationMode&) = delete;
    CreationMode& operator=(const CreationMode&) = delete;

  private:
    mode_t saved_;
};

// Gives a new, not yet published object its exact mode (the umask does not apply) and, when the
// process trusts a group it belongs to, that group. Returns nullptr, or the MemoryError message
// (one %s for the name).
const char* prepare_new_segment(int fd);

// Reads a `mode=` argument: true with `*out` set, or false with ValueError set.
bool parse_create_mode(PyObject* arg, mode_t* out);

// `trust(uids=(), gids=())`: replaces the trusted users and groups. New reference or NULL.
PyObject* trust_impl(PyObject* uids, PyObject* gids);

} // namespace tw
