// Argument binding: positional arguments match the parameters in declared order, then each
// keyword by name. Every parameter is positional-or-keyword and required. The binder writes
// every binding message ("Arena.add() missing 1 required positional argument: 'arg1'").
#pragma once

#include "python/py_errors.hpp"
#include "python/py_ref.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

namespace quarvex {

constexpr std::size_t kMaxParams = 7;

struct Signature {
    const char* function;  // "Arena.add()"
    std::array<const char*, kMaxParams> params;
    std::size_t count;

    constexpr Signature(const char* function_name, std::initializer_list<const char*> names)
        : function{function_name}, params{}, count{names.size()} {
        std::size_t i = 0;
        for (const char* name : names) params[i++] = name;
    }
};

// Borrowed references to the bound arguments, in parameter order.
struct BoundArgs {
    const Signature* signature;
    std::array<PyObject*, kMaxParams> values{};
};

// Vector-call arguments: args[0..nargs) positional, then one value per name in kwnames.
BoundArgs bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Classic arguments: a tuple and an optional dict of keywords (the constructor's form).
BoundArgs bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs);

// A parameter that binding reported as present was not found: an internal failure.
[[noreturn]] void missing_argument();

// Converts bound argument `index` with `convert`; a TypeError raised by the conversion gets
// the prefix "argument 'NAME': ".

template <class Convert>
auto convert_arg(const BoundArgs& bound, std::size_t index, Convert&& convert) {
    PyObject* value = bound.values[index];
    if (value == nullptr) missing_argument();
    try {
        return convert(value);
    } catch (const PythonError&) {
        prefix_type_error(std::string("argument '") + bound.signature->params[index] + "': ");
        throw;
    }
}

}  // namespace quarvex
