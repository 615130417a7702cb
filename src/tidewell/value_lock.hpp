#pragma once
#include <Python.h>
#include <cstddef>

// A value segment held under its lock across Python code, for read-modify-write. The record is
// private to value_segment.cpp; these functions are the whole interface.
namespace tw {

struct HeldValue;

// Opens `name` (creating it unless `create` is False; NULL `create` means omitted) and locks it,
// waiting with the GIL released. A name this thread holds already is a RuntimeError. NULL with
// an exception set.
HeldValue* hold_value(const char* name, PyObject* create);

// hold_value for a mapping's key (created when missing), once it holds the lock of the object
// still published under the name.
HeldValue* hold_key(const char* name);

// Removes a key held by hold_key that holds no value: an update that failed leaves no key behind.
void drop_unwritten_key(HeldValue* held);

// The value stored now, as a new reference; `fallback` (a new reference to it) when the name
// holds none yet. NULL with the decoder's exception.
PyObject* held_value_read(HeldValue* held, PyObject* fallback);

// Encodes `value` and stores it, growing the segment under the lock when it does not fit. false
// with an exception set (the encoder's, or a MemoryError), the stored value unchanged.
bool held_value_write(HeldValue* held, PyObject* value);

// Unlocks and unpins. Accepts NULL.
void release_value(HeldValue* held);

} // namespace tw
