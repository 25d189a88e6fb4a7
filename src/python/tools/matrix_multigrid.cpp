// Multigrid over a matrix given as CSR arrays rather than held by a model: the MatrixMultigrid
// class keeps its own copy of the matrix (in run format), the hierarchy built for it from the
// rigid-body modes of its nodes' points, and the cycle's work vectors. A distributed solve sets
// one up on each rank's diagonal block and applies one V-cycle per preconditioner call:
// amg_setup_csr(indptr, indices, values, node_points, smoother_degree) -> MatrixMultigrid and
// amg_apply_csr(multigrid, r, z), z = M r from z = 0 (a fixed symmetric operator).
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "amg/amg.hpp"
#include "amg/cycle.hpp"
#include "python/py_convert.hpp"
#include "python/py_type_spec.hpp"
#include "python/tools/buffer.hpp"
#include "python/tools/tools.hpp"

namespace quarvex {

// The payload: the matrix, the hierarchy built for it and the cycle's work vectors.
struct MatrixMultigrid {
    SprMat matrix;
    AmgHierarchy hierarchy;
    AmgWork work;
};

namespace {

using MatrixMultigridObject = Instance<MatrixMultigrid>;

PyObject* matrix_multigrid_stats(PyObject* self, PyObject*) {
    return call_method<Borrow::shared, MatrixMultigrid>(
        self, [](const MatrixMultigrid& multigrid) { return hierarchy_stats(multigrid.hierarchy); });
}

PyMethodDef matrix_multigrid_methods[] = {
    {"stats", matrix_multigrid_stats, METH_NOARGS,
     "stats() -> dict: unknowns ('rows') and stored values ('values') per level, and 'operator_complexity'."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot matrix_multigrid_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_methods, matrix_multigrid_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<MatrixMultigrid>)},
    {Py_tp_doc, const_cast<char*>("A multigrid hierarchy with its own copy of a CSR matrix, from amg_setup_csr().")},
    {0, nullptr},
};

PyType_Spec matrix_multigrid_spec = {
    "quarvex_tools._native_ext.MatrixMultigrid",
    static_cast<int>(sizeof(MatrixMultigridObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    matrix_multigrid_slots,
};

PyTypeObject* matrix_multigrid_type_cache = nullptr;

[[noreturn]] void refuse_csr(const std::string& text) {
    raise_python(PyExc_ValueError, "the CSR matrix " + text);
}

// Index item k of a 32- or 64-bit index array.
std::int64_t index_at(const ArrayArg& array, std::size_t k) {
    return array.item() == Item::i32 ? array.items<std::int32_t>()[k] : array.items<std::int64_t>()[k];
}

// The run-format copy of a square CSR matrix whose rows list their columns in increasing order:
// a run is a stretch of consecutive columns, and the runs of all rows lie in one list closed by
// the sentinel, as the assembled matrices' (lacc/spr.hpp).
SprMat run_matrix(const ArrayArg& indptr, const ArrayArg& indices, const ArrayArg& values) {
    const std::size_t rows = indptr.size() - 1;
    const std::size_t stored = indices.size();
    if (values.size() != stored)
        refuse_csr("has " + std::to_string(stored) + " column indices but " + std::to_string(values.size()) +
                   " values");
    if (index_at(indptr, 0) != 0 || index_at(indptr, rows) != static_cast<std::int64_t>(stored))
        refuse_csr("row pointers must run from 0 to the " + std::to_string(stored) + " stored values");
    if (rows >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
        stored >= static_cast<std::size_t>(std::numeric_limits<std::uint32_t>::max()))
        refuse_csr("is too large: " + std::to_string(rows) + " rows and " + std::to_string(stored) +
                   " values reach the 32-bit limits of the run format");
    SprMat mat;
    mat.rows = mat.cols = rows;
    mat.vals.assign(values.items<double>().begin(), values.items<double>().end());
    mat.row_runs.assign(rows + 1, 1);
    mat.runs.assign(1, Run{});  // run 0 is the dummy
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int64_t begin = index_at(indptr, r), end = index_at(indptr, r + 1);
        if (end < begin) refuse_csr("row pointers must not decrease (row " + std::to_string(r) + ")");
        std::int64_t previous = -1;
        for (std::int64_t k = begin; k < end; ++k) {
            const std::int64_t col = index_at(indices, static_cast<std::size_t>(k));
            if (col <= previous || col >= static_cast<std::int64_t>(rows))
                refuse_csr("row " + std::to_string(r) + " must list columns increasing in 0 .. " +
                           std::to_string(rows - 1) + ", found " + std::to_string(col) + " after " +
                           std::to_string(previous));
            if (k == begin || col != previous + 1)
                mat.runs.push_back(Run{static_cast<std::int32_t>(col), static_cast<std::uint32_t>(k)});
            previous = col;
        }
        if (mat.runs.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            refuse_csr("has too many runs of consecutive columns for the run format");
        mat.row_runs[r + 1] = static_cast<std::int32_t>(mat.runs.size());
    }
    mat.runs.push_back(Run{0, static_cast<std::uint32_t>(stored)});  // the sentinel
    return mat;
}

// The rigid-body modes of unknowns 3 i + c, component c of node i at node_points[i].
NearNullSpace node_modes(std::span<const double> node_points) {
    const std::size_t nodes = node_points.size() / 3;
    std::vector<double> coordinates(9 * nodes);
    std::vector<std::int32_t> components(3 * nodes);
    for (std::size_t i = 0; i < nodes; ++i)
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t axis = 0; axis < 3; ++axis)
                coordinates[3 * (3 * i + c) + axis] = node_points[3 * i + axis];
            components[3 * i + c] = static_cast<std::int32_t>(c);
        }
    return rigid_body_modes(coordinates, components);
}

// A float64 (n,) buffer that the call writes into, held for the call.
class WritableVector {
  public:
    WritableVector(const char* name, PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            prefix_type_error(std::string("argument '") + name + "': ");
            throw PythonError{};
        }
        const char* format = view_.format == nullptr ? "B" : view_.format;
        if (*format == '@' || *format == '=' || *format == '<') ++format;
        if (view_.ndim != 1 || view_.itemsize != 8 || std::string(format) != "d") {
            PyBuffer_Release(&view_);
            raise_python(PyExc_TypeError,
                         std::string("argument '") + name + "': expected a writable 1-D array of float64");
        }
    }
    WritableVector(const WritableVector&) = delete;
    WritableVector& operator=(const WritableVector&) = delete;
    ~WritableVector() { PyBuffer_Release(&view_); }
    std::span<double> items() { return {static_cast<double*>(view_.buf), static_cast<std::size_t>(view_.shape[0])}; }

  private:
    Py_buffer view_{};
};

PyTypeObject* matrix_multigrid_type() {
    return cached_type(matrix_multigrid_type_cache, matrix_multigrid_spec, "MatrixMultigrid");
}

}  // namespace

constexpr Signature kAmgSetupCsr{"amg_setup_csr()", {"indptr", "indices", "values", "node_points", "smoother_degree"}};
PyObject* tools_amg_setup_csr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_frame([&] {
        const BoundArgs bound = bind_arguments(kAmgSetupCsr, args, nargs, kwnames);
        const ArrayArg indptr("indptr", bound.values[0], {Item::i32, Item::i64}, 1, 0, "(n + 1,)");
        const ArrayArg indices("indices", bound.values[1], {Item::i32, Item::i64}, 1, 0, "(nnz,)");
        const ArrayArg values("values", bound.values[2], {Item::f64}, 1, 0, "(nnz,)");
        const ArrayArg node_points("node_points", bound.values[3], {Item::f64}, 2, 3, "(n / 3, 3)");
        AmgOptions options;
        options.smoother_degree = convert_arg(bound, 4, to_i32);
        if (options.smoother_degree < 1 || options.smoother_degree > kMaxSmootherDegree)
            raise_python(PyExc_ValueError, "smoother_degree must be 1 .. " + std::to_string(kMaxSmootherDegree) +
                                               ", got " + std::to_string(options.smoother_degree));
        if (indptr.size() < 2) refuse_csr("has no rows");
        const std::size_t rows = indptr.size() - 1;
        if (rows != 3 * node_points.rows())
            refuse_csr("has " + std::to_string(rows) + " rows, but " + std::to_string(node_points.rows()) +
                       " nodes of three unknowns have " + std::to_string(3 * node_points.rows()));
        MatrixMultigrid multigrid;
        multigrid.matrix = run_matrix(indptr, indices, values);
        NearNullSpace near_null = node_modes(node_points.items<double>());
        clear_decoupled_modes(near_null, multigrid.matrix);
        multigrid.hierarchy = amg_setup(multigrid.matrix, near_null, options);
        multigrid.work = amg_work(multigrid.hierarchy);
        return new_instance(matrix_multigrid_type(), std::move(multigrid));
    });
}

constexpr Signature kAmgApplyCsr{"amg_apply_csr()", {"multigrid", "r", "z"}};
PyObject* tools_amg_apply_csr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_frame([&] {
        const BoundArgs bound = bind_arguments(kAmgApplyCsr, args, nargs, kwnames);
        PyObject* const object = convert_arg(bound, 0, [](PyObject* candidate) {
            if (Py_TYPE(candidate) != matrix_multigrid_type()) raise_downcast(candidate, "MatrixMultigrid");
            return candidate;
        });
        return with_borrow<Borrow::exclusive, MatrixMultigrid>(object, [&](MatrixMultigrid& multigrid) {
            const ArrayArg residual("r", bound.values[1], {Item::f64}, 1, 0, "(n,)");
            WritableVector correction("z", bound.values[2]);
            const std::size_t rows = multigrid.matrix.rows;
            if (residual.size() != rows || correction.items().size() != rows)
                raise_python(PyExc_ValueError, "the multigrid has " + std::to_string(rows) + " unknowns, but r has " +
                                                   std::to_string(residual.size()) + " and z " +
                                                   std::to_string(correction.items().size()));
            amg_apply(multigrid.hierarchy, multigrid.matrix, multigrid.work, residual.items<double>(),
                      correction.items());
            return none();
        });
    });
}

}  // namespace quarvex
