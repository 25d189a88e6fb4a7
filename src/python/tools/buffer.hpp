// Arrays across the boundary of quarvex_tools._native_ext without numpy's C API: arguments
// are read through the buffer protocol (C-contiguous, one item type, a checked shape) and
// results are new bytearrays, filled in place, that the Python side wraps with
// numpy.frombuffer. Every array that crosses is a copy; nothing points into a model.
#pragma once

#include "python/py_errors.hpp"
#include "python/py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>

namespace quarvex {

enum class Item { f64, i32, i64 };

// An argument's buffer, held from construction to destruction. The constructor reads
// argument `name` as a C-contiguous array of one of the `accepted` item types with `ndim`
// dimensions and, for two, `width` columns; a non-buffer or another item type raises
// TypeError, another shape ValueError, each message starting "argument 'NAME': " and the
// shape message naming `shape_text` ("(n, 3)").
class ArrayArg {
  public:
    ArrayArg(const char* name, PyObject* object, std::initializer_list<Item> accepted, int ndim, Py_ssize_t width,
             const char* shape_text);
    ArrayArg(const ArrayArg&) = delete;
    ArrayArg& operator=(const ArrayArg&) = delete;
    ~ArrayArg() { PyBuffer_Release(&view_); }

    Item item() const { return item_; }
    std::size_t rows() const { return static_cast<std::size_t>(view_.shape[0]); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
    // The items as T, which must be the type of item().
    template <class T>
    std::span<const T> items() const {
        return {static_cast<const T*>(view_.buf), size()};
    }

  private:
    Py_buffer view_{};
    Item item_ = Item::f64;
};

// A new bytearray holding `count` uninitialised items of T, and a span over them.
template <class T>
struct NewArray {
    PyRef object;
    std::span<T> items;
};

PyRef new_bytearray(std::size_t bytes);

template <class T>
NewArray<T> new_array(std::size_t count) {
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
        PyErr_NoMemory();
        throw PythonError{};
    }
    PyRef object = new_bytearray(count * sizeof(T));
    T* data = reinterpret_cast<T*>(PyByteArray_AS_STRING(object.get()));
    return {std::move(object), std::span<T>(data, count)};
}

// A new bytearray holding a copy of the items.
template <class T>
PyRef bytearray_copy(std::span<const T> values) {
    NewArray<T> copy = new_array<T>(values.size());
    if (!values.empty()) std::memcpy(copy.items.data(), values.data(), values.size_bytes());
    return std::move(copy.object);
}

}  // namespace quarvex
