#pragma once
#include <Python.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include "tidewell/segment_status.hpp"

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

// The check, on the status of the descriptor an open path goes on to use. Costs one load and one
// compare for this user's objects. True, or false with errno = EPERM and the status kept (per
// thread) for raise_refused: the segment table has no Python error state.
bool owner_allows(const struct stat& st);

// After an open through such code failed: when it failed because owner_allows refused the
// object, or because the kernel refused this user an object of an untrusted owner (EACCES),
// sets MemoryError naming the owner and returns true; otherwise sets nothing (errno kept).
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
// process trusts a group it belongs to, that group. OK, or GROUP / MODE with errno.
Status prepare_new_segment(int fd);

// The ownership rule without side effects, for reporting: whether an object with this owner,
// group and mode is refused by this process (its trust table), or, when `uids`/`gids` are given,
// by a process that trusts exactly those ids.
bool owner_refuses(const struct stat& st);
bool owner_refuses_given(uid_t owner, gid_t group, mode_t mode, const uint32_t* uids, size_t n_uids,
                         const uint32_t* gids, size_t n_gids);

// Reads a `mode=` argument: true with `*out` set, or false with ValueError set.
bool parse_create_mode(PyObject* arg, mode_t* out);

// `trust(uids=(), gids=())`: replaces the trusted users and groups. New reference or NULL.
PyObject* trust_impl(PyObject* uids, PyObject* gids);

} // namespace tw
