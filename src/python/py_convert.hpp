// Conversion of arguments from Python objects into the core's values and of results back.
// Each routine either returns the value or sets a Python exception and throws PythonError.
// Composite kinds (sequence, N-tuple, set, dict) are built from the element routines.
#pragma once

#include "python/py_errors.hpp"
#include "python/py_ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quarvex {

// "'list' object cannot be converted to 'PyTuple'", using the type's qualified name.
[[noreturn]] void raise_downcast(PyObject* object, const char* target);

// An internal failure (PanicException) with `text`.
[[noreturn]] void raise_internal(const char* text);

// Room to reserve for a container of `hint` items; refuses to trust a huge hint.
std::size_t capacity_hint(Py_ssize_t hint);

double to_f64(PyObject* object);
std::int32_t to_i32(PyObject* object);
std::uint64_t to_u64(PyObject* object);

// Sequence of T: anything passing the sequence check, read by iteration.
template <class Item>
auto to_sequence(PyObject* object, Item&& item) {
    using Value = decltype(item(object));
    if (PySequence_Check(object) == 0) raise_downcast(object, "Sequence");
    std::vector<Value> values;
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) PyErr_Clear();
    values.reserve(capacity_hint(length));
    PyRef iterator{PyObject_GetIter(object)};
    if (!iterator) throw PythonError{};
    while (PyRef element{PyIter_Next(iterator.get())}) values.push_back(item(element.get()));
    throw_if_python_error();
    return values;
}

// Exactly a tuple (or subclass) of length N.
template <std::size_t N, class Item>
auto to_tuple(PyObject* object, Item&& item) {
    using Value = decltype(item(object));
    if (PyTuple_Check(object) == 0) raise_downcast(object, "PyTuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(object);
    if (length != static_cast<Py_ssize_t>(N)) {
        raise_python(PyExc_ValueError, "Expected tuple of length " + std::to_string(N) + ", but got tuple of length " +
                                           std::to_string(length) + ".");
    }
    std::array<Value, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
        PyRef element = PyRef::borrow(PyTuple_GET_ITEM(object, static_cast<Py_ssize_t>(i)));
        values[i] = item(element.get());
    }
    return values;
}

// A set (or subclass; not a frozenset), walked in the set's own order into `Set`.
template <class Set, class Item>
Set to_set(PyObject* object, Item&& item) {
    if (PySet_Check(object) == 0) raise_downcast(object, "PySet");
    Set values;
    values.reserve(capacity_hint(PySet_Size(object)));
    // The set's own entries, whatever a subclass's __iter__ or __len__ would say.
    PyRef iterator{PySet_Type.tp_iter(object)};
    if (!iterator) throw PythonError{};
    while (PyRef element{PyIter_Next(iterator.get())}) values.insert(item(element.get()));
    throw_if_python_error();
    return values;
}

// A dict (or subclass), walked in the dict's order: key, then value, per item.
template <class Map, class Key, class Value>
Map to_dict(PyObject* object, Key&& key, Value&& value) {
    if (PyDict_Check(object) == 0) raise_downcast(object, "PyDict");
    Map values;
    const Py_ssize_t size = PyDict_Size(object);
    values.reserve(capacity_hint(size));
    Py_ssize_t position = 0;
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    while (PyDict_Next(object, &position, &borrowed_key, &borrowed_value)) {
        // Conversion may run Python code that changes the dict: hold both objects meanwhile.
        PyRef held_key = PyRef::borrow(borrowed_key);
        PyRef held_value = PyRef::borrow(borrowed_value);
        auto converted_key = key(held_key.get());
        auto converted_value = value(held_value.get());
        values.insert_or_assign(std::move(converted_key), std::move(converted_value));
        // As Python's own iteration does, refuse a dict that conversion grew or shrank.
        if (PyDict_Size(object) != size) raise_python(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    return values;
}

// Results.
PyRef none();
PyRef from_u64(std::uint64_t value);
PyRef from_f64(double value);
PyRef float_list(std::span<const double> values);  // a list of Python floats
PyRef from_i32(std::int32_t value);

}  // namespace quarvex
