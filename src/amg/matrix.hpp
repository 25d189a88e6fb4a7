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

// Every product takes `width` columns at once (1 .. kMaxWidth), stored interleaved: entry i of
// column c at i * width + c, so that each stored value is read once for all columns. Products
// of several columns may be told `groups`, the first rows of groups of rows that store the same
// columns (a level's node ranges, NodeRanges::starts, followed by the row count): they then take
// three rows of a group at a time without comparing their structure.
inline constexpr std::size_t kMaxWidth = 16;

// y = mat x; y has mat.rows entries (per column), x mat.cols.
void level_mul(const SprMat& mat, std::span<const double> x, std::span<double> y, std::size_t width = 1,
               std::span<const std::int32_t> groups = {});
// residual = rhs - mat x.
void level_residual(const SprMat& mat, std::span<const double> x, std::span<const double> rhs,
                    std::span<double> residual, std::size_t width = 1, std::span<const std::int32_t> groups = {});

// The same products with the structure of `mat` and the values `values` in float; sums are
// formed in double.
void level_mul(const SprMat& mat, std::span<const float> values, std::span<const double> x, std::span<double> y,
               std::size_t width = 1, std::span<const std::int32_t> groups = {});
// y = y + mat x.
void level_mul_add(const SprMat& mat, std::span<const float> values, std::span<const double> x, std::span<double> y,
                   std::size_t width = 1, std::span<const std::int32_t> groups = {});
// residual = rhs - mat x.
void level_residual(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                    std::span<const double> rhs, std::span<double> residual, std::size_t width = 1,
                    std::span<const std::int32_t> groups = {});
// residual = residual - mat x.
void level_mul_sub(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                   std::span<double> residual, std::size_t width = 1, std::span<const std::int32_t> groups = {});

// `count` floats, zero; on the calling thread, with a check for Ctrl-C between steps of 64 MB
// (the zeros of a large level's values take tenths of a second).
std::vector<float> interruptible_floats(std::size_t count);

// The values rounded to float.
std::vector<float> float_values(const SprMat& mat);

// Bytes held by the matrix's values and structure.
std::size_t matrix_bytes(const SprMat& mat);

}  // namespace quarvex
