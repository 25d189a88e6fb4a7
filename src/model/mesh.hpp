// Building a model from points and tetrahedra: one self-contained element record per
// tetrahedron, with copies of its vertex positions; the point list itself is not kept.
#pragma once

#include <span>

#include "model/nexus.hpp"

namespace quarvex {

// A vertex index outside the point list is the index-out-of-bounds panic (a negative index
// reported as its unsigned 64-bit two's-complement value).
Nexus make_nexus(std::span<const Point> pts, std::span<const TetKey> tets);

}  // namespace quarvex
