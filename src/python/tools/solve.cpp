// The solvers of quarvex_tools: solve(model, rtol, atol, maxiter, history), conjugate gradients
// with a report, and the multigrid ones: amg_setup(model, frame_first, frames) -> Multigrid, amg_refresh(multigrid,
// model), amg_solve(model, multigrid, rtol, atol, maxiter, history) and
// amg_solve_many(model, multigrid, loads, rtol, atol, maxiter, history). maxiter None allows
// 10 n steps, n the number of unknowns. Ctrl-C raises KeyboardInterrupt within one step and
// leaves the last iterate in sol.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "model/multigrid.hpp"
#include "model/system.hpp"
#include "python/py_type_spec.hpp"
#include "python/tools/buffer.hpp"
#include "python/tools/tools.hpp"

namespace quarvex {

PyRef hierarchy_stats(const AmgHierarchy& hierarchy) {
    const std::size_t count = hierarchy.levels.size();
    PyRef rows = checked_result(PyList_New(static_cast<Py_ssize_t>(count)));
    PyRef values = checked_result(PyList_New(static_cast<Py_ssize_t>(count)));
    double total = 0.0;
    for (std::size_t l = 0; l < count; ++l) {
        const AmgLevel& level = hierarchy.levels[l];
        const std::uint64_t level_rows = l == 0 ? hierarchy.fine_rows : level.matrix.rows;
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(l), from_u64(level_rows).release());
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(l), from_u64(level.matrix_values.size()).release());
        total += static_cast<double>(level.matrix_values.size());
    }
    const double fine_values = count == 0 ? 0.0 : static_cast<double>(hierarchy.levels[0].matrix_values.size());
    const PyRef complexity = from_f64(fine_values > 0.0 ? total / fine_values : 0.0);
    PyRef stats = checked_result(PyDict_New());
    if (PyDict_SetItemString(stats.get(), "rows", rows.get()) < 0 ||
        PyDict_SetItemString(stats.get(), "values", values.get()) < 0 ||
        PyDict_SetItemString(stats.get(), "operator_complexity", complexity.get()) < 0)
        throw PythonError{};
    return stats;
}
namespace {

// A tolerance: finite and not negative.
double tolerance_arg(const BoundArgs& bound, std::size_t index) {
    const double value = convert_arg(bound, index, to_f64);
    if (!(value >= 0.0) || !std::isfinite(value)) {
        raise_python(PyExc_ValueError, std::string("argument '") + bound.signature->params[index] +
                                           "': expected a finite number >= 0, got " + std::to_string(value));
    }
    return value;
}

struct SolveLimits {
    double rtol = 0.0;
    double atol = 0.0;
    std::uint64_t max_iterations = 0;
    bool keep_history = false;
};

// Arguments first .. first + 3 of a solve: rtol, atol, maxiter (None: 10 steps per unknown), history.
SolveLimits solve_limits(const BoundArgs& bound, std::size_t first, std::uint64_t unknowns) {
    SolveLimits limits;
    limits.rtol = tolerance_arg(bound, first);
    limits.atol = tolerance_arg(bound, first + 1);
    constexpr std::uint64_t kDefaultStepsPerUnknown = 10;
    limits.max_iterations =
        bound.values[first + 2] == Py_None
            ? (unknowns <= UINT64_MAX / kDefaultStepsPerUnknown ? kDefaultStepsPerUnknown * unknowns : UINT64_MAX)
            : convert_arg(bound, first + 2, to_u64);
    limits.keep_history = convert_arg(bound, first + 3, [](PyObject* flag) {
        const int truth = PyObject_IsTrue(flag);
        if (truth < 0) throw PythonError{};
        return truth != 0;
    });
    return limits;
}

// Issues the report's warnings, then (iterations, residual_norm, rhs_norm, converged, history,
// stalled).
PyRef report_tuple(const SolveReport& report, bool keep_history) {
    for (const std::string& warning : report.warnings) warn_runtime(warning);
    PyRef items[] = {from_u64(report.iterations),
                     from_f64(report.residual_norm),
                     from_f64(report.rhs_norm),
                     PyRef::borrow(report.converged ? Py_True : Py_False),
                     keep_history ? float_list(report.history) : none(),
                     PyRef::borrow(report.stalled ? Py_True : Py_False)};
    PyRef tuple = checked_result(PyTuple_New(6));
    for (Py_ssize_t i = 0; i < 6; ++i) PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
    return tuple;
}

// The Multigrid class: a hierarchy built for one model's matrix structure.
using MultigridObject = Instance<AmgHierarchy>;

// Multigrid.stats(): see hierarchy_stats.
PyObject* multigrid_stats(PyObject* self, PyObject*) {
    return call_method<Borrow::shared, AmgHierarchy>(
        self, [](const AmgHierarchy& hierarchy) { return hierarchy_stats(hierarchy); });
}

PyMethodDef multigrid_methods[] = {
    {"stats", multigrid_stats, METH_NOARGS,
     "stats() -> dict: unknowns ('rows') and stored values ('values') per level, and 'operator_complexity'."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot multigrid_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_methods, multigrid_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<AmgHierarchy>)},
    {Py_tp_doc, const_cast<char*>("A multigrid hierarchy for a model's matrix, from amg_setup(model).")},
    {0, nullptr},
};

PyType_Spec multigrid_spec = {
    "quarvex_tools._native_ext.Multigrid",
    static_cast<int>(sizeof(MultigridObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    multigrid_slots,
};

PyTypeObject* multigrid_type_cache = nullptr;

// Argument `index` as a Multigrid; anything else raises TypeError.
PyObject* multigrid_arg(const BoundArgs& bound, std::size_t index) {
    return convert_arg(bound, index, [](PyObject* object) {
        if (Py_TYPE(object) != multigrid_type()) raise_downcast(object, "Multigrid");
        return object;
    });
}

}  // namespace

PyTypeObject* multigrid_type() {
    return cached_type(multigrid_type_cache, multigrid_spec, "Multigrid");
}

constexpr Signature kSolve{"solve()", {"model", "rtol", "atol", "maxiter", "history"}};
PyObject* tools_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::exclusive>(kSolve, args, nargs, kwnames, [](Nexus& model, const BoundArgs& bound) {
        const SolveLimits limits = solve_limits(bound, 1, model.rhs.size());
        return report_tuple(solve_to(model, limits.rtol, limits.atol, limits.max_iterations, limits.keep_history),
                            limits.keep_history);
    });
}

constexpr Signature kAmgSetup{"amg_setup()", {"model", "frame_first", "frames"}};
PyObject* tools_amg_setup(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(
        kAmgSetup, args, nargs, kwnames, [](const Nexus& model, const BoundArgs& bound) {
            return new_instance(multigrid_type(), multigrid_setup(model, node_frames(bound, 1)));
        });
}

constexpr Signature kAmgRefresh{"amg_refresh()", {"model", "multigrid"}};
PyObject* tools_amg_refresh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(
        kAmgRefresh, args, nargs, kwnames, [](const Nexus& model, const BoundArgs& bound) {
            return with_borrow<Borrow::exclusive, AmgHierarchy>(multigrid_arg(bound, 1), [&](AmgHierarchy& hierarchy) {
                multigrid_refresh(hierarchy, model);
                return none();
            });
        });
}

constexpr Signature kAmgSolve{"amg_solve()", {"model", "multigrid", "rtol", "atol", "maxiter", "history"}};
PyObject* tools_amg_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::exclusive>(kAmgSolve, args, nargs, kwnames, [](Nexus& model, const BoundArgs& bound) {
        return with_borrow<Borrow::shared, AmgHierarchy>(multigrid_arg(bound, 1), [&](const AmgHierarchy& hierarchy) {
            const SolveLimits limits = solve_limits(bound, 2, model.rhs.size());
            const SolveReport report =
                solve_multigrid(model, hierarchy, limits.rtol, limits.atol, limits.max_iterations, limits.keep_history);
            return report_tuple(report, limits.keep_history);
        });
    });
}

constexpr Signature kAmgSolveMany{"amg_solve_many()",
                                  {"model", "multigrid", "loads", "rtol", "atol", "maxiter", "history"}};
PyObject* tools_amg_solve_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(
        kAmgSolveMany, args, nargs, kwnames, [](const Nexus& model, const BoundArgs& bound) {
            return with_borrow<Borrow::shared, AmgHierarchy>(
                multigrid_arg(bound, 1), [&](const AmgHierarchy& hierarchy) {
                    const std::size_t n = model.sol.size();
                    const ArrayArg loads("loads", bound.values[2], {Item::f64}, 2, static_cast<Py_ssize_t>(n),
                                         "(k, n) with n the model's unknowns");
                    const SolveLimits limits = solve_limits(bound, 3, n);
                    const std::size_t count = loads.rows();
                    NewArray<double> solutions = new_array<double>(count * n);
                    const std::vector<SolveReport> reports =
                        solve_multigrid_many(model, hierarchy, loads.items<double>(), count, solutions.items,
                                             limits.rtol, limits.atol, limits.max_iterations, limits.keep_history);
                    PyRef list = checked_result(PyList_New(static_cast<Py_ssize_t>(count)));
                    for (std::size_t k = 0; k < count; ++k)
                        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                                        report_tuple(reports[k], limits.keep_history).release());
                    PyRef pair = checked_result(PyTuple_New(2));
                    PyTuple_SET_ITEM(pair.get(), 0, solutions.object.release());
                    PyTuple_SET_ITEM(pair.get(), 1, list.release());
                    return pair;
                });
        });
}

}  // namespace quarvex
