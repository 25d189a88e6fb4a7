// The array forms of Nexus(pts, tets) and set_dof: numpy arrays (any C-contiguous buffer)
// instead of lists and dicts, with the same checks and failure texts. Values outside the
// 32-bit range raise the OverflowError of the integer conversion; everything else is the
// model operation itself.
#include <limits>
#include <string>
#include <vector>

#include "model/arrays.hpp"
#include "model/dofs.hpp"
#include "model/mesh.hpp"
#include "python/tools/buffer.hpp"
#include "python/tools/tools.hpp"

namespace quarvex {
namespace {

// The overflow of to_i32, for the first value that does not fit.
void check_i32_range(std::span<const std::int64_t> values) {
    const std::size_t position = first_outside_i32(values);
    if (position == values.size()) return;
    raise_python(PyExc_OverflowError, values[position] > 0
                                          ? "Python int too large to convert to a 32-bit signed integer"
                                          : "Python int too small to convert to a 32-bit signed integer");
}

std::vector<TetKey> tet_keys(const ArrayArg& tets) {
    if (tets.item() == Item::i32) return tet_keys_from_rows(tets.items<std::int32_t>());
    check_i32_range(tets.items<std::int64_t>());
    return tet_keys_from_rows(tets.items<std::int64_t>());
}

}  // namespace

constexpr Signature kNexusFromArrays{"nexus_from_arrays()", {"pts", "tets"}};
PyObject* tools_nexus_from_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_frame([&] {
        const BoundArgs bound = bind_arguments(kNexusFromArrays, args, nargs, kwnames);
        std::vector<Point> pts;
        {
            const ArrayArg coords("pts", bound.values[0], {Item::f64}, 2, 3, "(n, 3)");
            pts = points_from_rows(coords.items<double>());
        }
        std::vector<TetKey> tets;
        {
            const ArrayArg indices("tets", bound.values[1], {Item::i32, Item::i64}, 2, 4, "(m, 4)");
            tets = tet_keys(indices);
        }
        return new_instance(nexus_type(), make_nexus(pts, tets));
    });
}

constexpr Signature kSetDofArrays{"set_dof_arrays()",
                                  {"model", "vertex_ids", "vertex_ranges", "edge_keys", "edge_ranges"}};
PyObject* tools_set_dof_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::exclusive>(
        kSetDofArrays, args, nargs, kwnames, [](Nexus& model, const BoundArgs& bound) {
            const ArrayArg vertex_ids("vertex_ids", bound.values[1], {Item::i32}, 1, 0, "(k,)");
            const ArrayArg vertex_ranges("vertex_ranges", bound.values[2], {Item::i32}, 2, 2, "(k, 2)");
            const ArrayArg edge_keys("edge_keys", bound.values[3], {Item::i32}, 2, 2, "(e, 2)");
            const ArrayArg edge_ranges("edge_ranges", bound.values[4], {Item::i32}, 2, 2, "(e, 2)");
            if (vertex_ranges.rows() != vertex_ids.rows()) {
                raise_python(PyExc_ValueError, "argument 'vertex_ranges': " + std::to_string(vertex_ranges.rows()) +
                                                   " ranges for " + std::to_string(vertex_ids.rows()) + " vertices");
            }
            if (edge_ranges.rows() != edge_keys.rows()) {
                raise_python(PyExc_ValueError, "argument 'edge_ranges': " + std::to_string(edge_ranges.rows()) +
                                                   " ranges for " + std::to_string(edge_keys.rows()) + " edges");
            }
            const VertexDofMap ver_dof =
                vertex_dof_map(vertex_ids.items<std::int32_t>(), vertex_ranges.items<std::int32_t>());
            const EdgeDofMap edge_dof =
                edge_dof_map(edge_keys.items<std::int32_t>(), edge_ranges.items<std::int32_t>());
            set_dof(model, ver_dof, edge_dof);
            return none();
        });
}

}  // namespace quarvex
