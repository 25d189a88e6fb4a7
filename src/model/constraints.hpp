// Supports that fix single components of a node, or components along a node's own axes, in
// a model's assembled system: the system is turned into the nodes' frames and the constrained
// unknowns eliminated in place (lacc/constrain.hpp), after its rows were saved for the
// reactions. Every solver of the model's system then meets the constraints.
#pragma once

#include <cstdint>
#include <span>

#include "lacc/constrain.hpp"
#include "model/nexus.hpp"

namespace quarvex {

// Turns the frames, saves the constrained rows (in the frames) with their loads, then
// eliminates: unknowns[k] takes values[k]. Unknowns must increase strictly, values be finite.
// Throws Panic on a check that fails, before the model changes.
SavedRows constrain(Nexus& model, std::span<const std::uint64_t> unknowns, std::span<const double> values,
                    std::span<const NodeFrame> frames);

}  // namespace quarvex
