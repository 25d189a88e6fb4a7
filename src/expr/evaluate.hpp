// Batch evaluation of an arena: binding input values to nodes and computing every node from
// its operands. Both write only an ArenaValues, never the graph, so chunks of a parallel loop
// share one graph and each evaluates into its own copy of the values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "expr/arena.hpp"

namespace quarvex {

// Makes node k an input of the batch: its block 0 becomes `values`, derivative block `seed`
// (0 = none) all ones. A new shape (typ, values.size()) is spread over every node first.
void bind_values(ArenaValues& state, std::uint64_t k, std::span<const double> values, std::size_t seed,
                 std::size_t typ);

// Computes every non-Leaf node of `ops` from its operands into `state`, in id order.
void evaluate(std::span<const Op> ops, ArenaValues& state);

}  // namespace quarvex
