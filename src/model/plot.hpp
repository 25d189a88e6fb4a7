// Plot data of a model: every element edge keyed by its ordered vertex pair, with its end
// points (plot_dom) or its displaced end points and midpoint (plot_disp). Chunks of elements
// fill their own maps, merged in chunk order: a later entry replaces an earlier one.
#pragma once

#include <array>
#include <unordered_map>

#include "model/nexus.hpp"

namespace quarvex {

using DomEdges = std::unordered_map<EdgeKey, std::array<Point, 2>, EdgeKeyHash>;
using DispEdges = std::unordered_map<EdgeKey, std::array<Point, 3>, EdgeKeyHash>;

DomEdges plot_dom(const Nexus& model);
DispEdges plot_disp(const Nexus& model);

}  // namespace quarvex
