#pragma once
#include "tidewell/segment_object.hpp"

#include <sys/types.h>

// Whether the other party of a call is still there, and whether a name still refers to the
// object a process holds open. No Python API: these run with the GIL released.
namespace tw {

// False once the process is gone or a zombie (a killed child stays one until its parent reaps
// it, and kill() still finds it).
bool process_alive(pid_t pid);

// The identity of the object open as `fd`. False when fstat fails.
bool object_of(int fd, ObjectId& id);

// Whether segment `name` still refers to the object `id`.
bool name_refers_to(const char* name, const ObjectId& id);

// Unlinks `name` only while it still refers to `id`: after a remove_memory the name may already
// belong to someone else's new segment. Linux has no unlink-if-same, so a name removed and
// created again between the check and the unlink (microseconds) would still be lost; every
// tidewell creation takes a new inode, and nobody but a remover races here.
void unlink_if_same(const char* name, const ObjectId& id);

} // namespace tw
