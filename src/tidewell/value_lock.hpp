#pragma once
#include <Python.h>
#include <cstddef>
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_table.hpp"

// A value segment held under its lock across Python code, for read-modify-write, and by every
// read and write while it copies. Move-only; dropping it unlocks (through the mapping the mutex
// was locked through, which the pinned table reference keeps in place even when the data area
// is mapped again), leaves this thread's held set and unpins.
namespace tw {

struct BasicShm;

struct HeldValue {
    SegmentRef ref;
    BasicShm* locked_header = nullptr;
    ObjectId id{};
    size_t capacity = 0; // max_size as checked against the object under the lock
    const char* name = nullptr;
    bool header_lost = false; // truncated below the header while held: the mutex is gone

    HeldValue() = default;
    HeldValue(HeldValue&& other) noexcept;
    HeldValue& operator=(HeldValue&&) = delete;
    HeldValue(const HeldValue&) = delete;
    HeldValue& operator=(const HeldValue&) = delete;
    ~HeldValue();

    void unlock() noexcept;
    BasicShm* header() const;
    unsigned char* data() const;
};

// Opens `name` (creating it unless `create` is False; NULL `create` means omitted) and locks it
// into `held`, waiting with the GIL released. A name this thread holds already is a
// RuntimeError. false with an exception set.
bool hold_value(const char* name, PyObject* create, HeldValue& held);

// hold_value for a mapping's key (created when missing), once it holds the lock of the object
// still published under the name. false with an exception set.
bool hold_key(const char* name, HeldValue& held);

// Removes a key held by hold_key that holds no value: an update that failed leaves no key behind.
void drop_unwritten_key(const HeldValue& held);

// The value stored now, as a new reference; `fallback` (a new reference to it) when the name
// holds none yet. NULL with the decoder's exception.
PyObject* held_value_read(const HeldValue& held, PyObject* fallback);

// Encodes `value` and stores it, growing the segment under the lock when it does not fit. false
// with an exception set (the encoder's, or a MemoryError), the stored value unchanged.
bool held_value_write(HeldValue& held, PyObject* value);

} // namespace tw
