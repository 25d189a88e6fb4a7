// The element routine of the 10-node quadratic tetrahedron and its geometry: the Jacobian
// J[r][j] = (p(j+1) - p0)[r], its determinant and row-major inverse m[3j + r] = (J^-1)[j][r],
// and the 14 physical quadrature points. The element matrix is 30 x 30 row-major, row 3a + c,
// column 3b + d; the element vector has entry 3a + c (a = shape index, c = component).
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "base/bary.hpp"
#include "base/lagrange.hpp"
#include "elems/body_load.hpp"
#include "elems/tet.hpp"
#include "lacc/exmat.hpp"

namespace quarvex {

constexpr std::size_t kElementMatrixSize = 900;
constexpr std::size_t kElementVectorSize = 30;

struct ElementGeometry {
    std::array<std::array<double, 3>, 3> jacobian{};  // J[r][j]
    double det_j = 0.0;
    InverseJacobian inverse{};  // adjugate times 1/det J, the reciprocal formed once
    double abs_det_j = 0.0;     // integration factor: elements of either orientation count
};

ElementGeometry element_geometry(const Tet& tet);

// Row r holds coordinate r of the 14 physical points: x(q)[r] = sum_k lambda_k(q) p_k[r],
// fused multiply-adds over k = 0..3 starting from 0.
using QuadPointCoords = std::array<PointValues, 3>;
QuadPointCoords quad_points(const Tet& tet);

// Overwrites both buffers with the element's stiffness matrix and body-load vector.
// `loads` is the caller's private copy of the model's load map: evaluating a load writes
// node values into its arena. The material matrix is used as stored (no symmetry assumed).
// An element whose det J is zero or not finite panics ("degenerate element ...").
void tet_element(const Tet& tet, std::span<double, kElementMatrixSize> element_matrix,
                 std::span<double, kElementVectorSize> element_vector, const ExMat& cmat, LoadMap& loads);

}  // namespace quarvex
