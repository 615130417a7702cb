#pragma once
#include <Python.h>

#define TW_EXPORT __attribute__((visibility("default")))

namespace tw {

// Owns one strong reference. Construction steals; get() borrows; release() hands the reference on.
class PyRef {
  public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept
    {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    static PyRef borrow(PyObject* obj) noexcept
    {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept
    {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset(PyObject* obj = nullptr) noexcept
    {
        PyObject* old = obj_;
        obj_ = obj;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    PyObject* obj_ = nullptr;
};

} // namespace tw
