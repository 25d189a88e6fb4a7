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
#include "base/tet.hpp"
#include "elems/exmat.hpp"

namespace quarvex {

constexpr std::size_t kElementMatrixSize = kLocalDofs * kLocalDofs;

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

// Whether det J is finite and nonzero with a finite reciprocal: otherwise the element has no
// inverse Jacobian and its matrix would not be finite.
bool is_nondegenerate(const ElementGeometry& geometry);

// Panics ("degenerate element ...") unless is_nondegenerate(geometry).
void check_nondegenerate(const Tet& tet, const ElementGeometry& geometry);

// Overwrites the buffer with the element's stiffness matrix. The material matrix is used as
// stored (no symmetry assumed).
void element_stiffness(const ElementGeometry& geometry, const ExMat& cmat,
                       std::span<double, kElementMatrixSize> element_matrix);

// Overwrites the buffer with the element's body-load vector; component i of the load has the
// 14 values load_values[i] at the quadrature points (at most 30 components; entry 3a + i
// beyond the vector panics). No components give the zero vector.
void element_load(double abs_det_j, std::span<const double* const> load_values,
                  std::span<double, kLocalDofs> element_vector);

}  // namespace quarvex
