// Where each free unknown sits: the coordinates of its node (a vertex, or an edge midpoint)
// and its displacement component, read from the elements' numbering. Multigrid builds the
// rigid-body modes from them.
#pragma once

#include <cstdint>
#include <vector>

#include "model/nexus.hpp"

namespace quarvex {

struct DofNodes {
    std::vector<double> coordinates;       // 3 per free unknown, row-major
    std::vector<std::int32_t> components;  // 0, 1, 2 per free unknown
};

// Local degree of freedom 3a + c of an element is component c of its node a. Panics unless
// every free number below the matrix size is held by some element, with the text of the
// pattern builder ("index out of bounds: the len is 0 but the index is 0").
DofNodes dof_nodes(const Nexus& model);

}  // namespace quarvex
