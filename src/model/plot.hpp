// Plot data of a model: every distinct element edge under its ordered vertex pair (i, j) as the
// element stores it (never sorted within the pair), with its end points (plot_dom) or its
// displaced end points and midpoint (plot_disp). Edges are listed by increasing i, then j.
// Where several elements have an edge under the same key, the last of them in element order
// gives its points.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "lacc/pages.hpp"
#include "model/nexus.hpp"

namespace quarvex {

struct PlotEdges {
    std::size_t points_per_edge = 2;                 // 2: start, end; 3: start, midpoint, end
    PageVector<std::array<std::int32_t, 2>> keys;    // (i, j) of each edge
    PageVector<Point> points;                        // points_per_edge per edge, edge after edge
};

PlotEdges plot_dom(const Nexus& model);

// Fails with the index-out-of-bounds panic of the first element, in element order, one of
// whose first 30 numbers has no entry in sol (free) or bc (prescribed).
PlotEdges plot_disp(const Nexus& model);

}  // namespace quarvex
