#include "python/py_convert.hpp"

#include <algorithm>
#include <limits>

#include "base/failure.hpp"

namespace quarvex {

void raise_downcast(PyObject* object, const char* target) {
    std::string name = "?";
    PyRef qualname{PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__")};
    PyRef text{qualname ? PyObject_Str(qualname.get()) : nullptr};
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 != nullptr)
        name.assign(utf8, static_cast<std::size_t>(size));
    else
        PyErr_Clear();
    raise_python(PyExc_TypeError, "'" + name + "' object cannot be converted to '" + target + "'");
}

void raise_internal(const char* text) {
    panic(text);
}

std::size_t capacity_hint(Py_ssize_t hint) {
    constexpr Py_ssize_t kMostTrusted = Py_ssize_t{1} << 22;  // a larger list grows as it is read
    return static_cast<std::size_t>(std::clamp<Py_ssize_t>(hint, 0, kMostTrusted));
}

double to_f64(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) throw PythonError{};
    return value;
}

namespace {

// The value of an integer-like object: an exact int read as it is, anything else through
// __index__ (which is what an exact int's __index__ returns).
long index_value(PyObject* object) {
    if (PyLong_CheckExact(object)) return PyLong_AsLong(object);
    PyRef index{PyNumber_Index(object)};
    if (!index) throw PythonError{};
    return PyLong_AsLong(index.get());
}

}  // namespace

std::int32_t to_i32(PyObject* object) {
    const long value = index_value(object);
    if (value == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
    if (value > std::numeric_limits<std::int32_t>::max())
        raise_python(PyExc_OverflowError, "Python int too large to convert to a 32-bit signed integer");
    if (value < std::numeric_limits<std::int32_t>::min())
        raise_python(PyExc_OverflowError, "Python int too small to convert to a 32-bit signed integer");
    return static_cast<std::int32_t>(value);
}

std::uint64_t to_u64(PyObject* object) {
    PyRef index{PyNumber_Index(object)};
    if (!index) throw PythonError{};
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) throw PythonError{};
    return static_cast<std::uint64_t>(value);
}

PyRef none() {
    return PyRef::borrow(Py_None);
}

PyRef from_u64(std::uint64_t value) {
    return checked_result(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

PyRef from_f64(double value) {
    return checked_result(PyFloat_FromDouble(value));
}

PyRef float_list(std::span<const double> values) {
    PyRef list = checked_result(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), from_f64(values[i]).release());
    return list;
}

PyRef from_i32(std::int32_t value) {
    return checked_result(PyLong_FromLong(value));
}

}  // namespace quarvex
