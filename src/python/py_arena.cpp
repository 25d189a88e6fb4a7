// Python methods of Arena. Every method takes the exclusive borrow, binds and converts its
// arguments (node ids as unsigned 64-bit, constants as float) and appends one node (two
// for rev_div_f64), returning the new node's id.
#include "python/py_arena.hpp"

#include "python/py_bind.hpp"
#include "python/py_call.hpp"
#include "python/py_convert.hpp"
#include "python/py_type_spec.hpp"

namespace quarvex {
namespace {

using ArenaObject = Instance<Arena>;

template <class Build>
PyObject* build_node(PyObject* self, Build&& build) {
    return call_method<Borrow::exclusive, Arena>(self, [&](Arena& arena) { return from_u64(build(arena)); });
}

PyObject* arena_new_var(PyObject* self, PyObject*) {
    return build_node(self, [](Arena& arena) { return new_var(arena); });
}

constexpr Signature kNewCst{"Arena.new_cst()", {"val"}};
PyObject* arena_new_cst(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_node(self, [&](Arena& arena) {
        const BoundArgs bound = bind_arguments(kNewCst, args, nargs, kwnames);
        return new_cst(arena, convert_arg(bound, 0, to_f64));
    });
}

// x op y
template <const Signature& signature, Kernel kernel>
PyObject* arena_two_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_node(self, [&](Arena& arena) {
        const BoundArgs bound = bind_arguments(signature, args, nargs, kwnames);
        const std::uint64_t a = convert_arg(bound, 0, to_u64);
        const std::uint64_t b = convert_arg(bound, 1, to_u64);
        return new_two_nodes(arena, kernel, a, b);
    });
}

// op x
template <const Signature& signature, Kernel kernel>
PyObject* arena_one_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_node(self, [&](Arena& arena) {
        const BoundArgs bound = bind_arguments(signature, args, nargs, kwnames);
        return new_one_node(arena, kernel, convert_arg(bound, 0, to_u64));
    });
}

// x op c, parameters (arg, cst); div_f64 stores the reciprocal of its constant.
template <const Signature& signature, Kernel kernel, bool reciprocal = false>
PyObject* arena_node_const(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_node(self, [&](Arena& arena) {
        const BoundArgs bound = bind_arguments(signature, args, nargs, kwnames);
        const std::uint64_t a = convert_arg(bound, 0, to_u64);
        const double c = convert_arg(bound, 1, to_f64);
        return new_node_const(arena, kernel, a, reciprocal ? 1.0 / c : c);
    });
}

// c op x, parameters (cst, arg).
template <const Signature& signature, Kernel kernel>
PyObject* arena_const_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_node(self, [&](Arena& arena) {
        const BoundArgs bound = bind_arguments(signature, args, nargs, kwnames);
        const double c = convert_arg(bound, 0, to_f64);
        const std::uint64_t a = convert_arg(bound, 1, to_u64);
        return new_node_const(arena, kernel, a, c);
    });
}

// c / x as two nodes: the reciprocal of x, then its product with c.
constexpr Signature kRevDivF64{"Arena.rev_div_f64()", {"cst", "arg"}};
PyObject* arena_rev_div_f64(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_node(self, [&](Arena& arena) {
        const BoundArgs bound = bind_arguments(kRevDivF64, args, nargs, kwnames);
        const double c = convert_arg(bound, 0, to_f64);
        const std::uint64_t a = convert_arg(bound, 1, to_u64);
        const std::uint64_t reciprocal = new_one_node(arena, Kernel::Reciprocal, a);
        return new_node_const(arena, Kernel::Scale, reciprocal, c);
    });
}

constexpr Signature kInv{"Arena.inv()", {"arg"}};
constexpr Signature kAdd{"Arena.add()", {"arg0", "arg1"}};
constexpr Signature kSub{"Arena.sub()", {"arg0", "arg1"}};
constexpr Signature kMul{"Arena.mul()", {"arg0", "arg1"}};
constexpr Signature kDiv{"Arena.div()", {"arg0", "arg1"}};
constexpr Signature kPow{"Arena.pow()", {"arg", "cst"}};
constexpr Signature kAddF64{"Arena.add_f64()", {"arg", "cst"}};
constexpr Signature kSubF64{"Arena.sub_f64()", {"arg", "cst"}};
constexpr Signature kMulF64{"Arena.mul_f64()", {"arg", "cst"}};
constexpr Signature kDivF64{"Arena.div_f64()", {"arg", "cst"}};
constexpr Signature kRevAddF64{"Arena.rev_add_f64()", {"cst", "arg"}};
constexpr Signature kRevSubF64{"Arena.rev_sub_f64()", {"cst", "arg"}};
constexpr Signature kRevMulF64{"Arena.rev_mul_f64()", {"cst", "arg"}};
constexpr Signature kNeg{"Arena.neg()", {"arg"}};
constexpr Signature kSin{"Arena.sin()", {"arg"}};
constexpr Signature kCos{"Arena.cos()", {"arg"}};
constexpr Signature kExp{"Arena.exp()", {"arg"}};
constexpr Signature kLn{"Arena.ln()", {"arg"}};

#define QUARVEX_FAST(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef arena_methods[] = {
    {"new_var", arena_new_var, METH_NOARGS, nullptr},
    {"new_cst", QUARVEX_FAST(arena_new_cst), kFast, nullptr},
    {"inv", QUARVEX_FAST((arena_one_node<kInv, Kernel::Reciprocal>)), kFast, nullptr},
    {"add", QUARVEX_FAST((arena_two_nodes<kAdd, Kernel::Add>)), kFast, nullptr},
    {"sub", QUARVEX_FAST((arena_two_nodes<kSub, Kernel::Subtract>)), kFast, nullptr},
    {"mul", QUARVEX_FAST((arena_two_nodes<kMul, Kernel::Multiply>)), kFast, nullptr},
    {"div", QUARVEX_FAST((arena_two_nodes<kDiv, Kernel::Divide>)), kFast, nullptr},
    {"pow", QUARVEX_FAST((arena_node_const<kPow, Kernel::IntegerPower>)), kFast, nullptr},
    {"add_f64", QUARVEX_FAST((arena_node_const<kAddF64, Kernel::AddConstant>)), kFast, nullptr},
    {"sub_f64", QUARVEX_FAST((arena_node_const<kSubF64, Kernel::SubtractConstant>)), kFast, nullptr},
    {"mul_f64", QUARVEX_FAST((arena_node_const<kMulF64, Kernel::Scale>)), kFast, nullptr},
    {"div_f64", QUARVEX_FAST((arena_node_const<kDivF64, Kernel::Scale, true>)), kFast, nullptr},
    {"rev_add_f64", QUARVEX_FAST((arena_const_node<kRevAddF64, Kernel::AddConstant>)), kFast, nullptr},
    {"rev_sub_f64", QUARVEX_FAST((arena_const_node<kRevSubF64, Kernel::ConstantMinus>)), kFast, nullptr},
    {"rev_mul_f64", QUARVEX_FAST((arena_const_node<kRevMulF64, Kernel::Scale>)), kFast, nullptr},
    {"rev_div_f64", QUARVEX_FAST(arena_rev_div_f64), kFast, nullptr},
    {"neg", QUARVEX_FAST((arena_one_node<kNeg, Kernel::Negate>)), kFast, nullptr},
    {"sin", QUARVEX_FAST((arena_one_node<kSin, Kernel::Sine>)), kFast, nullptr},
    {"cos", QUARVEX_FAST((arena_one_node<kCos, Kernel::Cosine>)), kFast, nullptr},
    {"exp", QUARVEX_FAST((arena_one_node<kExp, Kernel::Exponential>)), kFast, nullptr},
    {"ln", QUARVEX_FAST((arena_one_node<kLn, Kernel::Logarithm>)), kFast, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#undef QUARVEX_FAST

// Arena(...) ignores whatever it is given and returns an empty arena.
PyObject* arena_new(PyTypeObject* type, PyObject*, PyObject*) {
    return construct_instance(type, [] { return Arena{}; });
}

PyType_Slot arena_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(arena_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Arena>)},
    {Py_tp_methods, arena_methods},
    {0, nullptr},
};

PyType_Spec arena_spec = {
    "builtins.Arena",
    static_cast<int>(sizeof(ArenaObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,  // class attributes cannot be replaced from Python
    arena_slots,
};

PyTypeObject* arena_type_cache = nullptr;

}  // namespace

PyTypeObject* arena_type() {
    return cached_type(arena_type_cache, arena_spec, "Arena");
}

Arena to_arena_copy(PyObject* object) {
    if (PyObject_TypeCheck(object, arena_type()) == 0) raise_downcast(object, "Arena");
    const ArenaObject* arena = instance_of<Arena>(object);
    if (arena->borrow_flag == -1) raise_python(PyExc_RuntimeError, "Already mutably borrowed");
    return arena->payload;
}

}  // namespace quarvex
