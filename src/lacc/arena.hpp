// An arena of scalar expression nodes. Node i is computed by node_ops[i] into
// node_values[i]; ids are positions, so the two lists always have equal length.
// Operands of an operation are ids of earlier nodes; nodes 0, 1, 2 stand for x, y, z.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lacc/dyr.hpp"

namespace quarvex {

enum class OpKind : std::uint8_t { TwoNodes, OneNode, NodeConst, Leaf };

// The closed set of batch operations; one kernel of dyr.hpp each.
enum class Kernel : std::uint8_t {
    None,  // a Leaf has no kernel
    Add,
    Subtract,
    Multiply,
    Divide,
    Reciprocal,
    Negate,
    Sine,
    Cosine,
    Exponential,
    Logarithm,
    AddConstant,
    SubtractConstant,
    ConstantMinus,
    Scale,
    IntegerPower,
};

struct Op {
    OpKind kind = OpKind::Leaf;
    Kernel kernel = Kernel::None;
    std::uint64_t a = 0;  // first operand (TwoNodes, OneNode, NodeConst)
    std::uint64_t b = 0;  // second operand (TwoNodes)
    double c = 0.0;       // constant (NodeConst)
};

struct Arena {
    std::vector<Dyr> node_values;
    std::vector<Op> node_ops;
    std::size_t typ = 0;  // batch shape every node was last given by a binding
    std::size_t len = 0;
};

std::uint64_t node_count(const Arena& arena);

// Node building; each returns the new node's id.
std::uint64_t new_var(Arena& arena);
std::uint64_t new_cst(Arena& arena, double value);
std::uint64_t new_two_nodes(Arena& arena, Kernel kernel, std::uint64_t a, std::uint64_t b);
std::uint64_t new_one_node(Arena& arena, Kernel kernel, std::uint64_t a);
std::uint64_t new_node_const(Arena& arena, Kernel kernel, std::uint64_t a, double c);

// Makes node k an input of the batch: its block 0 becomes `values`, derivative block `seed`
// (0 = none) all ones. A new shape (typ, values.size()) is spread over every node first.
void bind_values(Arena& arena, std::uint64_t k, std::span<const double> values, std::size_t seed,
                 std::size_t typ);

// Computes every non-Leaf node from its operands, in id order.
void evaluate(Arena& arena);

}  // namespace quarvex
