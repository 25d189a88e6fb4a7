// What the straight and the curved 10-node kernels share: the tables with the shape index in
// the vector lanes (lane b holds shape function b; lanes 10 and 11 are padding with zero values
// and gradients, so a row is three 4-wide vectors), the inverse of a 3 x 3 Jacobian, and the
// element matrix from the shape functions' physical gradients at the quadrature points.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "base/bary.hpp"
#include "base/lagrange.hpp"
#include "base/tet.hpp"
#include "elems/exmat.hpp"

namespace quarvex {

inline constexpr std::size_t kLanes = 12;
using ShapeLanes = std::array<double, kLanes>;
using LaneRows = std::array<ShapeLanes, kQuadPoints>;  // [q][b]
using LaneGrads = std::array<LaneRows, 3>;             // [j][q][b]

// The reference-gradient table with the shape index innermost: [j][q][b] = kRefGradTable[b][j][q].
inline constexpr LaneGrads kRefGradLanes = [] {
    LaneGrads lanes{};
    for (std::size_t dir = 0; dir < 3; ++dir)
        for (std::size_t q = 0; q < kQuadPoints; ++q)
            for (std::size_t shape = 0; shape < kShapes; ++shape) lanes[dir][q][shape] = kRefGradTable[shape][dir][q];
    return lanes;
}();

// Shape values with the shape index innermost: [q][a] = phi_a(q).
inline constexpr std::array<ShapeLanes, kQuadPoints> kShapeValueLanes = [] {
    std::array<ShapeLanes, kQuadPoints> lanes{};
    for (std::size_t q = 0; q < kQuadPoints; ++q)
        for (std::size_t shape = 0; shape < kShapes; ++shape) lanes[q][shape] = kShapeValueTable[shape][q];
    return lanes;
}();

// m[3j + r] = (J^-1)[j][r], the adjugate times the reciprocal of det J formed once (infinite for
// a flat J, which the callers refuse); returns det J.
inline double invert_jacobian(const std::array<std::array<double, 3>, 3>& J, InverseJacobian& m) {
    const double det = J[0][0] * (J[1][1] * J[2][2] - J[1][2] * J[2][1]) -
                       J[0][1] * (J[1][0] * J[2][2] - J[1][2] * J[2][0]) +
                       J[0][2] * (J[1][0] * J[2][1] - J[1][1] * J[2][0]);
    const double inv_det = 1.0 / det;
    m[0] = (J[1][1] * J[2][2] - J[1][2] * J[2][1]) * inv_det;
    m[1] = (J[0][2] * J[2][1] - J[0][1] * J[2][2]) * inv_det;
    m[2] = (J[0][1] * J[1][2] - J[0][2] * J[1][1]) * inv_det;
    m[3] = (J[1][2] * J[2][0] - J[1][0] * J[2][2]) * inv_det;
    m[4] = (J[0][0] * J[2][2] - J[0][2] * J[2][0]) * inv_det;
    m[5] = (J[0][2] * J[1][0] - J[0][0] * J[1][2]) * inv_det;
    m[6] = (J[1][0] * J[2][1] - J[1][1] * J[2][0]) * inv_det;
    m[7] = (J[0][1] * J[2][0] - J[0][0] * J[2][1]) * inv_det;
    m[8] = (J[0][0] * J[1][1] - J[0][1] * J[1][0]) * inv_det;
    return det;
}

// dphi_b/dx_r at point q from the inverse Jacobian there: lanes[r][q][b], the fused
// multiply-adds of shape_grads.
inline void physical_grad_lanes_at(const InverseJacobian& m, std::size_t q, LaneGrads& grads) {
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t b = 0; b < kLanes; ++b)
            grads[r][q][b] =
                std::fma(m[6 + r], kRefGradLanes[2][q][b],
                         std::fma(m[3 + r], kRefGradLanes[1][q][b], std::fma(m[r], kRefGradLanes[0][q][b], 0.0)));
}

// The element matrix for the shape pair (a, b) and displacement components (c, d):
//   S_ab[j][l]    = scale * sum over q of weighted_grads[j][q][a] * grads[l][q][b]
//   K[3a+c][3b+d] = sum over j,l of S_ab[j][l] * D[3c+j][3d+l]
// (row-major 30 x 30, row 3a + c). For one a all ten b run in the vector lanes; no symmetry of
// D or K is used. The straight kernel weights by w_q and scales by |det J|, the curved one
// weights by w_q det J(q) and scales by 1.
inline void stiffness_from_gradients(const LaneGrads& grads, const LaneGrads& weighted_grads, double scale,
                                     const ExMat& cmat, std::span<double, kLocalDofs * kLocalDofs> element_matrix) {
    std::array<Block3, 9> material;  // [3c + d]: block (c, d), visited in row-major block order
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t d = 0; d < 3; ++d) material[3 * c + d] = block(cmat, c, d);
    for (std::size_t a = 0; a < kShapes; ++a) {
        alignas(64) std::array<ShapeLanes, 9> pair_products;  // [3j + l][b] = S_ab[j][l]
        for (std::size_t j = 0; j < 3; ++j) {
            PointValues weighted_grad_a;
            for (std::size_t q = 0; q < kQuadPoints; ++q) weighted_grad_a[q] = weighted_grads[j][q][a];
            for (std::size_t l = 0; l < 3; ++l)
                for (std::size_t b = 0; b < kLanes; ++b) {
                    double sum = 0.0;
                    for (std::size_t q = 0; q < kQuadPoints; ++q)
                        sum = std::fma(weighted_grad_a[q], grads[l][q][b], sum);
                    pair_products[3 * j + l][b] = sum * scale;
                }
        }
        for (std::size_t c = 0; c < 3; ++c) {
            alignas(64) std::array<ShapeLanes, 3> entries;  // [d][b] = K[3a+c][3b+d]
            for (std::size_t d = 0; d < 3; ++d) {
                const Block3& material_block = material[3 * c + d];
                for (std::size_t b = 0; b < kLanes; ++b) {
                    double sum = 0.0;
                    for (std::size_t jl = 0; jl < 9; ++jl)
                        sum = std::fma(pair_products[jl][b], material_block[jl], sum);
                    entries[d][b] = sum;
                }
            }
            double* row = element_matrix.data() + (3 * a + c) * kLocalDofs;
            for (std::size_t b = 0; b < kShapes; ++b)
                for (std::size_t d = 0; d < 3; ++d) row[3 * b + d] = entries[d][b];
        }
    }
}

}  // namespace quarvex
