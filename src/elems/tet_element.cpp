#include "elems/tet_element.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "base/failure.hpp"

namespace quarvex {
namespace {

// The stiffness kernel puts the shape index in the vector lanes: lane b holds shape function
// b, lanes 10 and 11 are padding with zero gradients, so a row is three 4-wide vectors.
constexpr std::size_t kLanes = 12;
using ShapeLanes = std::array<double, kLanes>;
using LaneRows = std::array<ShapeLanes, kQuadPoints>;  // [q][b]
using LaneGrads = std::array<LaneRows, 3>;             // [j][q][b]

// The reference-gradient table with the shape index innermost: [j][q][b] = kRefGradTable[b][j][q].
constexpr LaneGrads kRefGradLanes = [] {
    LaneGrads lanes{};
    for (std::size_t dir = 0; dir < 3; ++dir)
        for (std::size_t q = 0; q < kQuadPoints; ++q)
            for (std::size_t shape = 0; shape < kShapes; ++shape) lanes[dir][q][shape] = kRefGradTable[shape][dir][q];
    return lanes;
}();

// Physical gradients of all ten shape functions at once, [r][q][b] = d phi_b / d x_r at q.
// The fused multiply-adds are those of shape_grads, so each value equals shape_grads(m, b)[r][q].
void physical_grad_lanes(const InverseJacobian& m, LaneGrads& grads) {
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t q = 0; q < kQuadPoints; ++q)
            for (std::size_t b = 0; b < kLanes; ++b)
                grads[r][q][b] =
                    std::fma(m[6 + r], kRefGradLanes[2][q][b],
                             std::fma(m[3 + r], kRefGradLanes[1][q][b], std::fma(m[r], kRefGradLanes[0][q][b], 0.0)));
}

// Element stiffness for the shape pair (a, b) and displacement components (c, d):
//   S_ab[j][l]    = |det J| * sum over q of w_q * dphi_a/dx_j(q) * dphi_b/dx_l(q)
//   K[3a+c][3b+d] = sum over j,l of S_ab[j][l] * D[3c+j][3d+l]
// D[3c+j][3d+l] is entry [j][l] of block (c, d) of cmat; no symmetry of D or of K is used.
// For one a, all ten b run in the vector lanes; the sum over q and the sum over (j, l) are
// fused multiply-add chains in index order, starting from +0. Every entry of the matrix is
// assigned once; a chain started from +0 never ends in -0, so this equals adding the sum
// into a zero-filled matrix.
}  // namespace

void element_stiffness(const ElementGeometry& geometry, const ExMat& cmat,
                       std::span<double, kElementMatrixSize> element_matrix) {
    std::array<Block3, 9> material;  // [3c + d]: block (c, d), visited in row-major block order
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t d = 0; d < 3; ++d) material[3 * c + d] = block(cmat, c, d);

    alignas(64) LaneGrads grads;
    physical_grad_lanes(geometry.inverse, grads);
    alignas(64) LaneGrads weighted_grads;  // w_q * dphi_b/dx_j(q)
    for (std::size_t j = 0; j < 3; ++j)
        for (std::size_t q = 0; q < kQuadPoints; ++q)
            for (std::size_t b = 0; b < kLanes; ++b) weighted_grads[j][q][b] = QUAD_WEIGHTS[q] * grads[j][q][b];

    const double abs_det_j = geometry.abs_det_j;
    for (std::size_t a = 0; a < kShapes; ++a) {
        alignas(64) std::array<ShapeLanes, 9> pair_products;  // [3j + l][b] = S_ab[j][l]
        for (std::size_t j = 0; j < 3; ++j) {
            PointValues weighted_grad_a;  // w_q * dphi_a/dx_j(q)
            for (std::size_t q = 0; q < kQuadPoints; ++q) weighted_grad_a[q] = weighted_grads[j][q][a];
            for (std::size_t l = 0; l < 3; ++l)
                for (std::size_t b = 0; b < kLanes; ++b) {
                    double sum = 0.0;
                    for (std::size_t q = 0; q < kQuadPoints; ++q)
                        sum = std::fma(weighted_grad_a[q], grads[l][q][b], sum);
                    pair_products[3 * j + l][b] = sum * abs_det_j;
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

namespace {

// Shape values with the shape index innermost: [q][a] = phi_a(q), lanes 10 and 11 zero.
constexpr std::array<ShapeLanes, kQuadPoints> kShapeValueLanes = [] {
    std::array<ShapeLanes, kQuadPoints> lanes{};
    for (std::size_t q = 0; q < kQuadPoints; ++q)
        for (std::size_t shape = 0; shape < kShapes; ++shape) lanes[q][shape] = kShapeValueTable[shape][q];
    return lanes;
}();

}  // namespace

// Element load vector: F[3a + i] = |det J| * sum over q of (phi_a(q) * v_i(q)) * w_q, where
// v_i are the values of load component i at the 14 physical quadrature points. The sum is a
// fused multiply-add chain over q from 0; the ten shape functions of one node run in the
// vector lanes.
void element_load(double abs_det_j, std::span<const double* const> load_values,
                  std::span<double, kLocalDofs> element_vector) {
    std::fill(element_vector.begin(), element_vector.end(), 0.0);
    for (std::size_t i = 0; i < load_values.size(); ++i) {
        const double* values = load_values[i];
        ShapeLanes sums{};  // [a]
        for (std::size_t q = 0; q < kQuadPoints; ++q)
            for (std::size_t a = 0; a < kLanes; ++a)
                sums[a] = std::fma(kShapeValueLanes[q][a] * values[q], QUAD_WEIGHTS[q], sums[a]);
        for (std::size_t a = 0; a < kShapes; ++a) {
            check_index(3 * a + i, kLocalDofs);
            element_vector[3 * a + i] = abs_det_j * sums[a];
        }
    }
}

bool is_nondegenerate(const ElementGeometry& geometry) {
    return std::isfinite(geometry.det_j) && geometry.det_j != 0.0 && std::isfinite(1.0 / geometry.det_j);
}

void check_nondegenerate(const Tet& tet, const ElementGeometry& geometry) {
    if (is_nondegenerate(geometry)) return;
    fail_degenerate_element(tet.verts, geometry.det_j);
}

ElementGeometry element_geometry(const Tet& tet) {
    ElementGeometry geometry;
    auto& J = geometry.jacobian;
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t j = 0; j < 3; ++j) J[r][j] = tet.pts[j + 1][r] - tet.pts[0][r];

    const double det = J[0][0] * (J[1][1] * J[2][2] - J[1][2] * J[2][1]) -
                       J[0][1] * (J[1][0] * J[2][2] - J[1][2] * J[2][0]) +
                       J[0][2] * (J[1][0] * J[2][1] - J[1][1] * J[2][0]);
    const double inv_det = 1.0 / det;  // infinite for a degenerate element, which tet_element refuses
    InverseJacobian& m = geometry.inverse;
    m[0] = (J[1][1] * J[2][2] - J[1][2] * J[2][1]) * inv_det;
    m[1] = (J[0][2] * J[2][1] - J[0][1] * J[2][2]) * inv_det;
    m[2] = (J[0][1] * J[1][2] - J[0][2] * J[1][1]) * inv_det;
    m[3] = (J[1][2] * J[2][0] - J[1][0] * J[2][2]) * inv_det;
    m[4] = (J[0][0] * J[2][2] - J[0][2] * J[2][0]) * inv_det;
    m[5] = (J[0][2] * J[1][0] - J[0][0] * J[1][2]) * inv_det;
    m[6] = (J[1][0] * J[2][1] - J[1][1] * J[2][0]) * inv_det;
    m[7] = (J[0][1] * J[2][0] - J[0][0] * J[2][1]) * inv_det;
    m[8] = (J[0][0] * J[1][1] - J[0][1] * J[1][0]) * inv_det;
    geometry.det_j = det;
    geometry.abs_det_j = std::fabs(det);
    return geometry;
}

QuadPointCoords quad_points(const Tet& tet) {
    QuadPointCoords points;
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t q = 0; q < kQuadPoints; ++q) {
            double coord = 0.0;
            for (std::size_t k = 0; k < 4; ++k) coord = std::fma(kBaryTable[k][q], tet.pts[k][r], coord);
            points[r][q] = coord;
        }
    return points;
}

}  // namespace quarvex
