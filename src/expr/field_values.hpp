// A vector field given by expressions, evaluated at an element's 14 quadrature points: nodes
// 0, 1, 2 are bound to x, y, z, every node is evaluated, and the values of the nodes listed
// for the components are read. Reading checks what each use requires of the listed nodes.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "base/bary.hpp"
#include "expr/arena.hpp"

namespace quarvex {

using PointCoords = std::array<PointValues, 3>;  // row r: coordinate r of the 14 points
using FieldValues = std::array<PointValues, 3>;  // row c: component c at the 14 points

// Binds x, y, z to the points and evaluates the graph into `state`.
void evaluate_at_points(std::span<const Op> ops, ArenaValues& state, const PointCoords& points);

// The three components of an exact field. Panics on a node list with fewer than three
// entries, a node id outside the arena, or a node without 14 values ("wrong length!").
FieldValues exact_field_values(const ArenaValues& state, std::span<const std::uint64_t> nodes);

// The values of the listed load nodes, one pointer to 14 values per node, in `out` (at least
// nodes.size() entries). Every node must exist and hold 14 values, checked in list order,
// and at most `max_nodes` may be listed (the index-out-of-bounds text for the first beyond).
void load_component_values(const ArenaValues& state, std::span<const std::uint64_t> nodes, std::uint64_t max_nodes,
                           std::span<const double*> out);

}  // namespace quarvex
