// The system of a model as arrays: the vectors sol, rhs and bc as float64 copies (sol and
// rhs also written back from arrays of their current length), and the free-free matrix as
// CSR: its structure, its values and the stamp that tells when the structure changed.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "model/export.hpp"
#include "python/tools/buffer.hpp"
#include "python/tools/tools.hpp"

namespace quarvex {
namespace {

// The model vector called `name` (const for a read-only model); `writable` admits only sol and rhs.
template <class Model>
auto named_vector(Model& model, PyObject* name, bool writable) -> decltype(&model.sol) {
    if (PyUnicode_Check(name) == 0) raise_downcast(name, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) throw PythonError{};
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    if (text == "sol") return &model.sol;
    if (text == "rhs") return &model.rhs;
    if (text == "bc" && !writable) return &model.bc;
    raise_python(PyExc_ValueError, "vector '" + std::string(text) +
                                       (writable ? "' cannot be written: expected 'sol' or 'rhs'"
                                                 : "' is unknown: expected 'sol', 'rhs' or 'bc'"));
}

// (rows, indptr, indices, index item size) with Index-typed index arrays.
template <class Index>
PyRef structure_tuple(const SprMat& mat) {
    NewArray<Index> indptr = new_array<Index>(mat.rows + 1);
    NewArray<Index> indices = new_array<Index>(stored_count(mat));
    write_csr_structure(mat, indptr.items, indices.items);
    PyRef items[] = {from_u64(mat.rows), std::move(indptr.object), std::move(indices.object), from_u64(sizeof(Index))};
    PyRef tuple = checked_result(PyTuple_New(4));
    for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
    return tuple;
}

}  // namespace

constexpr Signature kGetVector{"get_vector()", {"model", "name"}};
PyObject* tools_get_vector(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(
        kGetVector, args, nargs, kwnames, [](const Nexus& model, const BoundArgs& bound) {
            const std::vector<double>* const values =
                convert_arg(bound, 1, [&](PyObject* name) { return named_vector(model, name, false); });
            return bytearray_copy<double>(*values);
        });
}

constexpr Signature kSetVector{"set_vector()", {"model", "name", "values"}};
PyObject* tools_set_vector(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::exclusive>(kSetVector, args, nargs, kwnames, [](Nexus& model, const BoundArgs& bound) {
        std::vector<double>& target =
            *convert_arg(bound, 1, [&](PyObject* name) { return named_vector(model, name, true); });
        const ArrayArg values("values", bound.values[2], {Item::f64}, 1, 0, "(n,)");
        if (values.size() != target.size()) {
            raise_python(PyExc_ValueError, "argument 'values': the vector has " + std::to_string(target.size()) +
                                               " entries but the array has " + std::to_string(values.size()));
        }
        if (!target.empty()) std::memcpy(target.data(), values.items<double>().data(), target.size() * sizeof(double));
        return none();
    });
}

constexpr Signature kMatrixStructure{"matrix_structure()", {"model"}};
PyObject* tools_matrix_structure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(
        kMatrixStructure, args, nargs, kwnames, [](const Nexus& model, const BoundArgs&) {
            constexpr std::size_t kInt32Entries = std::size_t{1} << 31;  // row pointers up to nnz must fit
            return stored_count(model.mat) < kInt32Entries ? structure_tuple<std::int32_t>(model.mat)
                                                           : structure_tuple<std::int64_t>(model.mat);
        });
}

constexpr Signature kMatrixValues{"matrix_values()", {"model"}};
PyObject* tools_matrix_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(kMatrixValues, args, nargs, kwnames, [](const Nexus& model, const BoundArgs&) {
        NewArray<double> values = new_array<double>(stored_count(model.mat));
        copy_values(model.mat, values.items);
        return std::move(values.object);
    });
}

constexpr Signature kPatternVersion{"pattern_version()", {"model"}};
PyObject* tools_pattern_version(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(
        kPatternVersion, args, nargs, kwnames,
        [](const Nexus& model, const BoundArgs&) { return from_u64(model.pattern_version); });
}

}  // namespace quarvex
