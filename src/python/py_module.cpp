// Module initialisation: creates the module `quarvex` with the classes Arena and Nexus and
// __all__ == ["Arena", "Nexus"].
#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "python/py_arena.hpp"
#include "python/py_call.hpp"
#include "python/py_errors.hpp"
#include "python/py_nexus.hpp"

namespace quarvex {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quarvex",
    "",       // docstring: the empty string
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to the module's __all__ (creating it if missing) and sets the attribute.
void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    PyRef all{PyObject_GetAttrString(module, "__all__")};
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = PyRef{PyList_New(0)};
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw PythonError{};
    }
    PyRef text{PyUnicode_FromString(name)};
    if (!text) throw PythonError{};
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) != 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) != 0) throw PythonError{};
}

PyObject* init_module() noexcept {
    return run_frame([] {
        PyRef module{PyModule_Create(&module_def)};
        if (!module) throw PythonError{};
        add_class(module.get(), "Arena", arena_type());
        add_class(module.get(), "Nexus", nexus_type());
        set_interrupt_hook(check_signals);  // long operations check for Ctrl-C between their steps
        return module;
    });
}

}  // namespace
}  // namespace quarvex

PyMODINIT_FUNC PyInit_quarvex() {
    return quarvex::init_module();
}
