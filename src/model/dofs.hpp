// The caller's numbering of degrees of freedom: ranges per vertex and per ordered edge key,
// appended to every element in local node order.
#pragma once

#include <string>

#include "model/dof_table.hpp"
#include "model/nexus.hpp"

namespace quarvex {

using VertexDofMap = DofTable<std::int32_t>;
using EdgeDofMap = DofTable<EdgeKey>;

// Appends to every element the ranges of its vertices, then of its edges under the key
// (verts[i], verts[j]) of each local edge (i, j), merging a range into the previous one when
// it continues it; vertices and edges without an entry add nothing.
// An edge found only under the reversed key is marked in model.reversed_edges.
void set_dof(Nexus& model, const VertexDofMap& ver_dof, const EdgeDofMap& edge_dof);

// The warning about the first element (in element order) with an edge that set_dof found only
// under the reversed key, or "" when there is none.
std::string reversed_edge_warning(const Nexus& model);

}  // namespace quarvex
