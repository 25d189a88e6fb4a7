// The functions of the module quarvex_tools._native_ext. The module lives in the same shared
// object as quarvex (a second init function), so both share one core, one worker pool and
// one Nexus type. A function taking a model binds its arguments, checks that the first is
// a Nexus, and runs its body through the call frame under the borrow Nexus's own methods
// would take: shared to read, exclusive to write.
#pragma once

#include <vector>

#include "amg/amg.hpp"
#include "lacc/constrain.hpp"
#include "model/nexus.hpp"
#include "python/py_bind.hpp"
#include "python/py_call.hpp"
#include "python/py_convert.hpp"
#include "python/py_nexus.hpp"

namespace quarvex {

// Argument 0 as a Nexus; anything else raises TypeError "argument 'model': ...".
inline PyObject* model_arg(const BoundArgs& bound) {
    return convert_arg(bound, 0, [](PyObject* object) {
        if (Py_TYPE(object) != nexus_type()) raise_downcast(object, "Nexus");
        return object;
    });
}

// Binds the arguments, then runs body(model, bound) under the model's borrow; the body
// converts the other arguments itself (after the borrow, as the methods do).
template <Borrow kind, class Body>
PyObject* call_on_model(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        Body&& body) noexcept {
    return run_frame([&] {
        const BoundArgs bound = bind_arguments(signature, args, nargs, kwnames);
        return with_borrow<kind, Nexus>(model_arg(bound), [&](auto& payload) { return body(payload, bound); });
    });
}

// {"rows": [...], "values": [...], "operator_complexity": float}: the unknowns and stored operator
// values of every level of a hierarchy, and their sum over the values of level 0 (the stats()
// of Multigrid and MatrixMultigrid).
PyRef hierarchy_stats(const AmgHierarchy& hierarchy);

// Vector-call entry points (METH_FASTCALL | METH_KEYWORDS), one per module function.
PyObject* tools_get_vector(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_set_vector(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_matrix_structure(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_matrix_values(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_pattern_version(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_nexus_from_arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_set_dof_arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_plot_dom_arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_plot_disp_arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_solve(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_constrain(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_add_matrix_entries(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_amg_setup(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_amg_refresh(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_amg_solve(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_assemble_curved(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_amg_solve_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Multigrid over a CSR matrix of its own (matrix_multigrid.cpp): a rank's block in a distributed solve.
PyObject* tools_amg_setup_csr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tools_amg_apply_csr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Argument `index` as (k,) int64 first unknowns and argument index + 1 as (k, 9) float64 axes.
std::vector<NodeFrame> node_frames(const BoundArgs& bound, std::size_t index);

// The Multigrid class of the module (a hierarchy from amg_setup).
PyTypeObject* multigrid_type();

}  // namespace quarvex
