#include "python/py_errors.hpp"

#include <new>
#include <stdexcept>

#include "base/failure.hpp"

namespace quarvex {
namespace {

// The pending exception as (type, value), normalised; the interpreter is left clear.
struct FetchedError {
    PyRef type;
    PyRef value;
    PyRef traceback;
};

FetchedError fetch_error() noexcept {
    FetchedError fetched;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();
    if (raised != nullptr) {
        fetched.type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(raised)));
        fetched.value = PyRef{raised};
    }
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    fetched.type = PyRef{type};
    fetched.value = PyRef{value};
    fetched.traceback = PyRef{traceback};
#endif
    return fetched;
}

void restore_error(FetchedError fetched) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(fetched.value.release());
#else
    PyErr_Restore(fetched.type.release(), fetched.value.release(), fetched.traceback.release());
#endif
}

void set_panic(const std::string& text) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creating the class failed; that error stays set
    PyRef message{PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))};
    if (!message) return;
    PyErr_SetObject(type, message.get());
}

}  // namespace

void raise_python(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw PythonError{};
}

void throw_if_python_error() {
    if (PyErr_Occurred() != nullptr) throw PythonError{};
}

PyRef checked_result(PyObject* object) {
    if (object != nullptr) return PyRef{object};
    if (PyErr_Occurred() == nullptr || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        if (PyErr_Occurred() == nullptr) PyErr_NoMemory();
        throw PythonError{};
    }
    PyErr_Print();
    panic("Python API call failed");
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // created once per process, never released
    if (type == nullptr) type = PyErr_NewException("quarvex.PanicException", PyExc_BaseException, nullptr);
    return type;
}

void raise_current(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const PythonError&) {
        if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const Panic& failed) {
        set_panic(failed.text);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a container asked for more than any machine has
    } catch (const std::exception& failed) {
        set_panic(failed.what());
    } catch (...) {
        set_panic("unknown internal failure");
    }
}

void prefix_type_error(const std::string& prefix) noexcept {
    if (PyErr_Occurred() == nullptr) return;
    FetchedError fetched = fetch_error();
    if (fetched.type.get() != PyExc_TypeError) {
        restore_error(std::move(fetched));
        return;
    }
    PyRef text{PyObject_Str(fetched.value.get())};
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        restore_error(std::move(fetched));
        return;
    }
    try {
        const std::string message = prefix + std::string(utf8, static_cast<std::size_t>(size));
        PyErr_SetString(PyExc_TypeError, message.c_str());
    } catch (...) {
        PyErr_NoMemory();
    }
}

void warn_runtime(const std::string& text) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) throw PythonError{};
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw PythonError{};
}

}  // namespace quarvex
