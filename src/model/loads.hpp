// The material matrix and the body loads of a model.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "model/nexus.hpp"

namespace quarvex {

using TetKeySet = std::unordered_set<TetKey, TetKeyHash>;

// Copies the 9 x 9 material matrix (see set_material).
void set_cmat(Nexus& model, const std::vector<std::vector<double>>& cmat);

// Stores the body load of `group` (replacing an earlier one) and moves the elements whose
// vertex lists appear in `tets` into that group.
void set_f(Nexus& model, std::int32_t group, const TetKeySet& tets, Arena arena, std::vector<std::uint64_t> nodes);

}  // namespace quarvex
