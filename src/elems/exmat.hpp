// A dense matrix stored as a grid of 3 x 3 blocks; block (r, c) lies at index
// block_cols * r + c, its nine entries row-major. The material matrix D[3c+j][3d+l] of an
// elastic solid is block (c, d), inner entry [j][l].
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace quarvex {

using Block3 = std::array<double, 9>;

struct ExMat {
    std::size_t block_rows = 3;
    std::size_t block_cols = 3;
    std::vector<Block3> blocks = std::vector<Block3>(9, Block3{});
};

// Block (r, c); the block index is checked against the number of stored blocks.
const Block3& block(const ExMat& matrix, std::size_t r, std::size_t c);
Block3& block(ExMat& matrix, std::size_t r, std::size_t c);

// Copies the leading 9 x 9 part of `rows` into the material matrix: row I, entries 3k..3k+2,
// go to block (I div 3, k), inner row I mod 3. Rows and entries are copied in order; a missing
// row or entry panics with the index-out-of-bounds text, leaving what was copied before it.
void set_material(ExMat& cmat, const std::vector<std::vector<double>>& rows);

}  // namespace quarvex
