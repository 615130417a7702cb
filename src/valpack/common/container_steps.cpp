// Container decoder steps, shared by both protocols: list, tuple, set, frozenset, dict, deque;
// and the cache of short dict keys.
#include "valpack/common/registry.hpp"
#include "valpack/common/steps.hpp"

using tw::PyRef;

namespace zeb2 {

PyObject* to_list_e(ByteData* bd)
{
    bd->offset += 1;
    return PyList_New(0);
}

PyObject* to_tuple_e(ByteData* bd)
{
    bd->offset += 1;
    return PyTuple_New(0);
}

PyObject* to_dict_e(ByteData* bd)
{
    bd->offset += 1;
    return PyDict_New();
}

// Floats, small ints and short strs, the bulk of most containers, are read without the
// dispatcher: only under protocol 2 and below the depth limit, where it would read them alike.
static inline PyObject* decode_item(ByteData* bd)
{
    if (bd->marker == PROTOCOL_2 && bd->offset < bd->max_offset && bd->depth < MAX_DECODE_DEPTH) {
        unsigned char code = bd->bytes[bd->offset];
        switch (code) {
        case 0x0C:
            return to_float_s(bd);
        case 0x05 ... 0x09:
            return to_int_gen(bd, static_cast<size_t>(code - 4));
        case 0x01:
            return to_str_gen(bd, 1);
        default:
            break;
        }
    }
    return bd->decode_item(bd);
}

// Decodes `count` values into a new list.
static PyObject* decode_list_items(ByteData* bd, size_t count)
{
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) {
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        PyObject* item = decode_item(bd);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* to_list_gen(ByteData* bd, size_t w)
{
    size_t count;
    if (!read_count(bd, w, 1, &count)) {
        return nullptr;
    }
    return decode_list_items(bd, count);
}

PyObject* to_tuple_gen(ByteData* bd, size_t w)
{
    size_t count;
    if (!read_count(bd, w, 1, &count)) {
        return nullptr;
    }
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) {
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        PyObject* item = decode_item(bd);
        if (item == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    untrack_if_atomic(tuple.get());
    return tuple.release();
}

// Short ASCII keys repeat across the dicts of one value (records, configs): decoding each one to
// the same str object saves the allocation and, since a str caches its hash, the hashing too.
constexpr size_t KEY_CACHE_SLOTS = 1024;
constexpr size_t KEY_CACHE_MAX_LEN = 32;
constexpr size_t KEY_CACHE_WORDS = KEY_CACHE_MAX_LEN / 8;

// A slot keeps its key's text as zero-padded words beside the str, so that a hit is decided by
// comparing words already loaded, without touching the str object.
struct KeySlot {
    PyObject* text;
    size_t length;
    uint64_t words[KEY_CACHE_WORDS];
};
static KeySlot key_cache[KEY_CACHE_SLOTS];
// Per position of a key in its dict (the first KEY_HINTS), the slot that served it last.
constexpr size_t KEY_HINTS = 32;
static uint16_t key_hints[KEY_HINTS];

void clear_key_cache()
{
    for (KeySlot& slot : key_cache) {
        Py_CLEAR(slot.text);
    }
}

// The `n` (at most eight) bytes at `p` as the low bytes of a word, the rest zero. A whole word
// is loaded and masked when `readable` bytes allow it: a short copy into a stack word would
// stall the load that follows it.
static inline uint64_t load_word(const unsigned char* p, size_t n, size_t readable)
{
    uint64_t word = 0;
    if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && readable >= 8) {
        std::memcpy(&word, p, 8);
        return n == 8 ? word : word & ((uint64_t{1} << (8 * n)) - 1);
    }
    for (size_t i = 0; i < n; ++i) {
        word |= static_cast<uint64_t>(p[i]) << (8 * i);
    }
    return word;
}

// A key written in the one-byte-length str form: returns the cached or a new str, or nullptr
// (with no exception) when the key is not a short ASCII text and takes the general path.
PyObject* decode_cached_key(ByteData* bd, size_t position)
{
    size_t at = bd->offset;
    if (bd->bytes[at] != 0x01 || bd->max_offset - at < 2) {
        return nullptr;
    }
    size_t n = bd->bytes[at + 1];
    if (n > KEY_CACHE_MAX_LEN || bd->max_offset - at - 2 < n) {
        return nullptr;
    }
    const unsigned char* text = bd->bytes + at + 2;
    // Eight bytes at a time: the last word is padded with zeros, and the length is mixed in so
    // that the padding cannot make two keys alike.
    size_t readable = bd->max_offset - at - 2;
    size_t count = (n + 7) / 8;
    uint64_t words[KEY_CACHE_WORDS];
    // Records repeat their keys in the same order: the slot that served this position last time
    // is tried first, by its words alone (they are ASCII, so equal words are an ASCII key).
    uint16_t* hint = position < KEY_HINTS ? &key_hints[position] : nullptr;
    if (hint != nullptr) {
        KeySlot& slot = key_cache[*hint];
        bool hit = slot.text != nullptr && slot.length == n;
        for (size_t i = 0; hit && i < count; ++i) {
            size_t from = 8 * i;
            hit = slot.words[i] ==
                  load_word(text + from, n - from < 8 ? n - from : 8, readable - from);
        }
        if (hit) {
            bd->offset = at + 2 + n;
            return Py_NewRef(slot.text);
        }
    }
    uint64_t hash = n;
    uint64_t seen = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t from = 8 * i;
        words[i] = load_word(text + from, n - from < 8 ? n - from : 8, readable - from);
        seen |= words[i];
        hash = (hash ^ words[i]) * 0x9E3779B97F4A7C15ULL;
        hash ^= hash >> 29;
    }
    if ((seen & 0x8080808080808080ULL) != 0) {
        return nullptr;
    }
    size_t index = hash % KEY_CACHE_SLOTS;
    if (hint != nullptr) {
        *hint = static_cast<uint16_t>(index);
    }
    KeySlot& slot = key_cache[index];
    bool hit = slot.text != nullptr && slot.length == n;
    for (size_t i = 0; hit && i < count; ++i) {
        hit = slot.words[i] == words[i];
    }
    if (!hit) {
        PyObject* fresh = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (fresh == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        std::memcpy(PyUnicode_1BYTE_DATA(fresh), text, n);
        Py_XSETREF(slot.text, fresh);
        slot.length = n;
        std::memcpy(slot.words, words, count * 8);
    }
    bd->offset = at + 2 + n;
    return Py_NewRef(slot.text);
}

// Decoded dicts are presized from their count, which read_count has checked against the bytes
// left, and capped so that a chain of nested dicts that announce more than they hold cannot
// reserve much before the input runs out.
constexpr size_t DICT_PRESIZE_CAP = 1024;

// A key or set item that cannot be hashed (a decoded list, say) is damage of the input.
__attribute__((cold)) static PyObject* raise_unhashable()
{
    return raise_damaged("Likely received an invalid bytes object: a dict key or set item is "
                         "unhashable.");
}

PyObject* decode_dict_pairs(ByteData* bd, size_t count)
{
    PyRef dict(_PyDict_NewPresized(
        static_cast<Py_ssize_t>(count < DICT_PRESIZE_CAP ? count : DICT_PRESIZE_CAP)));
    if (!dict) {
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        if (bd->offset >= bd->max_offset) {
            return raise_offset_error();
        }
        PyObject* cached = decode_cached_key(bd, i);
        PyRef key(cached != nullptr ? cached : bd->decode_item(bd));
        if (!key) {
            return nullptr;
        }
        PyRef item(decode_item(bd));
        if (!item) {
            return nullptr;
        }
        if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) {
            return raise_unhashable();
        }
    }
    return dict.release();
}

PyObject* to_dict_gen(ByteData* bd, size_t w)
{
    size_t count;
    if (!read_count(bd, w, 2, &count)) {
        return nullptr;
    }
    return decode_dict_pairs(bd, count);
}

// Builds a set, frozenset or deque from a list of its items.
static PyObject* build_iterable(PyObject* list, unsigned char empty)
{
    PyObject* set;
    switch (empty) {
    case 0x21:
        set = PySet_New(list);
        return set != nullptr ? set : raise_unhashable();
    case 0x30:
        set = PyFrozenSet_New(list);
        return set != nullptr ? set : raise_unhashable();
    case 0x49:
        return PyObject_CallOneArg(deque_cl, list);
    default:
        PyErr_SetString(PyExc_RuntimeError, "Unexpectedly received an invalid iterable character.");
        return nullptr;
    }
}

PyObject* to_iterable_e(ByteData* bd, unsigned char empty)
{
    bd->offset += 1;
    PyRef list(PyList_New(0));
    return list ? build_iterable(list.get(), empty) : nullptr;
}

PyObject* to_iterable_gen(ByteData* bd, size_t w, unsigned char empty)
{
    size_t count;
    if (!read_count(bd, w, 1, &count)) {
        return nullptr;
    }
    PyRef list(decode_list_items(bd, count));
    return list ? build_iterable(list.get(), empty) : nullptr;
}

} // namespace zeb2
