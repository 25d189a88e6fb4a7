// The run-format matrix: entry lookup, the product against a reference that follows the
// four-lane rounding, its length check, the reset, and the row locks under contention.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.hpp"
#include "lacc/lav.hpp"
#include "lacc/pattern.hpp"
#include "lacc/spr.hpp"

namespace quarvex {
namespace {

using test_support::make_tet;
using test_support::panic_text;
using test_support::reference_lane_dot;

// Rows 0..40 with the runs of lengths 1, 2, 3, 5, 7, 8 and 9 in every row of the first element
// (columns 0, 2-3, 5-7, 9-13, 15-21, 23-30, 32-40); the gap rows couple only with themselves.
SprMat lane_tail_matrix() {
    std::vector<Tet> tets{make_tet({{0, 1}, {2, 2}, {5, 3}, {9, 5}, {15, 7}, {23, 8}, {32, 9}})};
    for (const std::int32_t gap : {1, 4, 8, 14, 22, 31}) tets.push_back(make_tet({{gap, 1}}));
    return build_pattern(tets, 41);
}

std::vector<double> random_values(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> values(n);
    for (double& v : values) v = value(random);
    return values;
}

// The row's entries as (column, position) pairs, read from the layout directly.
std::vector<std::pair<std::int32_t, std::size_t>> row_entries(const SprMat& mat, std::size_t r) {
    std::vector<std::pair<std::int32_t, std::size_t>> entries;
    for (std::int32_t t = mat.row_runs[r]; t < mat.row_runs[r + 1]; ++t)
        for (std::uint32_t k = 0; mat.runs[t].off + k < mat.runs[t + 1].off; ++k)
            entries.push_back({mat.runs[t].col + static_cast<std::int32_t>(k), mat.runs[t].off + k});
    return entries;
}

TEST(SprLocate, EveryEntryOfEveryRow) {
    const SprMat mat = lane_tail_matrix();
    for (std::size_t r = 0; r < mat.rows; ++r)
        for (const auto& [col, position] : row_entries(mat, r))
            EXPECT_EQ(locate(mat, r, col), position) << r << "," << col;
}

TEST(SprLocate, NeighbourRowLocked) {
    SprMat mat = lane_tail_matrix();
    lock_row(mat, 1);  // row 0 reads its end from row 1's entry
    EXPECT_EQ(locate(mat, 0, 40), 34u);
    EXPECT_EQ(locate(mat, 0, 32), 26u);
    unlock_row(mat, 1);
}

TEST(SprProduct, EmptyMatrix) {
    const SprMat mat;
    std::vector<double> x, y;
    mul_vec(mat, x, y);
    EXPECT_TRUE(y.empty());
}

TEST(SprProduct, EveryLaneTailBitForBit) {
    SprMat mat = lane_tail_matrix();
    const std::vector<double> values = random_values(mat.vals.size(), 7);
    mat.vals.assign(values.begin(), values.end());
    const std::vector<double> x = random_values(mat.cols, 8);
    std::vector<double> y(mat.rows, std::nan(""));
    mul_vec(mat, x, y);
    for (std::size_t r = 0; r < mat.rows; ++r) {
        double s = 0.0, kernel_sum = 0.0;  // the reference, and the solver's lane kernel itself
        for (std::int32_t t = mat.row_runs[r]; t < mat.row_runs[r + 1]; ++t) {
            const std::size_t len = mat.runs[t + 1].off - mat.runs[t].off;
            s = s + reference_lane_dot(&mat.vals[mat.runs[t].off], &x[mat.runs[t].col], len);
            kernel_sum = kernel_sum + lane_dot(&mat.vals[mat.runs[t].off], &x[mat.runs[t].col], len);
        }
        EXPECT_EQ(y[r], s) << "row " << r;
        EXPECT_EQ(y[r], kernel_sum) << "row " << r;
    }
    // Row 0 against the plain sum, to catch a reference that shares a fault with the product.
    double plain = 0.0;
    for (const auto& [col, position] : row_entries(mat, 0)) plain += mat.vals[position] * x[col];
    EXPECT_NEAR(y[0], plain, 1e-13);
}

// Runs of every length from 1 to 13 (the product spells out 3, 6, 9 and 12) in one row, with
// zeros of both signs, against the reference bit for bit.
TEST(SprProduct, EveryRunLengthBitForBit) {
    std::vector<DofRange> ranges;
    std::vector<Tet> tets;
    std::int32_t next = 0;
    for (std::int32_t length = 1; length <= 13; ++length) {
        ranges.push_back({next, length});
        tets.push_back(make_tet({{next + length, 1}}));  // the gap column, a row of its own
        next += length + 1;
    }
    tets.push_back(make_tet(ranges));
    SprMat mat = build_pattern(tets, static_cast<std::uint64_t>(next));
    std::vector<double> values = random_values(mat.vals.size(), 11);
    std::vector<double> x = random_values(mat.cols, 12);
    for (std::size_t k = 0; k < values.size(); k += 5) values[k] = (k % 10 == 0) ? 0.0 : -0.0;
    for (std::size_t k = 0; k < x.size(); k += 7) x[k] = -0.0;
    mat.vals.assign(values.begin(), values.end());
    std::vector<double> y(mat.rows, std::nan(""));
    mul_vec(mat, x, y);
    for (std::size_t r = 0; r < mat.rows; ++r) {
        double s = 0.0;
        for (std::int32_t t = mat.row_runs[r]; t < mat.row_runs[r + 1]; ++t)
            s = s + reference_lane_dot(&mat.vals[mat.runs[t].off], &x[mat.runs[t].col],
                                       mat.runs[t + 1].off - mat.runs[t].off);
        EXPECT_EQ(std::signbit(y[r]), std::signbit(s)) << "row " << r;
        EXPECT_EQ(y[r], s) << "row " << r;
    }
}

TEST(SprProduct, LengthMismatch) {
    const SprMat mat = lane_tail_matrix();
    const std::string message = "assertion failed: self.0.cols == rhs.len() && self.0.cols == self.1.len()";
    for (const auto& [x_len, y_len] : {std::pair{40, 41}, std::pair{41, 42}, std::pair{0, 0}}) {
        std::vector<double> x(x_len), y(y_len, 5.0);
        EXPECT_EQ(panic_text([&] { mul_vec(mat, x, y); }), message);
        EXPECT_EQ(y, std::vector<double>(y_len, 5.0));  // nothing written
    }
}

TEST(SprReset, ZeroValuesKeepsStructure) {
    SprMat mat = lane_tail_matrix();
    const SprMat before = mat;
    const std::vector<double> values = random_values(mat.vals.size(), 3);
    mat.vals.assign(values.begin(), values.end());
    zero_values(mat);
    EXPECT_EQ(mat.vals, before.vals);
    EXPECT_EQ(mat.row_runs, before.row_runs);
}

TEST(SprLock, SignBitHoldsTheLock) {
    SprMat mat = lane_tail_matrix();
    const std::vector<std::int32_t> unlocked = mat.row_runs;
    lock_row(mat, 3);
    lock_row(mat, 4);
    EXPECT_EQ(mat.row_runs[3], -unlocked[3]);
    EXPECT_EQ(row_start(mat, 3), unlocked[3]);
    EXPECT_EQ(row_start(mat, 4), unlocked[4]);
    unlock_row(mat, 3);
    unlock_row(mat, 4);
    EXPECT_EQ(mat.row_runs, unlocked);
}

// Threads add 1.0 to every entry of randomly chosen rows under the row lock, the way assembly
// adds element rows: the row is read whole, then written back, so an unprotected row loses
// updates. Neighbouring rows are locked at the same time. Every sum must be exact.
TEST(SprLock, ConcurrentAddsAreExact) {
    const std::vector<Tet> tets{make_tet({{0, 6}}), make_tet({{3, 6}}), make_tet({{6, 3}, {0, 3}})};
    SprMat mat = build_pattern(tets, 9);
    constexpr int kThreads = 4;
    constexpr int kRounds = 300000;
    std::vector<std::vector<int>> visits(kThreads, std::vector<int>(mat.rows, 0));
    std::atomic<int> waiting{kThreads};
    std::vector<std::thread> threads;
    for (int id = 0; id < kThreads; ++id)
        threads.emplace_back([&mat, &visits, &waiting, id] {
            std::mt19937 random(static_cast<unsigned>(id) + 11);
            std::vector<double> row;
            waiting.fetch_sub(1);
            while (waiting.load() > 0) std::this_thread::yield();  // start together
            for (int round = 0; round < kRounds; ++round) {
                const std::size_t r = random() % mat.rows;
                lock_row(mat, r);
                const std::uint32_t first = mat.runs[static_cast<std::size_t>(row_start(mat, r))].off;
                const std::uint32_t end = mat.runs[static_cast<std::size_t>(row_start(mat, r + 1))].off;
                row.assign(mat.vals.begin() + first, mat.vals.begin() + end);
                for (std::size_t k = 0; k < row.size(); ++k) mat.vals[first + k] = row[k] + 1.0;
                unlock_row(mat, r);
                ++visits[id][r];
            }
        });
    for (std::thread& thread : threads) thread.join();
    for (std::size_t r = 0; r < mat.rows; ++r) {
        int total = 0;
        for (const auto& counts : visits) total += counts[r];
        for (const auto& [col, position] : row_entries(mat, r)) ASSERT_EQ(mat.vals[position], total) << r << "," << col;
        EXPECT_GT(mat.row_runs[r], 0);
    }
}

}  // namespace
}  // namespace quarvex
