// Binding inputs to an arena's nodes and evaluating every node over the batch.
#include <algorithm>
#include <limits>
#include <new>

#include "base/failure.hpp"
#include "expr/evaluate.hpp"

namespace quarvex {
namespace {

// Gives `node` the shape (typ, len); kept entries stay, new ones are 0.0. Capacity is kept, so
// a node that already had this shape is not touched in memory.
void reshape(Dyr& node, std::size_t typ, std::size_t len) {
    if (typ != 0 && len > std::numeric_limits<std::size_t>::max() / typ) throw std::bad_alloc();
    node.typ = typ;
    node.len = len;
    node.data.resize(typ * len);
}

// Block 0 := values; derivative block j := 1.0 where j == seed, else 0.0.
void fill_bound(Dyr& node, std::span<const double> values, std::size_t seed) {
    check_equal(values.size(), node.len);
    if (node.typ == 0) return;
    double* data = node.data.data();
    std::copy(values.begin(), values.end(), data);
    for (std::size_t j = 1; j < node.typ; ++j)
        std::fill(data + j * node.len, data + (j + 1) * node.len, j == seed ? 1.0 : 0.0);
}

// A node that is not bound keeps its first value as a constant over the new batch, with zero
// derivatives; an empty node becomes zero everywhere.
void spread_first_value(Dyr& node, std::size_t typ, std::size_t len) {
    const double first = node.empty() ? 0.0 : node.data[0];
    reshape(node, typ, len);
    double* data = node.data.data();
    const std::size_t block_len = typ == 0 ? 0 : len;
    std::fill(data, data + block_len, first);
    std::fill(data + block_len, data + node.tot_len(), 0.0);
}

// The operand `id` of a node, rejected unless it names a node of the arena.
const Dyr& operand(const ArenaValues& state, std::uint64_t id) {
    check_index(id, state.node_values.size());
    return state.node_values[id];
}

}  // namespace

void bind_values(ArenaValues& state, std::uint64_t k, std::span<const double> values, std::size_t seed,
                 std::size_t typ) {
    const std::size_t len = values.size();
    const std::uint64_t count = state.node_values.size();
    if (typ == state.typ && len == state.len) {
        check_index(k, count);
        Dyr& node = state.node_values[k];
        reshape(node, typ, len);
        fill_bound(node, values, seed);
        return;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        Dyr& node = state.node_values[i];
        if (i == k) {
            reshape(node, typ, len);
            fill_bound(node, values, seed);
        } else {
            spread_first_value(node, typ, len);
        }
    }
    state.typ = typ;
    state.len = len;
}

void evaluate(std::span<const Op> ops, ArenaValues& state) {
    // The two lists have equal length in every arena; a shorter value list stops the loop
    // rather than letting it write past its end.
    const std::size_t count = std::min(ops.size(), state.node_values.size());
    for (std::size_t i = 0; i < count; ++i) {
        const Op& op = ops[i];
        if (op.kind == OpKind::Leaf || op.kernel == Kernel::None) continue;
        // Every kernel reads operand a; the four two-node kernels then read b. Each id is
        // range-checked before its node is read.
        const Dyr& x = operand(state, op.a);
        Dyr& out = state.node_values[i];
        switch (op.kernel) {
            case Kernel::None:  // skipped above
                break;
            case Kernel::Add:
                dyr_add(out, x, operand(state, op.b));
                break;
            case Kernel::Subtract:
                dyr_subtract(out, x, operand(state, op.b));
                break;
            case Kernel::Multiply:
                dyr_multiply(out, x, operand(state, op.b));
                break;
            case Kernel::Divide:
                dyr_divide(out, x, operand(state, op.b));
                break;
            case Kernel::Reciprocal:
                dyr_reciprocal(out, x);
                break;
            case Kernel::Negate:
                dyr_negate(out, x);
                break;
            case Kernel::Sine:
                dyr_sine(out, x);
                break;
            case Kernel::Cosine:
                dyr_cosine(out, x);
                break;
            case Kernel::Exponential:
                dyr_exponential(out, x);
                break;
            case Kernel::Logarithm:
                dyr_logarithm(out, x);
                break;
            case Kernel::AddConstant:
                dyr_add_constant(out, op.c, x);
                break;
            case Kernel::SubtractConstant:
                dyr_subtract_constant(out, op.c, x);
                break;
            case Kernel::ConstantMinus:
                dyr_constant_minus(out, op.c, x);
                break;
            case Kernel::Scale:
                dyr_scale(out, op.c, x);
                break;
            case Kernel::IntegerPower:
                dyr_integer_power(out, op.c, x);
                break;
        }
    }
}

}  // namespace quarvex
