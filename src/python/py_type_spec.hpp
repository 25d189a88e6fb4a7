// Creation of the module's two type objects, once per process, from a type spec.
#pragma once

#include "python/py_ref.hpp"

namespace quarvex {

// Returns the cached type, creating it from `spec` on first use. If the interpreter
// refuses, its error is printed and the call panics with
// "An error occurred while initializing class NAME".
PyTypeObject* cached_type(PyTypeObject*& cache, PyType_Spec& spec, const char* class_name);

}  // namespace quarvex
