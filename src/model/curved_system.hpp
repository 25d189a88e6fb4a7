// Curved elements of a model: the positions of the edge nodes of the elements whose edges are
// not straight, and one such element's contribution to the global system (the curved analogue
// of element_system.hpp). The other elements keep the affine kernel. slot[e] is the row of
// edge_points that element e takes, or -1 for a straight element.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "elems/tet_curved.hpp"
#include "model/element_system.hpp"
#include "model/nexus.hpp"

namespace quarvex {

struct CurvedElements {
    std::vector<std::int64_t> slot;  // per element of the model; empty when no element is curved
    std::vector<EdgePoints> edge_points;
};

// The record for a model of `element_count` elements from the curved elements' indices and
// their edge-node coordinates (18 values each, edge by edge, x y z). Panics with the
// index-out-of-bounds text on an index beyond the elements, and on an element listed twice
// ("element 4 is listed twice among the curved elements").
CurvedElements curved_elements(std::size_t element_count, std::span<const std::int64_t> elements,
                               std::span<const double> edge_coords);

// Whether element e is curved.
inline bool is_curved(const CurvedElements& curved, std::size_t e) {
    return !curved.slot.empty() && curved.slot[e] >= 0;
}

// Overwrites both buffers with the stiffness matrix and body-load vector of curved element
// `element`, panicking (check_unfolded) where its map folds. The load is evaluated at the
// curved element's own quadrature points.
void curved_tet_element(std::size_t element, const Tet& tet, const EdgePoints& edge_points,
                        std::span<double, kElementMatrixSize> element_matrix,
                        std::span<double, kLocalDofs> element_vector, const ExMat& cmat, const LoadMap& loads,
                        LoadValues& load_values);

}  // namespace quarvex
