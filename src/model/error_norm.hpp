// The L2 norm of the difference between the discrete displacement and an exact field given
// by expressions, summed over chunks of elements.
#pragma once

#include <cstdint>
#include <vector>

#include "expr/arena.hpp"
#include "model/nexus.hpp"

namespace quarvex {

double error(const Nexus& model, const Arena& arena, const std::vector<std::uint64_t>& nodes);

}  // namespace quarvex
