// Initialisation of quarvex_tools._native_ext, the second module of this shared object:
// PyInit__native_ext builds it from the function table below. Loaded from the file that
// holds quarvex, it shares that module's core, worker pool and Nexus type.
#include "base/bary.hpp"
#include "base/interrupt.hpp"
#include "base/tet.hpp"
#include "lacc/pool.hpp"
#include "python/tools/tools.hpp"

namespace quarvex {
namespace {

PyObject* tools_worker_count(PyObject*, PyObject*) {
    return run_frame([] { return from_u64(worker_count()); });
}

// A tuple of the items, each a new reference.
template <std::size_t N>
PyRef tuple_of(std::array<PyRef, N> items) {
    PyRef tuple = checked_result(PyTuple_New(static_cast<Py_ssize_t>(N)));
    for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return tuple;
}

// The element's tables as the kernels use them, so that the package's numpy side reads the
// same numbers: ((xi1, xi2, xi3) of each quadrature point, their weights, the edge vertices).
PyObject* tools_element_tables(PyObject*, PyObject*) {
    return run_frame([] {
        std::vector<double> coordinates, weights(QUAD_WEIGHTS.begin(), QUAD_WEIGHTS.end()), edges;
        for (const auto& xi : kQuadXi) coordinates.insert(coordinates.end(), xi.begin(), xi.end());
        for (const auto& edge : kEdgeVertices) edges.insert(edges.end(), {double(edge[0]), double(edge[1])});
        return tuple_of<3>({float_list(coordinates), float_list(weights), float_list(edges)});
    });
}

#define QUARVEX_FAST(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef tools_functions[] = {
    {"get_vector", QUARVEX_FAST(tools_get_vector), kFast,
     "get_vector(model, name) -> bytearray: a float64 copy of 'sol', 'rhs' or 'bc'."},
    {"set_vector", QUARVEX_FAST(tools_set_vector), kFast,
     "set_vector(model, name, values): overwrite 'sol' or 'rhs' with a float64 array of its length."},
    {"matrix_structure", QUARVEX_FAST(tools_matrix_structure), kFast,
     "matrix_structure(model) -> (rows, indptr, indices, itemsize): CSR structure of the free-free matrix."},
    {"matrix_values", QUARVEX_FAST(tools_matrix_values), kFast,
     "matrix_values(model) -> bytearray: the float64 values in the order of matrix_structure."},
    {"pattern_version", QUARVEX_FAST(tools_pattern_version), kFast,
     "pattern_version(model) -> int: a stamp that changes whenever set_solver rebuilds the structure."},
    {"nexus_from_arrays", QUARVEX_FAST(tools_nexus_from_arrays), kFast,
     "nexus_from_arrays(pts, tets) -> Nexus: Nexus(pts, tets) from float64 (n, 3) and int32/int64 (m, 4) arrays."},
    {"set_dof_arrays", QUARVEX_FAST(tools_set_dof_arrays), kFast,
     "set_dof_arrays(model, vertex_ids, vertex_ranges, edge_keys, edge_ranges): set_dof from int32 arrays."},
    {"solve", QUARVEX_FAST(tools_solve), kFast,
     "solve(model, rtol, atol, maxiter, history) -> (iterations, residual_norm, rhs_norm, converged, history,"
     " stalled);"
     " maxiter None allows 10 steps per unknown."},
    {"constrain", QUARVEX_FAST(tools_constrain), kFast,
     "constrain(model, unknowns, values, frame_first, frames) -> (row_first, cols, vals, loads): turns the node"
     " frames, eliminates the constrained unknowns in place and returns their rows as they were before."},
    {"add_matrix_entries", QUARVEX_FAST(tools_add_matrix_entries), kFast,
     "add_matrix_entries(model, rows, cols, values): adds float64 values to entries of the matrix's structure."},
    {"assemble_curved", QUARVEX_FAST(tools_assemble_curved), kFast,
     "assemble_curved(model, elements, edge_points): Nexus.assemble with the isoparametric kernel for the"
     " elements (c,) int64 whose edge nodes lie at edge_points (c, 18) float64 (six points in local edge order)."},
    {"amg_setup", QUARVEX_FAST(tools_amg_setup), kFast,
     "amg_setup(model, frame_first, frames) -> Multigrid: a smoothed-aggregation hierarchy for the model's"
     " matrix (rigid-body modes, turned into the node frames, zero on constrained unknowns)."},
    {"amg_refresh", QUARVEX_FAST(tools_amg_refresh), kFast,
     "amg_refresh(model, multigrid): new values for a reassembled matrix of the same structure."},
    {"amg_solve", QUARVEX_FAST(tools_amg_solve), kFast,
     "amg_solve(model, multigrid, rtol, atol, maxiter, history) -> the tuple of solve(), preconditioned by multigrid."},
    {"amg_solve_many", QUARVEX_FAST(tools_amg_solve_many), kFast,
     "amg_solve_many(model, multigrid, loads, rtol, atol, maxiter, history) -> (solutions, [tuple of solve() per "
     "load]): the loads (k, n) solved together, each from the model's solution; solutions a bytearray of k n "
     "float64."},
    // Multigrid over a CSR matrix of its own (matrix_multigrid.cpp).
    {"amg_setup_csr", QUARVEX_FAST(tools_amg_setup_csr), kFast,
     "amg_setup_csr(indptr, indices, values, node_points, smoother_degree) -> MatrixMultigrid: a smoothed-aggregation"
     " hierarchy for a copy of the square CSR matrix (columns increasing in each row) whose unknowns 3 i, 3 i + 1,"
     " 3 i + 2 are x, y, z of node i at node_points[i] ((n / 3, 3) float64), with their rigid-body modes; the"
     " smoothers are Chebyshev polynomials of degree smoother_degree (1 .. 16)."},
    {"amg_apply_csr", QUARVEX_FAST(tools_amg_apply_csr), kFast,
     "amg_apply_csr(multigrid, r, z): z = M r, one V-cycle from z = 0 (a fixed symmetric operator); r and z"
     " (n,) float64, z written in place."},
    {"plot_dom_arrays", QUARVEX_FAST(tools_plot_dom_arrays), kFast,
     "plot_dom_arrays(model) -> (keys, points): Nexus.plot_dom as int32 (i, j) pairs and float64 (start, end)"
     " points, in the dict's order."},
    {"plot_disp_arrays", QUARVEX_FAST(tools_plot_disp_arrays), kFast,
     "plot_disp_arrays(model) -> (keys, points): Nexus.plot_disp as int32 (i, j) pairs and float64 (start,"
     " midpoint, end) points, in the dict's order."},
    {"worker_count", tools_worker_count, METH_NOARGS, "worker_count() -> int: threads of the shared worker pool."},
    {"element_tables", tools_element_tables, METH_NOARGS,
     "element_tables() -> (points, weights, edges): the kernels' 14 quadrature points (xi1, xi2, xi3) and weights"
     " (summing to 1/6) and the vertex pairs of the six edge nodes, as flat lists of floats."},
    {nullptr, nullptr, 0, nullptr},
};
#undef QUARVEX_FAST

PyModuleDef tools_module_def = {
    PyModuleDef_HEAD_INIT,
    "quarvex_tools._native_ext",
    "Array access to quarvex models: system export, array fast paths, plot data and a reporting solver.",
    0,  // no per-module state
    tools_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_tools_module() noexcept {
    return run_frame([] {
        PyRef module{PyModule_Create(&tools_module_def)};
        if (!module) throw PythonError{};
        // AddObjectRef takes a reference of its own: the type stays borrowed here.
        if (PyModule_AddObjectRef(module.get(), "Multigrid", reinterpret_cast<PyObject*>(multigrid_type())) != 0) {
            throw PythonError{};
        }
        set_interrupt_hook(check_signals);  // as quarvex's init does, whichever runs first
        return module;
    });
}

}  // namespace
}  // namespace quarvex

PyMODINIT_FUNC PyInit__native_ext() {
    return quarvex::init_tools_module();
}
