// Reading an exact field's three components at an element's 14 quadrature points:
// nodes 0, 1, 2 of the arena are bound to x, y, z, the arena is evaluated, and the values
// of the nodes listed for the components are read.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "base/bary.hpp"
#include "lacc/arena.hpp"

namespace quarvex {

using FieldValues = std::array<PointValues, 3>;  // row c: component c at the 14 points

// `points` row r holds coordinate r of the 14 points. Panics on a node list with fewer
// than three entries, a node id outside the arena, or a node without 14 values.
FieldValues field_values(Arena& arena, std::span<const std::uint64_t> nodes, const std::array<PointValues, 3>& points);

}  // namespace quarvex
