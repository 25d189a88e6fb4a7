#include "python/py_type_spec.hpp"

#include <string>

#include "base/failure.hpp"

namespace quarvex {

PyTypeObject* cached_type(PyTypeObject*& cache, PyType_Spec& spec, const char* class_name) {
    if (cache == nullptr) {
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) {
            PyErr_Print();
            panic(std::string("An error occurred while initializing class ") + class_name);
        }
        cache = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    }
    return cache;
}

}  // namespace quarvex
