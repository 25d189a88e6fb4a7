#include "elems/tet_element.hpp"

#include "elems/tet_lanes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "base/failure.hpp"

namespace quarvex {

// Element stiffness for the shape pair (a, b) and displacement components (c, d):
//   S_ab[j][l]    = |det J| * sum over q of w_q * dphi_a/dx_j(q) * dphi_b/dx_l(q)
//   K[3a+c][3b+d] = sum over j,l of S_ab[j][l] * D[3c+j][3d+l]
// D[3c+j][3d+l] is entry [j][l] of block (c, d) of cmat; no symmetry of D or of K is used.
// For one a, all ten b run in the vector lanes; the sum over q and the sum over (j, l) are
// fused multiply-add chains in index order, starting from +0. Every entry of the matrix is
// assigned once; a chain started from +0 never ends in -0, so this equals adding the sum
// into a zero-filled matrix.

void element_stiffness(const ElementGeometry& geometry, const ExMat& cmat,
                       std::span<double, kElementMatrixSize> element_matrix) {
    alignas(64) LaneGrads grads;  // the gradients are the same at every point: J is constant
    for (std::size_t q = 0; q < kQuadPoints; ++q) physical_grad_lanes_at(geometry.inverse, q, grads);
    alignas(64) LaneGrads weighted_grads;  // w_q * dphi_b/dx_j(q)
    for (std::size_t j = 0; j < 3; ++j)
        for (std::size_t q = 0; q < kQuadPoints; ++q)
            for (std::size_t b = 0; b < kLanes; ++b) weighted_grads[j][q][b] = QUAD_WEIGHTS[q] * grads[j][q][b];
    stiffness_from_gradients(grads, weighted_grads, geometry.abs_det_j, cmat, element_matrix);
}

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

    const double det = invert_jacobian(J, geometry.inverse);  // infinite for a degenerate element, refused
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
