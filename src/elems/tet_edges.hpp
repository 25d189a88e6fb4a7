// Per-element records of the plot output: the six edges of an element in the order of
// kEdgeVertices, keyed by the ordered pair of vertex indices as stored (never sorted).
#pragma once

#include <array>
#include <span>

#include "base/tet.hpp"

namespace quarvex {

struct DomEdge {
    std::array<std::int32_t, 2> key;
    std::array<Point, 2> points;  // start vertex, end vertex
};

struct DispEdge {
    std::array<std::int32_t, 2> key;
    std::array<Point, 3> points;  // displaced start vertex, edge midpoint, end vertex
};

std::array<DomEdge, 6> dom_edges(const Tet& tet);

// Reads the element's displacements from sol (free numbers) and bc (prescribed numbers);
// an index outside either list is the index-out-of-bounds panic.
std::array<DispEdge, 6> disp_edges(const Tet& tet, std::span<const double> sol, std::span<const double> bc);

// The value of degree of freedom d: sol[d] for d >= 0, bc[-d] for d < 0, range-checked.
double dof_value(std::int64_t d, std::span<const double> sol, std::span<const double> bc);

}  // namespace quarvex
