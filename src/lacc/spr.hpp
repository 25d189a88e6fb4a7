// The global matrix in run format: row r owns the runs |row_runs[r]| .. |row_runs[r+1]| - 1,
// each run a stretch of consecutive columns whose values lie contiguously in `vals`.
// runs[0] is a dummy (col 0, off 0) and the last run a sentinel (col 0, off nnz), so the
// length of run t is runs[t+1].off - runs[t].off and every row_runs entry is at least 1.
// While assembling, a negative row_runs[r] means row r is locked. Values and runs are
// PageVectors, so a new matrix's zeros cost no pass that writes them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lacc/pages.hpp"

namespace quarvex {

struct Run {
    std::int32_t col = 0;
    std::uint32_t off = 0;
    friend bool operator==(const Run&, const Run&) = default;
};

struct SprMat {
    PageVector<double> vals;
    std::vector<std::int32_t> row_runs = std::vector<std::int32_t>(1, 1);
    PageVector<Run> runs = PageVector<Run>(2, Run{});
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
};

// The first and one-past-last position in vals of row r (of a matrix no task is locking).
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

// Position in `vals` of entry (r, c); c must lie in row r's pattern.
std::size_t locate(const SprMat& mat, std::size_t r, std::int32_t c);

// Position in `vals` of entry (r, c), or SIZE_MAX when c is not in row r's structure.
std::size_t find_entry(const SprMat& mat, std::size_t r, std::size_t c);

// mat[rows[k], cols[k]] += values[k] for every k. Throws Panic, before anything changes, for an
// entry outside the structure or a value that is not finite.
void add_entries(SprMat& mat, std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                 std::span<const double> values);

// Row locks in the sign bit of row_runs (acquire on lock, release on unlock).
void lock_row(SprMat& mat, std::size_t r);
void unlock_row(SprMat& mat, std::size_t r);
// |row_runs[r]|, safe to read while other rows are locked.
std::int32_t row_start(const SprMat& mat, std::size_t r);

// y = mat * x, in parallel over rows.
void mul_vec(const SprMat& mat, std::span<const double> x, std::span<double> y);

// The 2-norm of |A| |x| (absolute values entry by entry): times the unit roundoff, the size of
// the rounding error in forming A x, below which no solve can bring b - A x.
double abs_product_norm(const SprMat& mat, std::span<const double> x);

// Sets every stored value to 0.0, keeping the structure.
void zero_values(SprMat& mat);

}  // namespace quarvex
