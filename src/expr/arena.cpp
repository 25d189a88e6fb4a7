#include "expr/arena.hpp"

namespace quarvex {
namespace {

std::uint64_t push_node(Arena& arena, Op op, Dyr value) {
    const std::uint64_t id = arena.node_ops.size();
    arena.values.node_values.push_back(std::move(value));
    try {
        arena.node_ops.push_back(op);
    } catch (...) {
        arena.values.node_values.pop_back();  // keep the two lists of equal length
        throw;
    }
    return id;
}

}  // namespace

std::uint64_t node_count(const Arena& arena) {
    return arena.node_ops.size();
}

std::uint64_t new_var(Arena& arena) {
    return push_node(arena, Op{}, Dyr{});
}

std::uint64_t new_cst(Arena& arena, double value) {
    return push_node(arena, Op{}, Dyr{1, 1, std::vector<double>{value}});
}

std::uint64_t new_two_nodes(Arena& arena, Kernel kernel, std::uint64_t a, std::uint64_t b) {
    return push_node(arena, Op{OpKind::TwoNodes, kernel, a, b, 0.0}, Dyr{});
}

std::uint64_t new_one_node(Arena& arena, Kernel kernel, std::uint64_t a) {
    return push_node(arena, Op{OpKind::OneNode, kernel, a, 0, 0.0}, Dyr{});
}

std::uint64_t new_node_const(Arena& arena, Kernel kernel, std::uint64_t a, double c) {
    return push_node(arena, Op{OpKind::NodeConst, kernel, a, 0, c}, Dyr{});
}

}  // namespace quarvex
