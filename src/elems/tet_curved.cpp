#include "elems/tet_curved.hpp"

#include "elems/tet_lanes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "base/failure.hpp"

namespace quarvex {
namespace {

[[noreturn]] void fail_folded_element(std::size_t element, std::size_t point, double det_j) {
    char det_text[32];
    std::snprintf(det_text, sizeof det_text, "%.17g", det_j);
    panic("element " + std::to_string(element) + " is folded: its isoparametric map has det J = " + det_text +
          " at quadrature point " + std::to_string(point) + " (it must be positive)");
}

}  // namespace

NodePoints node_points(const Tet& tet, const EdgePoints& edge_points) {
    NodePoints nodes;
    std::copy(tet.pts.begin(), tet.pts.end(), nodes.begin());
    std::copy(edge_points.begin(), edge_points.end(), nodes.begin() + 4);
    return nodes;
}

CurvedGeometry curved_geometry(const NodePoints& nodes) {
    CurvedGeometry geometry;
    for (std::size_t q = 0; q < kQuadPoints; ++q) {
        std::array<std::array<double, 3>, 3> J{};
        for (std::size_t a = 0; a < kShapes; ++a)
            for (std::size_t r = 0; r < 3; ++r)
                for (std::size_t j = 0; j < 3; ++j) J[r][j] = std::fma(nodes[a][r], kRefGradTable[a][j][q], J[r][j]);
        const double det = invert_jacobian(J, geometry.inverse[q]);  // a flat point: check_unfolded refuses
        geometry.det_j[q] = det;
    }
    return geometry;
}

std::size_t first_folded_point(const CurvedGeometry& geometry) {
    for (std::size_t q = 0; q < kQuadPoints; ++q) {
        const double det = geometry.det_j[q];
        if (!(std::isfinite(det) && det > 0.0 && std::isfinite(1.0 / det))) return q;
    }
    return kQuadPoints;
}

void check_unfolded(std::size_t element, const CurvedGeometry& geometry) {
    const std::size_t point = first_folded_point(geometry);
    if (point < kQuadPoints) fail_folded_element(element, point, geometry.det_j[point]);
}

QuadPointCoords curved_quad_points(const NodePoints& nodes) {
    QuadPointCoords points;
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t q = 0; q < kQuadPoints; ++q) {
            double coord = 0.0;
            for (std::size_t a = 0; a < kShapes; ++a) coord = std::fma(kShapeValueTable[a][q], nodes[a][r], coord);
            points[r][q] = coord;
        }
    return points;
}

// Element stiffness for the shape pair (a, b) and displacement components (c, d):
//   S_ab[j][l]    = sum over q of w_q * det J(q) * dphi_a/dx_j(q) * dphi_b/dx_l(q)
//   K[3a+c][3b+d] = sum over j,l of S_ab[j][l] * D[3c+j][3d+l]
// with the physical gradients dphi/dx = J(q)^-T dphi/dxi at each point. As in the affine
// kernel, for one a all ten b run in the vector lanes and no symmetry of D or K is used.
void curved_stiffness(const CurvedGeometry& geometry, const ExMat& cmat,
                      std::span<double, kElementMatrixSize> element_matrix) {
    alignas(64) LaneGrads grads;           // [r][q][b] = dphi_b/dx_r at q
    alignas(64) LaneGrads weighted_grads;  // w_q * det J(q) * dphi_b/dx_j(q)
    for (std::size_t q = 0; q < kQuadPoints; ++q) {
        physical_grad_lanes_at(geometry.inverse[q], q, grads);
        const double weight = QUAD_WEIGHTS[q] * geometry.det_j[q];
        for (std::size_t r = 0; r < 3; ++r)
            for (std::size_t b = 0; b < kLanes; ++b) weighted_grads[r][q][b] = weight * grads[r][q][b];
    }
    stiffness_from_gradients(grads, weighted_grads, 1.0, cmat, element_matrix);
}

// Element load vector: F[3a + i] = sum over q of phi_a(q) * v_i(q) * w_q * det J(q), where v_i
// are the values of load component i at the 14 physical quadrature points.
void curved_load(const CurvedGeometry& geometry, std::span<const double* const> load_values,
                 std::span<double, kLocalDofs> element_vector) {
    std::fill(element_vector.begin(), element_vector.end(), 0.0);
    PointValues point_weights;
    for (std::size_t q = 0; q < kQuadPoints; ++q) point_weights[q] = QUAD_WEIGHTS[q] * geometry.det_j[q];
    for (std::size_t i = 0; i < load_values.size(); ++i) {
        const double* values = load_values[i];
        ShapeLanes sums{};  // [a]
        for (std::size_t q = 0; q < kQuadPoints; ++q)
            for (std::size_t a = 0; a < kLanes; ++a)
                sums[a] = std::fma(kShapeValueLanes[q][a] * values[q], point_weights[q], sums[a]);
        for (std::size_t a = 0; a < kShapes; ++a) {
            check_index(3 * a + i, kLocalDofs);
            element_vector[3 * a + i] = sums[a];
        }
    }
}

}  // namespace quarvex
