#include "python/py_bind.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "base/failure.hpp"

namespace quarvex {
namespace {

struct Keyword {
    PyObject* name;
    PyObject* value;
};

std::string quoted(const char* name) {
    return std::string("'") + name + "'";
}

std::string keyword_text(PyObject* name) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

// Index of the parameter called `name`, or count when none is.
std::size_t find_param(const Signature& signature, const std::string& name) {
    for (std::size_t i = 0; i < signature.count; ++i)
        if (name == signature.params[i]) return i;
    return signature.count;
}

BoundArgs bind(const Signature& signature, PyObject* const* positional, std::size_t npositional,
               const std::vector<Keyword>& keywords) {
    BoundArgs bound{&signature, {}};
    if (npositional <= signature.count && keywords.empty()) {  // the common case
        for (std::size_t i = 0; i < npositional; ++i) bound.values[i] = positional[i];
        if (npositional == signature.count) return bound;
    }
    if (npositional > signature.count) {
        raise_python(PyExc_TypeError, std::string(signature.function) + " takes " + std::to_string(signature.count) +
                                          " positional arguments but " + std::to_string(npositional) +
                                          (npositional == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < npositional; ++i) bound.values[i] = positional[i];
    for (const Keyword& keyword : keywords) {
        const std::string name = keyword_text(keyword.name);
        const std::size_t index = find_param(signature, name);
        if (index == signature.count) {
            raise_python(PyExc_TypeError,
                         std::string(signature.function) + " got an unexpected keyword argument '" + name + "'");
        }
        if (bound.values[index] != nullptr) {
            raise_python(PyExc_TypeError,
                         std::string(signature.function) + " got multiple values for argument '" + name + "'");
        }
        bound.values[index] = keyword.value;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.count; ++i)
        if (bound.values[i] == nullptr) missing.push_back(signature.params[i]);
    if (missing.empty()) return bound;

    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += (i + 1 == missing.size()) ? " and " : ", ";
        names += quoted(missing[i]);
    }
    raise_python(PyExc_TypeError, std::string(signature.function) + " missing " + std::to_string(missing.size()) +
                                      " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                                      names);
}

}  // namespace

BoundArgs bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const std::size_t npositional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    std::vector<Keyword> keywords;
    if (kwnames != nullptr) {
        const Py_ssize_t nkeywords = PyTuple_GET_SIZE(kwnames);
        keywords.reserve(static_cast<std::size_t>(nkeywords));
        for (Py_ssize_t i = 0; i < nkeywords; ++i)
            keywords.push_back(Keyword{PyTuple_GET_ITEM(kwnames, i), args[npositional + static_cast<std::size_t>(i)]});
    }
    return bind(signature, args, npositional, keywords);
}

BoundArgs bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs) {
    std::vector<Keyword> keywords;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) keywords.push_back(Keyword{name, value});
    }
    PyObject* const* positional = args != nullptr ? reinterpret_cast<PyTupleObject*>(args)->ob_item : nullptr;
    const std::size_t npositional = args != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
    return bind(signature, positional, npositional, keywords);
}

void missing_argument() {
    panic("Failed to extract required method argument");
}

}  // namespace quarvex
