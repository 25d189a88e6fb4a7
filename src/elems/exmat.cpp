#include "elems/exmat.hpp"

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

void set_material(ExMat& cmat, const std::vector<std::vector<double>>& rows) {
    for (std::size_t row_index = 0; row_index < 9; ++row_index) {
        check_index(row_index, rows.size());
        const std::vector<double>& row = rows[row_index];
        for (std::size_t block_col = 0; block_col < 3; ++block_col) {
            Block3& target = block(cmat, row_index / 3, block_col);
            for (std::size_t inner_col = 0; inner_col < 3; ++inner_col) {
                const std::size_t entry = 3 * block_col + inner_col;
                check_index(entry, row.size());
                target[3 * (row_index % 3) + inner_col] = row[entry];
            }
        }
    }
}

}  // namespace quarvex
