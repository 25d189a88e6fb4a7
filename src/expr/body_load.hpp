// A vector field given by expressions: a private arena copy and the node ids of its three
// components (a node matrix of 3 rows, 1 column). Used for body loads and exact fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "expr/arena.hpp"

namespace quarvex {

struct BodyLoad {
    Arena arena;
    std::size_t rows = 3;
    std::size_t cols = 1;
    std::vector<std::uint64_t> nodes;
};

using LoadMap = std::unordered_map<std::int32_t, BodyLoad>;

}  // namespace quarvex
