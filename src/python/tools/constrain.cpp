// Supports in a model's assembled system: constrain(model, unknowns, values, frame_first,
// frames) turns the frames and eliminates the constrained unknowns in place, returning the
// rows it saved for the reactions; add_matrix_entries(model, rows, cols, values) adds to
// entries of the matrix's structure (elastic supports).
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "lacc/constrain.hpp"
#include "model/constraints.hpp"
#include "python/tools/buffer.hpp"
#include "python/tools/tools.hpp"

namespace quarvex {
namespace {

std::vector<std::uint64_t> unknown_numbers(const ArrayArg& numbers, const char* name) {
    std::vector<std::uint64_t> out;
    out.reserve(numbers.size());
    for (const std::int64_t number : numbers.items<std::int64_t>()) {
        if (number < 0)
            raise_python(PyExc_ValueError,
                         std::string("argument '") + name + "': negative unknown " + std::to_string(number));
        out.push_back(static_cast<std::uint64_t>(number));
    }
    return out;
}

}  // namespace

std::vector<NodeFrame> node_frames(const BoundArgs& bound, std::size_t first_index) {
    const ArrayArg first("frame_first", bound.values[first_index], {Item::i64}, 1, 0, "(k,)");
    const ArrayArg axes("frames", bound.values[first_index + 1], {Item::f64}, 2, 9, "(k, 9)");
    if (axes.rows() != first.rows()) {
        raise_python(PyExc_ValueError, "argument 'frames': " + std::to_string(axes.rows()) + " frames for " +
                                           std::to_string(first.rows()) + " first unknowns");
    }
    const std::vector<std::uint64_t> starts = unknown_numbers(first, "frame_first");
    std::vector<NodeFrame> frames(starts.size());
    const std::span<const double> values = axes.items<double>();
    for (std::size_t f = 0; f < frames.size(); ++f) {
        frames[f].first = starts[f];
        std::copy_n(values.data() + 9 * f, 9, frames[f].axes.begin());
    }
    return frames;
}

constexpr Signature kConstrain{"constrain()", {"model", "unknowns", "values", "frame_first", "frames"}};
PyObject* tools_constrain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::exclusive>(kConstrain, args, nargs, kwnames, [](Nexus& model, const BoundArgs& bound) {
        const ArrayArg unknowns("unknowns", bound.values[1], {Item::i64}, 1, 0, "(p,)");
        const ArrayArg values("values", bound.values[2], {Item::f64}, 1, 0, "(p,)");
        if (values.size() != unknowns.size()) {
            raise_python(PyExc_ValueError, "argument 'values': " + std::to_string(values.size()) + " values for " +
                                               std::to_string(unknowns.size()) + " unknowns");
        }
        const std::vector<NodeFrame> frames = node_frames(bound, 3);
        const SavedRows saved = constrain(model, unknown_numbers(unknowns, "unknowns"), values.items<double>(), frames);
        PyRef items[] = {bytearray_copy<std::uint64_t>(saved.row_first), bytearray_copy<std::int32_t>(saved.cols),
                         bytearray_copy<double>(saved.vals), bytearray_copy<double>(saved.loads)};
        PyRef tuple = checked_result(PyTuple_New(4));
        for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
        return tuple;
    });
}

constexpr Signature kAddMatrixEntries{"add_matrix_entries()", {"model", "rows", "cols", "values"}};
PyObject* tools_add_matrix_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::exclusive>(
        kAddMatrixEntries, args, nargs, kwnames, [](Nexus& model, const BoundArgs& bound) {
            const ArrayArg rows("rows", bound.values[1], {Item::i64}, 1, 0, "(k,)");
            const ArrayArg cols("cols", bound.values[2], {Item::i64}, 1, 0, "(k,)");
            const ArrayArg values("values", bound.values[3], {Item::f64}, 1, 0, "(k,)");
            if (cols.size() != rows.size() || values.size() != rows.size()) {
                raise_python(PyExc_ValueError, "argument 'values': " + std::to_string(rows.size()) + " rows, " +
                                                   std::to_string(cols.size()) + " columns and " +
                                                   std::to_string(values.size()) + " values");
            }
            add_entries(model.mat, unknown_numbers(rows, "rows"), unknown_numbers(cols, "cols"),
                        values.items<double>());
            return none();
        });
}

}  // namespace quarvex
