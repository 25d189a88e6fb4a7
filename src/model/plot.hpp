// Plot data of a model: every distinct element edge under its ordered vertex pair (i, j) as the
// element stores it (never sorted within the pair), with its end points (plot_dom) or its
// displaced end points and midpoint (plot_disp). Edges are listed by increasing i, then j.
// Where several elements have an edge under the same key, the last of them in element order
// gives its points.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "lacc/pages.hpp"
#include "model/nexus.hpp"

namespace quarvex {

struct PlotEdges {
    std::size_t points_per_edge = 2;               // 2: start, end; 3: start, midpoint, end
    PageVector<std::array<std::int32_t, 2>> keys;  // (i, j) of each edge
    PageVector<Point> points;                      // points_per_edge per edge, edge after edge
};

PlotEdges plot_dom(const Nexus& model);

// Fails with the index-out-of-bounds panic of the first element, in element order, one of
// whose first 30 numbers has no entry in sol (free) or bc (prescribed).
PlotEdges plot_disp(const Nexus& model);

// The same in two steps, for callers that hold the points elsewhere: the edges' keys, and
// for each slot 6 e + k (local edge k of element e) the edge it gives its points to (or
// kNoEdge); then the points, written into `points` of 2 (dom) or 3 (disp) per edge.
constexpr std::uint64_t kNoEdge = ~std::uint64_t{0};
struct PlotLayout {
    PageVector<std::array<std::int32_t, 2>> keys;
    PageVector<std::uint64_t> place;
};
PlotLayout plot_layout(const Nexus& model);
void plot_dom_points(const Nexus& model, const PlotLayout& layout, std::span<Point> points);
void plot_disp_points(const Nexus& model, const PlotLayout& layout, std::span<Point> points);

}  // namespace quarvex
