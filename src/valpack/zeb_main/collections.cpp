// Protocol 2 collections family: namedtuple, Counter, OrderedDict, ChainMap. (Placeholder.)
#include "valpack/zeb_main/zeb_2_internal.hpp"

namespace zeb2 {

static PyObject* not_yet()
{
    PyErr_SetString(PyExc_ValueError, "Likely received an invalid bytes object: not supported yet.");
    return nullptr;
}

StatusCode from_namedtuple(ValueData*, PyObject*) { return SC_UNSUPPORTED; }
StatusCode from_counter(ValueData*, PyObject*) { return SC_UNSUPPORTED; }
StatusCode from_chainmap(ValueData*, PyObject*) { return SC_UNSUPPORTED; }
PyObject* to_namedtuple_e(ByteData*) { return not_yet(); }
PyObject* to_namedtuple_gen(ByteData*, size_t) { return not_yet(); }
PyObject* to_counter_e(ByteData*) { return not_yet(); }
PyObject* to_counter_gen(ByteData*, size_t) { return not_yet(); }
PyObject* to_ordereddict_e(ByteData*) { return not_yet(); }
PyObject* to_ordereddict_gen(ByteData*, size_t) { return not_yet(); }
PyObject* to_chainmap_e(ByteData*) { return not_yet(); }
PyObject* to_chainmap_gen(ByteData*, size_t) { return not_yet(); }

} // namespace zeb2
