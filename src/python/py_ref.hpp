// PyRef owns one new reference: ~PyRef drops it, release() hands it to Python.
// Borrowed references stay plain PyObject*; no Py_DECREF appears outside this type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quarvex {

class PyRef {
  public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* owned) noexcept : object_{owned} {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_{std::exchange(other.object_, nullptr)} {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // A new reference to a borrowed object.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef{borrowed};
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

}  // namespace quarvex
