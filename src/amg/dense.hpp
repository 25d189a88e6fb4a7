// The coarsest level's exact solve: a dense Cholesky factor A = L L^T of a small symmetric
// positive definite matrix. L is kept packed by rows: row i holds L(i, 0) .. L(i, i) and
// starts at i (i + 1) / 2, so every inner product runs over contiguous memory.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "lacc/spr.hpp"

namespace quarvex {

struct DenseCholesky {
    std::size_t n = 0;
    std::vector<double> lower;  // packed rows of L
};

// Factors the symmetric matrix `mat` (its lower triangle is read). Throws Panic naming the
// failing row when a pivot is not positive, or not finite, or below 1e-14 of its diagonal
// entry (the matrix is then not positive definite, or numerically singular).
DenseCholesky factor_dense(const SprMat& mat);

// x = A^-1 b through the factor; x and b may be the same vector. With `width` > 1 both hold
// that many interleaved columns (entry i of column c at i * width + c), each solved alike.
void solve_dense(const DenseCholesky& factor, std::span<const double> b, std::span<double> x, std::size_t width = 1);

}  // namespace quarvex
