// The operators of the multigrid levels: run-format matrices (SprMat, here also rectangular,
// rows x cols), read with their own double values or with a float copy (the form in which the
// cycle reads them: half the memory traffic). Products run in parallel over rows like mul_vec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lacc/spr.hpp"

namespace quarvex {

// y = mat x; y has mat.rows entries, x mat.cols.
void level_mul(const SprMat& mat, std::span<const double> x, std::span<double> y);
// residual = rhs - mat x.
void level_residual(const SprMat& mat, std::span<const double> x, std::span<const double> rhs,
                    std::span<double> residual);

// The same products with the structure of `mat` and the values `values` in float; sums are
// formed in double.
void level_mul(const SprMat& mat, std::span<const float> values, std::span<const double> x, std::span<double> y);
// y = y + mat x.
void level_mul_add(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                   std::span<double> y);
// residual = rhs - mat x.
void level_residual(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                    std::span<const double> rhs, std::span<double> residual);
// residual = residual - mat x.
void level_mul_sub(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                   std::span<double> residual);

// The values rounded to float.
std::vector<float> float_values(const SprMat& mat);

// The first and one-past-last position in vals of row r.
inline std::size_t row_begin(const SprMat& mat, std::size_t r) {
    return mat.runs[static_cast<std::size_t>(mat.row_runs[r])].off;
}
inline std::size_t row_end(const SprMat& mat, std::size_t r) {
    return mat.runs[static_cast<std::size_t>(mat.row_runs[r + 1])].off;
}

// Calls visit(column, position in vals) for every stored entry of row r, in column order.
template <class Visit>
void for_each_entry(const SprMat& mat, std::size_t r, Visit&& visit) {
    const std::size_t first = static_cast<std::size_t>(mat.row_runs[r]);
    const std::size_t last = static_cast<std::size_t>(mat.row_runs[r + 1]);
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t off = mat.runs[t].off;
        const std::size_t len = mat.runs[t + 1].off - off;
        for (std::size_t k = 0; k < len; ++k) visit(static_cast<std::size_t>(mat.runs[t].col) + k, off + k);
    }
}

// Bytes held by the matrix's values and structure.
std::size_t matrix_bytes(const SprMat& mat);

}  // namespace quarvex
