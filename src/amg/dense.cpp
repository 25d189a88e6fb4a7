// Dense Cholesky factor of the coarsest multigrid level, column by column:
//   L(j, j) = sqrt(A(j, j) - sum_{k<j} L(j, k)^2),
//   L(i, j) = (A(i, j) - sum_{k<j} L(i, k) L(j, k)) / L(j, j)   for i > j, in parallel over i.
#include "amg/dense.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "amg/failure.hpp"
#include "amg/matrix.hpp"
#include "base/failure.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// Below this many multiply-adds a column is finished on the calling thread.
constexpr std::size_t kParallelColumnWork = 32768;
constexpr double kPivotFloor = 1e-14;

std::size_t packed_row(std::size_t i) {
    return i * (i + 1) / 2;
}

}  // namespace

DenseCholesky factor_dense(const SprMat& mat) {
    const std::size_t n = mat.rows;
    DenseCholesky factor{n, std::vector<double>(packed_row(n), 0.0)};
    double* const lower = factor.lower.data();
    std::vector<double> diagonal(n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for_each_entry(mat, i, [&](std::size_t col, std::size_t pos) {
            if (col <= i) lower[packed_row(i) + col] = mat.vals[pos];
            if (col == i) diagonal[i] = mat.vals[pos];
        });
    for (std::size_t j = 0; j < n; ++j) {
        double* const row_j = lower + packed_row(j);
        const double pivot = row_j[j] - lane_dot(row_j, row_j, j);
        if (!(pivot > kPivotFloor * std::abs(diagonal[j])) || !std::isfinite(pivot))
            refuse_not_definite("pivot " + number_text(pivot) + " in row " + std::to_string(j) +
                                " of the coarsest level's factor");
        const double root = std::sqrt(pivot);
        row_j[j] = root;
        const auto column = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = j + 1 + begin; i < j + 1 + end; ++i) {
                double* const row_i = lower + packed_row(i);
                row_i[j] = (row_i[j] - lane_dot(row_i, row_j, j)) / root;
            }
        };
        if ((n - j - 1) * j < kParallelColumnWork)
            column(0, n - j - 1);
        else
            parallel_ranges(n - j - 1, column);
    }
    return factor;
}

void solve_dense(const DenseCholesky& factor, std::span<const double> b, std::span<double> x, std::size_t width) {
    const std::size_t n = factor.n;
    if (width == 0 || b.size() != n * width || x.size() != n * width)
        panic("multigrid: coarse solve of " + std::to_string(n) + " unknowns met vectors of " +
              std::to_string(b.size()) + " and " + std::to_string(x.size()) + " entries in " + std::to_string(width) +
              " columns");
    const double* const lower = factor.lower.data();
    if (width == 1) {
        // L y = b, row by row.
        for (std::size_t i = 0; i < n; ++i) {
            const double* const row_i = lower + packed_row(i);
            x[i] = (b[i] - lane_dot(row_i, x.data(), i)) / row_i[i];
        }
        // L^T x = y, from the last row: x(i) = y(i) / L(i, i), then y(k) -= L(i, k) x(i) for k < i.
        for (std::size_t i = n; i-- > 0;) {
            const double* const row_i = lower + packed_row(i);
            const double value = x[i] / row_i[i];
            x[i] = value;
            for (std::size_t k = 0; k < i; ++k) x[k] = std::fma(-row_i[k], value, x[k]);
        }
        return;
    }
    // The same substitutions on interleaved columns, the innermost loop over the columns.
    std::vector<double> sums(width);
    for (std::size_t i = 0; i < n; ++i) {
        const double* const row_i = lower + packed_row(i);
        for (std::size_t c = 0; c < width; ++c) sums[c] = b[i * width + c];
        for (std::size_t k = 0; k < i; ++k)
            for (std::size_t c = 0; c < width; ++c) sums[c] = std::fma(-row_i[k], x[k * width + c], sums[c]);
        for (std::size_t c = 0; c < width; ++c) x[i * width + c] = sums[c] / row_i[i];
    }
    for (std::size_t i = n; i-- > 0;) {
        const double* const row_i = lower + packed_row(i);
        for (std::size_t c = 0; c < width; ++c) x[i * width + c] = x[i * width + c] / row_i[i];
        for (std::size_t k = 0; k < i; ++k)
            for (std::size_t c = 0; c < width; ++c)
                x[k * width + c] = std::fma(-row_i[k], x[i * width + c], x[k * width + c]);
    }
}

}  // namespace quarvex
