// Array forms of the mesh and of the numbering: flat row-major arrays in, the same values
// that Nexus(pts, tets) and set_dof convert from their lists and dictionaries out, so the
// model operations (make_nexus, set_dof) are shared by both forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "api/nexus.hpp"

namespace quarvex {

// n x 3 coordinates, row-major, as n points.
std::vector<Point> points_from_rows(std::span<const double> coords);

// m x 4 vertex indices, row-major, as m tetrahedron keys. A 64-bit value is narrowed as it
// is: the caller checks the range first (first_outside_i32).
std::vector<TetKey> tet_keys_from_rows(std::span<const std::int32_t> indices);
std::vector<TetKey> tet_keys_from_rows(std::span<const std::int64_t> indices);

// Position of the first value outside the 32-bit signed range, or values.size() when all fit.
std::size_t first_outside_i32(std::span<const std::int64_t> values);

// The maps of set_dof: vertex ids[k] -> (ranges[2k], ranges[2k + 1]) and edge (keys[2k],
// keys[2k + 1]) -> (ranges[2k], ranges[2k + 1]). Entries go in in order, so a later entry of
// the same key replaces an earlier one, as in a dict built in that order. Panics when the
// ranges do not hold two numbers per key.
VertexDofMap vertex_dof_map(std::span<const std::int32_t> ids, std::span<const std::int32_t> ranges);
EdgeDofMap edge_dof_map(std::span<const std::int32_t> keys, std::span<const std::int32_t> ranges);

}  // namespace quarvex
