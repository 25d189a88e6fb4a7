// The Python class Arena: a thin wrapper whose payload is the Arena record.
#pragma once

#include "expr/arena.hpp"
#include "python/py_ref.hpp"

namespace quarvex {

// The type object, created on first use; panics if the interpreter refuses to create it.
PyTypeObject* arena_type();

// The "arena copy" conversion: a deep copy of an Arena argument's record.
Arena to_arena_copy(PyObject* object);

}  // namespace quarvex
