#include "lacc/exmat.hpp"

#include "base/failure.hpp"

namespace quarvex {

const Block3& block(const ExMat& matrix, std::size_t r, std::size_t c) {
    const std::size_t index = matrix.block_cols * r + c;
    check_index(index, matrix.blocks.size());
    return matrix.blocks[index];
}

Block3& block(ExMat& matrix, std::size_t r, std::size_t c) {
    const std::size_t index = matrix.block_cols * r + c;
    check_index(index, matrix.blocks.size());
    return matrix.blocks[index];
}

}  // namespace quarvex
