// The ten quadratic Lagrange shape functions (vertices 0..3, then the edges of kEdgeVertices)
// tabulated at the 14 quadrature points: values as one row of 14 f64 per function, reference
// gradients as three such rows (d/dxi1, d/dxi2, d/dxi3).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "base/bary.hpp"
#include "base/tet.hpp"

namespace quarvex {

constexpr std::size_t kShapes = 10;
using PointGrads = std::array<PointValues, 3>;  // row r: d/dx_r at the 14 points
using InverseJacobian = std::array<double, 9>;  // m[3j + r] = (J^-1)[j][r]

namespace lagrange_detail {

// d lambda_k / d xi: lambda_0 = 1 - xi1 - xi2 - xi3, lambda_k = xi_k.
inline constexpr std::array<std::array<double, 3>, 4> kBaryGrads = {{
    {-1.0, -1.0, -1.0},
    {1.0, 0.0, 0.0},
    {0.0, 1.0, 0.0},
    {0.0, 0.0, 1.0},
}};

}  // namespace lagrange_detail

// phi_a at the 14 points: vertex i gives lambda_i (2 lambda_i - 1), edge (i, j) 4 lambda_i lambda_j.
inline constexpr std::array<PointValues, kShapes> kShapeValueTable = [] {
    std::array<PointValues, kShapes> table{};
    for (std::size_t q = 0; q < kQuadPoints; ++q) {
        for (std::size_t i = 0; i < 4; ++i) {
            const double lambda = kBaryTable[i][q];
            table[i][q] = lambda * (2.0 * lambda - 1.0);
        }
        for (std::size_t edge = 0; edge < 6; ++edge) {
            const auto [i, j] = kEdgeVertices[edge];
            table[4 + edge][q] = 4.0 * kBaryTable[i][q] * kBaryTable[j][q];
        }
    }
    return table;
}();

// d phi_a / d xi(j+1) at the 14 points, row j: vertex i gives (4 lambda_i - 1) grad lambda_i,
// edge (i, j) gives 4 (lambda_i grad lambda_j + lambda_j grad lambda_i).
inline constexpr std::array<PointGrads, kShapes> kRefGradTable = [] {
    using lagrange_detail::kBaryGrads;
    std::array<PointGrads, kShapes> table{};
    for (std::size_t q = 0; q < kQuadPoints; ++q) {
        for (std::size_t dir = 0; dir < 3; ++dir) {
            for (std::size_t i = 0; i < 4; ++i) table[i][dir][q] = (4.0 * kBaryTable[i][q] - 1.0) * kBaryGrads[i][dir];
            for (std::size_t edge = 0; edge < 6; ++edge) {
                const auto [i, j] = kEdgeVertices[edge];
                table[4 + edge][dir][q] =
                    4.0 * (kBaryTable[i][q] * kBaryGrads[j][dir] + kBaryTable[j][q] * kBaryGrads[i][dir]);
            }
        }
    }
    return table;
}();

// phi_a at the 14 points, a = 0..9; any other a panics with "undefined index!".
PointValues shape_values(std::size_t a);

// Physical gradients of shape function a (J^-T applied to the reference gradient g):
//   out[r][q] = m[r] g0(q) + m[3+r] g1(q) + m[6+r] g2(q),
// as fused multiply-adds in the order j = 0, 1, 2 starting from 0. a > 9 panics.
PointGrads shape_grads(const InverseJacobian& m, std::size_t a);

// The same transform for a reference-gradient row set, without the index check.
inline PointGrads physical_grads(const InverseJacobian& m, const PointGrads& ref_grad) {
    PointGrads out;
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t q = 0; q < kQuadPoints; ++q)
            out[r][q] = std::fma(m[6 + r], ref_grad[2][q],
                                 std::fma(m[3 + r], ref_grad[1][q], std::fma(m[r], ref_grad[0][q], 0.0)));
    return out;
}

}  // namespace quarvex
