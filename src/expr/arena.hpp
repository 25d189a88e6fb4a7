// An arena of scalar expression nodes: the graph (node_ops) and the values of its nodes.
// Node i is computed by node_ops[i] into values.node_values[i]; ids are positions, so the two
// lists always have equal length. Operands of an operation are ids of earlier nodes; nodes
// 0, 1, 2 stand for x, y, z. Evaluation writes only the values, so parallel evaluations share
// one graph and each works on its own copy of the values (evaluate.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "expr/dyr.hpp"

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

// The evaluation state of an arena: one batch value per node and the batch shape every node
// was last given by a binding.
struct ArenaValues {
    std::vector<Dyr> node_values;
    std::size_t typ = 0;
    std::size_t len = 0;
};

struct Arena {
    std::vector<Op> node_ops;
    ArenaValues values;
};

std::uint64_t node_count(const Arena& arena);

// Node building; each returns the new node's id.
std::uint64_t new_var(Arena& arena);
std::uint64_t new_cst(Arena& arena, double value);
std::uint64_t new_two_nodes(Arena& arena, Kernel kernel, std::uint64_t a, std::uint64_t b);
std::uint64_t new_one_node(Arena& arena, Kernel kernel, std::uint64_t a);
std::uint64_t new_node_const(Arena& arena, Kernel kernel, std::uint64_t a, double c);

}  // namespace quarvex
