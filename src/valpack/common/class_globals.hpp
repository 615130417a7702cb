#pragma once
#include <Python.h>
#include "common/py_ref.hpp"

// The standard-library classes the codec writes and rebuilds, filled by zeb2_init. Read-only
// once filled; read by the encoder and by both decoders.
extern "C" {
TW_EXPORT extern PyObject* datetime_dt;
TW_EXPORT extern PyObject* datetime_d;
TW_EXPORT extern PyObject* datetime_t;
TW_EXPORT extern PyObject* uuid_cl;
TW_EXPORT extern PyObject* decimal_cl;
TW_EXPORT extern PyObject* namedtuple_cl;
TW_EXPORT extern PyObject* deque_cl;
TW_EXPORT extern PyObject* counter_cl;
TW_EXPORT extern PyObject* ordereddict_cl;
TW_EXPORT extern PyObject* chainmap_cl;
TW_EXPORT extern PyObject* path_cl;
TW_EXPORT extern PyObject* purepath_cl;
}
