// Constraints on single unknowns of a symmetric system A x = b, applied in place so that any
// solver of A x = b meets them. A node's three unknowns may first be turned into a local frame
// (x' = R x, A' = T A T^T, b' = T b with T holding R on that node's block), so that a support
// along any direction is a constraint on one unknown. A constrained unknown d with value g then
// leaves the system by symmetric elimination: b_i -= A_id g for every other row i, row and
// column d are zeroed but for the diagonal, and b_d = A_dd g, x_d = g. The matrix stays
// symmetric positive definite and keeps its structure.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "lacc/spr.hpp"

namespace quarvex {

// Unknowns first .. first + 2 turned into the frame whose axes are the rows of `axes`
// (row-major 3 x 3, orthonormal).
struct NodeFrame {
    std::uint64_t first = 0;
    std::array<double, 9> axes{};
};

// Rows of the system as they were before elimination: row k (unknown unknowns[k]) holds
// cols[row_first[k]] .. cols[row_first[k + 1] - 1] with their values, and its load b.
struct SavedRows {
    std::vector<std::uint64_t> unknowns;
    std::vector<std::uint64_t> row_first = std::vector<std::uint64_t>(1, 0);
    std::vector<std::int32_t> cols;
    std::vector<double> vals;
    std::vector<double> loads;
};

// Checks the frames: each inside the matrix, orthonormal to 1e-10, no unknown in two frames.
// Throws Panic naming the first frame that fails.
void check_frames(const SprMat& mat, std::span<const NodeFrame> frames);

// Checks that every constrained unknown keeps a positive, finite diagonal entry once the frames
// are turned (A'_dd = r^T B r, B the node's diagonal block, r the unknown's axis). Throws
// Panic naming the first that does not.
void check_diagonals(const SprMat& mat, std::span<const std::uint64_t> unknowns, std::span<const NodeFrame> frames);

// A' = T A T^T, b' = T b, x' = T x. The three rows of a frame must share their columns (the
// unknowns of one node do). Throws Panic otherwise.
void rotate_frames(SprMat& mat, std::span<double> rhs, std::span<double> sol, std::span<const NodeFrame> frames);

// A copy of the rows `unknowns` (increasing) and of their loads.
SavedRows save_rows(const SprMat& mat, std::span<const double> rhs, std::span<const std::uint64_t> unknowns);

// Symmetric elimination of the unknowns (increasing, below mat.rows) with their values.
// Throws Panic, before anything changes, when a constrained unknown's diagonal entry is not
// positive and finite.
void eliminate(SprMat& mat, std::span<double> rhs, std::span<double> sol, std::span<const std::uint64_t> unknowns,
               std::span<const double> values);

}  // namespace quarvex
