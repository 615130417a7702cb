// The encoder's output buffer: a bytes object that grows through one cold function.
#include "valpack/common/writer.hpp"

namespace zeb2 {

bool start_encoder(ValueData& vd, Py_ssize_t capacity)
{
    vd.max_size = capacity;
    vd.stack_bottom = stack_bottom();
    vd.out = PyBytes_FromStringAndSize(nullptr, capacity);
    if (vd.out == nullptr) {
        return false;
    }
    vd.bytes = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(vd.out));
    vd.bytes[0] = PROTOCOL_2;
    vd.offset = 1;
    return true;
}

constexpr Py_ssize_t GROWTH_SLACK = 128;

__attribute__((noinline, cold)) StatusCode grow_vd(ValueData* vd, Py_ssize_t jump)
{
    // Grow by at least half the capacity so that many small reservations stay linear overall.
    Py_ssize_t needed = vd->offset;
    if (jump < 0 || jump > PY_SSIZE_T_MAX - needed - GROWTH_SLACK) {
        return SC_NOMEMORY;
    }
    needed += jump + GROWTH_SLACK;
    Py_ssize_t grown = vd->max_size + vd->max_size / 2;
    Py_ssize_t new_size = grown > needed && vd->max_size < PY_SSIZE_T_MAX / 2 ? grown : needed;
    if (vd->target != nullptr) {
        unsigned char* grown_data = vd->target->grow(vd->target, static_cast<size_t>(vd->offset),
                                                     static_cast<size_t>(new_size));
        if (grown_data == nullptr) {
            return SC_NOMEMORY;
        }
        vd->bytes = grown_data;
        vd->max_size = static_cast<Py_ssize_t>(vd->target->capacity);
        return SC_SUCCESS;
    }
    // On failure the resize frees the object and leaves NULL behind; the status says why.
    if (_PyBytes_Resize(&vd->out, new_size) < 0) {
        PyErr_Clear();
        return SC_NOMEMORY;
    }
    vd->bytes = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(vd->out));
    vd->max_size = new_size;
    return SC_SUCCESS;
}

StatusCode write_E12D_sized(ValueData* vd, Py_ssize_t size, const void* payload,
                            unsigned char empty)
{
    int k = get_num_bytes(size);
    if (k == 0) {
        if (auto_resize_vd(vd, 1) != SC_SUCCESS) {
            return SC_NOMEMORY;
        }
        write_byte(vd, empty);
        return SC_SUCCESS;
    }
    // The D1 form needs one byte more, for its width.
    Py_ssize_t header = k <= 2 ? 1 + k : 2 + k;
    if (size > PY_SSIZE_T_MAX - header || auto_resize_vd(vd, header + size) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    if (k <= 2) {
        write_byte(vd, static_cast<unsigned char>(empty + k));
    }
    else {
        write_byte(vd, static_cast<unsigned char>(empty + 3));
        write_byte(vd, static_cast<unsigned char>(k));
    }
    write_size_bytes(vd, static_cast<uint64_t>(size), k);
    if (payload != nullptr) {
        std::memcpy(vd->bytes + vd->offset, payload, static_cast<size_t>(size));
        vd->offset += size;
    }
    return SC_SUCCESS;
}

} // namespace zeb2
