// The Python class Nexus: a thin wrapper whose payload is the model record.
#pragma once

#include "python/py_ref.hpp"

namespace quarvex {

// The type object, created on first use; panics if the interpreter refuses to create it.
PyTypeObject* nexus_type();

}  // namespace quarvex
