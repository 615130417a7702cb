// Change detection for the dicts being written: any change to a dict's entries while its pairs
// are written, even one that keeps its size, fails the encoding, so the pairs written are always
// one state of the dict. Up to 3.11 the dict's version tag tells. The tag is deprecated from 3.12
// and gone in 3.14; there a dict watcher (public from 3.12) marks the dicts being written when
// they change.
#include "valpack/zeb_main/zeb_2_internal.hpp"

namespace zeb2 {

#if TW_DICT_WATCHERS

namespace {

int watcher_id = -1;
// Every guard alive in any thread, newest first. The GIL serialises all access; a guard is a
// stack object, so the list never allocates.
DictChangeGuard* guards = nullptr;

} // namespace

int dict_changed_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*)
{
    for (DictChangeGuard* guard = guards; guard != nullptr; guard = guard->next_) {
        if (guard->dict_ == dict) {
            guard->changed_ = true;
        }
    }
    return 0;
}

int init_dict_watch()
{
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(dict_changed_event);
    }
    return watcher_id < 0 ? -1 : 0;
}

void clear_dict_watch()
{
    if (watcher_id >= 0 && PyDict_ClearWatcher(watcher_id) == 0) {
        watcher_id = -1;
    }
    PyErr_Clear();
}

DictChangeGuard::DictChangeGuard(PyObject* dict) : dict_(dict), next_(guards)
{
    if (guards != nullptr) {
        guards->prev_ = this;
    }
    guards = this;
    // Watching a dict that is watched already (the same dict written further in, or by another
    // thread) only sets its bit again.
    if (PyDict_Watch(watcher_id, dict) < 0) {
        PyErr_Clear();
        changed_ = true; // cannot tell: refuse rather than risk a mixed state
    }
}

DictChangeGuard::~DictChangeGuard()
{
    (prev_ != nullptr ? prev_->next_ : guards) = next_;
    if (next_ != nullptr) {
        next_->prev_ = prev_;
    }
    for (DictChangeGuard* guard = guards; guard != nullptr; guard = guard->next_) {
        if (guard->dict_ == dict_) {
            return; // still being written elsewhere
        }
    }
    // Unwatching needs no exception state of its own: keep whatever is pending.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (PyDict_Unwatch(watcher_id, dict_) < 0) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

#else

int init_dict_watch()
{
    return 0;
}

void clear_dict_watch() {}

#endif

} // namespace zeb2
