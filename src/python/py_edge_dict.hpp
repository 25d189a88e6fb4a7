// The plot results of Nexus as Python objects: {(i, j): (start, end)} or {(i, j): (start,
// midpoint, end)}, points as (x, y, z) tuples, entries in the edges' (i, j) order.
#pragma once

#include "model/plot.hpp"
#include "python/py_ref.hpp"

namespace quarvex {

// Equal objects are made once where that is cheap to see: the int of a vertex index, and the
// tuple of a vertex's end point, shared by the edges at that vertex whose value for it is the
// same bit for bit. The new tuples hold only numbers and such tuples, so they are left out of
// the cyclic garbage collector's tracking, as the collector itself would do on its next pass;
// a million edges then cost no collection over all of them.
PyRef to_edge_dict(const PlotEdges& edges);

}  // namespace quarvex
