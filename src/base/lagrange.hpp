// The ten quadratic Lagrange shape functions (vertices 0..3, then edges (0,1), (1,2),
// (0,2), (0,3), (1,3), (2,3)) tabulated at the 14 quadrature points.
#pragma once

#include <array>
#include <cstddef>

#include "base/bary.hpp"

namespace quarvex {

constexpr std::size_t kShapes = 10;
using PointGrads = std::array<PointValues, 3>;  // row r: d/dx_r at the 14 points
using InverseJacobian = std::array<double, 9>;  // m[3j + r] = (J^-1)[j][r]

PointValues shape_values(std::size_t a);
// Physical gradients of shape function a: out[r][q] = m[r] g0(q) + m[3+r] g1(q) + m[6+r] g2(q).
PointGrads shape_grads(const InverseJacobian& m, std::size_t a);

}  // namespace quarvex
