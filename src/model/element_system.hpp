// One element's contribution to the global system as assembly computes it: its geometry, the
// degenerate-element check, its body load evaluated into the chunk's own evaluation state,
// then the element routines of elems/. The loads' graphs are shared by every chunk; only
// their evaluation state is per chunk, copied when a chunk first meets a load group.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>

#include "elems/tet_element.hpp"
#include "expr/body_load.hpp"

namespace quarvex {

// Evaluation state of each load group a chunk has met (a chunk's scratch).
using LoadValues = std::unordered_map<std::int32_t, ArenaValues>;

// The values of a body load's components at an element's 14 quadrature points: one past the 30
// components a vector can take is enough to report a longer node list.
using LoadComponents = std::array<const double*, kLocalDofs + 1>;

// Evaluates the body load of `group` (if it has one) at the physical points `points` and points
// `components` at its components' values; returns their count (0 without a load).
std::size_t body_load_components(std::int32_t group, const QuadPointCoords& points, const LoadMap& loads,
                                 LoadValues& load_values, LoadComponents& components);

// Whether `group` has a body load (and its points need computing).
inline bool has_body_load(std::int32_t group, const LoadMap& loads) {
    return loads.find(group) != loads.end();
}

// Overwrites both buffers with the element's stiffness matrix and body-load vector. An
// element whose group has no load gets the zero vector.
void tet_element(const Tet& tet, std::span<double, kElementMatrixSize> element_matrix,
                 std::span<double, kLocalDofs> element_vector, const ExMat& cmat, const LoadMap& loads,
                 LoadValues& load_values);

}  // namespace quarvex
