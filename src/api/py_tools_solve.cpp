// solve(model, rtol, atol, maxiter, history): conjugate gradients with a report; maxiter None
// allows 10 n steps, n the number of unknowns (rounding can keep CG from finishing in n). Between
// steps the calling thread checks for signals (one flag load when none is pending), so
// Ctrl-C raises KeyboardInterrupt within one step and leaves the last iterate in sol.
#include <cmath>
#include <cstdint>
#include <string>

#include "api/py_tools.hpp"
#include "lacc/cg_report.hpp"

namespace quarvex {
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

PyRef float_list(const std::vector<double>& values) {
    PyRef list = checked_result(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), from_f64(values[i]).release());
    return list;
}

}  // namespace

constexpr Signature kSolve{"solve()", {"model", "rtol", "atol", "maxiter", "history"}};
PyObject* tools_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::exclusive>(kSolve, args, nargs, kwnames, [](Nexus& model, const BoundArgs& bound) {
        CgLimits limits;
        limits.rtol = tolerance_arg(bound, 1);
        limits.atol = tolerance_arg(bound, 2);
        constexpr std::uint64_t kDefaultStepsPerUnknown = 10;
        const std::uint64_t unknowns = model.rhs.size();
        limits.max_iterations = bound.values[3] == Py_None
                                    ? (unknowns <= UINT64_MAX / kDefaultStepsPerUnknown ? kDefaultStepsPerUnknown * unknowns
                                                                                         : UINT64_MAX)
                                    : convert_arg(bound, 3, to_u64);
        limits.keep_history = convert_arg(bound, 4, [](PyObject* flag) {
            const int truth = PyObject_IsTrue(flag);
            if (truth < 0) throw PythonError{};
            return truth != 0;
        });
        const CgReport report = cg_solve_report(model.mat, model.sol, model.rhs, limits, [] {
            if (PyErr_CheckSignals() != 0) throw PythonError{};
        });
        PyRef items[] = {from_u64(report.iterations), from_f64(report.residual_norm), from_f64(report.rhs_norm),
                         PyRef::borrow(report.converged ? Py_True : Py_False),
                         limits.keep_history ? float_list(report.history) : none()};
        PyRef tuple = checked_result(PyTuple_New(5));
        for (Py_ssize_t i = 0; i < 5; ++i) PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
        return tuple;
    });
}

}  // namespace quarvex
