// Failures at the Python boundary. A Python exception is always set in the interpreter
// first and then carried through C++ as `PythonError`; internal failures travel as Panic.
// raise_current is the one place that turns whatever was thrown into a Python exception.
#pragma once

#include "python/py_ref.hpp"

#include <exception>
#include <string>

namespace quarvex {

// Thrown after a Python exception has been set in the interpreter.
struct PythonError {};

// Sets `type` with `text` and throws PythonError.
[[noreturn]] void raise_python(PyObject* type, const std::string& text);

// Throws PythonError if the interpreter has an exception set, else returns.
void throw_if_python_error();

// Issues `text` as a RuntimeWarning; a warning turned into an error throws PythonError.
void warn_runtime(const std::string& text);

// The core's interrupt hook: runs the interpreter's signal handlers on the calling thread, so
// Ctrl-C raises KeyboardInterrupt there (thrown on as PythonError).
void check_signals();

// Checks a new reference returned by the interpreter while building a result. A failure
// keeps a MemoryError as it is; any other error is printed and becomes an internal failure.
PyRef checked_result(PyObject* object);

// The PanicException class, created on first need (nullptr if that failed, error set).
PyObject* panic_exception_type();

// Sets the Python exception for the failure that was thrown. Never throws.
void raise_current(std::exception_ptr failure) noexcept;

// If the pending exception is exactly a TypeError, replaces it by a TypeError whose text
// is prefix + its own text. Other exceptions are left as they are.
void prefix_type_error(const std::string& prefix) noexcept;

}  // namespace quarvex
