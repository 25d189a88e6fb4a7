// Copying a 9 x 9 material matrix into the block matrix, including the partial copies left
// by short input, and the block index check.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <string>
#include <vector>

#include "base/failure.hpp"
#include "elems/exmat.hpp"

namespace {

using namespace quarvex;
using quarvex::test_support::panic_text;
using Rows = std::vector<std::vector<double>>;

// Entry (I, J) of a test matrix: 100 + 10 I + J, so every entry is distinct and non-zero.
Rows numbered(std::size_t rows, std::size_t cols) {
    Rows out(rows, std::vector<double>(cols));
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) out[i][j] = 100.0 + 10.0 * i + j;
    return out;
}

// D[I][J] as stored: block (I div 3, J div 3), inner entry [I mod 3][J mod 3].
double stored(const ExMat& cmat, std::size_t i, std::size_t j) {
    return block(cmat, i / 3, j / 3)[3 * (i % 3) + j % 3];
}

// Copied entries of a partly filled matrix: all of rows < full_rows, then `extra` entries of the next row.
void expect_copied(const ExMat& cmat, std::size_t full_rows, std::size_t extra) {
    for (std::size_t i = 0; i < 9; ++i)
        for (std::size_t j = 0; j < 9; ++j) {
            const bool copied = i < full_rows || (i == full_rows && j < extra);
            EXPECT_EQ(stored(cmat, i, j), copied ? 100.0 + 10.0 * i + j : -1.0) << "entry " << i << ", " << j;
        }
}

ExMat filled_with_minus_one() {
    ExMat cmat;
    for (Block3& entries : cmat.blocks) entries.fill(-1.0);
    return cmat;
}

TEST(SetMaterial, CopiesTheLeadingNineByNine) {
    for (const std::size_t size : {9u, 10u, 12u}) {
        ExMat cmat = filled_with_minus_one();
        set_material(cmat, numbered(size, size));
        expect_copied(cmat, 9, 0);
    }
}

struct ShortInput {
    const char* name;
    Rows rows;
    const char* message;
    std::size_t full_rows, extra;  // what was copied before the failure
};

TEST(SetMaterial, ShortInputStopsAtTheFirstMissingEntry) {
    Rows short_middle_row = numbered(9, 9);
    short_middle_row[4].resize(5);
    Rows short_last_row = numbered(10, 10);
    short_last_row[8].resize(2);
    const ShortInput cases[] = {
        {"nine rows of eight", numbered(9, 8), "index out of bounds: the len is 8 but the index is 8", 0, 8},
        {"eight rows of nine", numbered(8, 9), "index out of bounds: the len is 8 but the index is 8", 8, 0},
        {"no rows", Rows{}, "index out of bounds: the len is 0 but the index is 0", 0, 0},
        {"row 4 of five", short_middle_row, "index out of bounds: the len is 5 but the index is 5", 4, 5},
        {"row 8 of two", short_last_row, "index out of bounds: the len is 2 but the index is 2", 8, 2},
    };
    for (const ShortInput& input : cases) {
        SCOPED_TRACE(input.name);
        ExMat cmat = filled_with_minus_one();
        EXPECT_EQ(panic_text([&] { set_material(cmat, input.rows); }), input.message);
        expect_copied(cmat, input.full_rows, input.extra);
    }
}

TEST(ExMatBlock, BlockIndexIsChecked) {
    ExMat cmat;
    cmat.blocks.resize(5);
    EXPECT_EQ(panic_text([&] { block(cmat, 1, 1); }), "<no panic>");
    EXPECT_EQ(panic_text([&] { block(cmat, 1, 2); }), "index out of bounds: the len is 5 but the index is 5");
    EXPECT_EQ(panic_text([&] { set_material(cmat, numbered(9, 9)); }),
              "index out of bounds: the len is 5 but the index is 5");
}

}  // namespace
