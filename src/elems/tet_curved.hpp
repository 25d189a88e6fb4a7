// The isoparametric 10-node tetrahedron: the element's ten node positions (vertices 0..3,
// then the edge nodes in the order of kEdgeVertices) map the reference element by the same
// quadratic shape functions as the displacement, so edges and faces may be curved. Its
// Jacobian, determinant and inverse vary over the element and are kept at each of the 14
// quadrature points; matrices and vectors have the layout of tet_element.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bary.hpp"
#include "base/lagrange.hpp"
#include "base/tet.hpp"
#include "elems/exmat.hpp"
#include "elems/tet_element.hpp"

namespace quarvex {

using EdgePoints = std::array<Point, 6>;   // edge node positions in local edge order
using NodePoints = std::array<Point, 10>;  // vertices, then the edge nodes

struct CurvedGeometry {
    std::array<InverseJacobian, kQuadPoints> inverse{};  // at each point: m[3j + r] = (J^-1)[j][r]
    PointValues det_j{};                                 // det J at each point
};

// The element's ten node positions: the Tet's vertex copies, then the given edge nodes.
NodePoints node_points(const Tet& tet, const EdgePoints& edge_points);

// J[r][j](q) = sum over a of x_a[r] * dphi_a/dxi_j(q), its determinant and inverse at each point.
CurvedGeometry curved_geometry(const NodePoints& nodes);

// The first quadrature point whose det J is not positive and finite with a finite reciprocal
// (the map folds or flattens there), or kQuadPoints when there is none.
std::size_t first_folded_point(const CurvedGeometry& geometry);

// Panics ("element 7 is folded: ...", naming the point and its det J) when first_folded_point
// finds one.
void check_unfolded(std::size_t element, const CurvedGeometry& geometry);

// Row r holds coordinate r of the 14 physical points: x(q)[r] = sum over a of phi_a(q) x_a[r].
QuadPointCoords curved_quad_points(const NodePoints& nodes);

// Overwrites the buffer with the element's stiffness matrix (the layout of element_stiffness).
void curved_stiffness(const CurvedGeometry& geometry, const ExMat& cmat,
                      std::span<double, kElementMatrixSize> element_matrix);

// Overwrites the buffer with the element's body-load vector (the contract of element_load,
// with det J taken at each point).
void curved_load(const CurvedGeometry& geometry, std::span<const double* const> load_values,
                 std::span<double, kLocalDofs> element_vector);

}  // namespace quarvex
