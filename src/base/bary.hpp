// The 14-point quadrature rule on the reference tetrahedron (exact to degree 5) and the
// barycentric coordinates at its points, in the fixed point order.
#pragma once

#include <array>
#include <cstddef>

namespace quarvex {

constexpr std::size_t kQuadPoints = 14;
using PointValues = std::array<double, kQuadPoints>;

extern const PointValues QUAD_WEIGHTS;

// lambda_k at the 14 points, k = 0..3; any other k panics with "undefined index!".
PointValues bary_values(std::size_t k);

}  // namespace quarvex
