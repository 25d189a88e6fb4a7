// Python methods of Nexus: each binds and converts its arguments in declared order under
// the receiver's borrow, then calls the model operation of model/.
#include "python/py_nexus.hpp"

#include "model/assembly.hpp"
#include "model/dofs.hpp"
#include "model/error_norm.hpp"
#include "model/loads.hpp"
#include "model/mesh.hpp"
#include "model/plot.hpp"
#include "model/system.hpp"
#include "python/py_arena.hpp"
#include "python/py_bind.hpp"
#include "python/py_call.hpp"
#include "python/py_convert.hpp"
#include "python/py_edge_dict.hpp"
#include "python/py_type_spec.hpp"

namespace quarvex {
namespace {

using NexusObject = Instance<Nexus>;

// Element converters of the composite arguments.
Point to_point(PyObject* object) {
    return to_tuple<3>(object, to_f64);
}
TetKey to_tet_key(PyObject* object) {
    return to_tuple<4>(object, to_i32);
}
EdgeKey to_edge_key(PyObject* object) {
    const auto pair = to_tuple<2>(object, to_i32);
    return {pair[0], pair[1]};
}
DofRange to_dof_range(PyObject* object) {
    const auto pair = to_tuple<2>(object, to_i32);
    return {pair[0], pair[1]};
}
std::vector<double> to_f64_list(PyObject* object) {
    return to_sequence(object, to_f64);
}
std::vector<std::uint64_t> to_node_list(PyObject* object) {
    return to_sequence(object, to_u64);
}

PyObject* nexus_plot_dom(PyObject* self, PyObject*) {
    return call_method<Borrow::shared, Nexus>(self, [](const Nexus& model) { return to_edge_dict(plot_dom(model)); });
}

constexpr Signature kSetCmat{"Nexus.set_cmat()", {"cmat"}};
PyObject* nexus_set_cmat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Borrow::exclusive, Nexus>(self, [&](Nexus& model) {
        const BoundArgs bound = bind_arguments(kSetCmat, args, nargs, kwnames);
        set_cmat(model, convert_arg(bound, 0, [](PyObject* rows) { return to_sequence(rows, to_f64_list); }));
        return none();
    });
}

constexpr Signature kSetF{"Nexus.set_f()", {"group", "tets", "arena", "nodes"}};
PyObject* nexus_set_f(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Borrow::exclusive, Nexus>(self, [&](Nexus& model) {
        const BoundArgs bound = bind_arguments(kSetF, args, nargs, kwnames);
        const std::int32_t group = convert_arg(bound, 0, to_i32);
        TetKeySet tets = convert_arg(bound, 1, [](PyObject* set) { return to_set<TetKeySet>(set, to_tet_key); });
        Arena arena = convert_arg(bound, 2, to_arena_copy);
        std::vector<std::uint64_t> nodes = convert_arg(bound, 3, to_node_list);
        set_f(model, group, tets, std::move(arena), std::move(nodes));
        return none();
    });
}

constexpr Signature kSetDof{"Nexus.set_dof()", {"ver_dof", "edge_dof"}};
PyObject* nexus_set_dof(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Borrow::exclusive, Nexus>(self, [&](Nexus& model) {
        const BoundArgs bound = bind_arguments(kSetDof, args, nargs, kwnames);
        const VertexDofMap ver_dof =
            convert_arg(bound, 0, [](PyObject* dict) { return to_dict<VertexDofMap>(dict, to_i32, to_dof_range); });
        const EdgeDofMap edge_dof =
            convert_arg(bound, 1, [](PyObject* dict) { return to_dict<EdgeDofMap>(dict, to_edge_key, to_dof_range); });
        set_dof(model, ver_dof, edge_dof);
        return none();
    });
}

constexpr Signature kSetSolver{"Nexus.set_solver()", {"pos_dof", "bc"}};
PyObject* nexus_set_solver(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Borrow::exclusive, Nexus>(self, [&](Nexus& model) {
        const BoundArgs bound = bind_arguments(kSetSolver, args, nargs, kwnames);
        const std::uint64_t pos_dof = convert_arg(bound, 0, to_u64);
        std::vector<double> bc = convert_arg(bound, 1, to_f64_list);
        set_solver(model, pos_dof, std::move(bc));
        return none();
    });
}

PyObject* nexus_assemble(PyObject* self, PyObject*) {
    return call_method_shared_writing<Nexus>(self, [](Nexus& model) {
        const std::string warning = assemble(model);
        if (!warning.empty()) warn_runtime(warning);
        return none();
    });
}

constexpr Signature kSolve{"Nexus.solve()", {"tol"}};
PyObject* nexus_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Borrow::exclusive, Nexus>(self, [&](Nexus& model) {
        const BoundArgs bound = bind_arguments(kSolve, args, nargs, kwnames);
        for (const std::string& warning : solve(model, convert_arg(bound, 0, to_f64))) warn_runtime(warning);
        return none();
    });
}

PyObject* nexus_plot_disp(PyObject* self, PyObject*) {
    return call_method<Borrow::shared, Nexus>(self, [](const Nexus& model) { return to_edge_dict(plot_disp(model)); });
}

constexpr Signature kError{"Nexus.error()", {"arena", "nodes"}};
PyObject* nexus_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<Borrow::shared, Nexus>(self, [&](const Nexus& model) {
        const BoundArgs bound = bind_arguments(kError, args, nargs, kwnames);
        Arena arena = convert_arg(bound, 0, to_arena_copy);
        std::vector<std::uint64_t> nodes = convert_arg(bound, 1, to_node_list);
        return from_f64(error(model, std::move(arena), std::move(nodes)));
    });
}

PyObject* nexus_nullify(PyObject* self, PyObject*) {
    return call_method<Borrow::exclusive, Nexus>(self, [](Nexus& model) {
        nullify(model);
        return none();
    });
}

#define QUARVEX_FAST(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef nexus_methods[] = {
    {"plot_dom", nexus_plot_dom, METH_NOARGS, nullptr},
    {"set_cmat", QUARVEX_FAST(nexus_set_cmat), kFast, nullptr},
    {"set_f", QUARVEX_FAST(nexus_set_f), kFast, nullptr},
    {"set_dof", QUARVEX_FAST(nexus_set_dof), kFast, nullptr},
    {"set_solver", QUARVEX_FAST(nexus_set_solver), kFast, nullptr},
    {"assemble", nexus_assemble, METH_NOARGS, nullptr},
    {"solve", QUARVEX_FAST(nexus_solve), kFast, nullptr},
    {"plot_disp", nexus_plot_disp, METH_NOARGS, nullptr},
    {"error", QUARVEX_FAST(nexus_error), kFast, nullptr},
    {"nullify", nexus_nullify, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#undef QUARVEX_FAST

constexpr Signature kNew{"Nexus.__new__()", {"pts", "tets"}};
PyObject* nexus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct_instance(type, [&] {
        const BoundArgs bound = bind_arguments(kNew, args, kwargs);
        const std::vector<Point> pts =
            convert_arg(bound, 0, [](PyObject* list) { return to_sequence(list, to_point); });
        const std::vector<TetKey> tets =
            convert_arg(bound, 1, [](PyObject* list) { return to_sequence(list, to_tet_key); });
        return make_nexus(pts, tets);
    });
}

PyType_Slot nexus_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(nexus_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Nexus>)},
    {Py_tp_methods, nexus_methods},
    {0, nullptr},
};

PyType_Spec nexus_spec = {
    "builtins.Nexus",
    static_cast<int>(sizeof(NexusObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,  // class attributes cannot be replaced from Python
    nexus_slots,
};

PyTypeObject* nexus_type_cache = nullptr;

}  // namespace

PyTypeObject* nexus_type() {
    return cached_type(nexus_type_cache, nexus_spec, "Nexus");
}

}  // namespace quarvex
