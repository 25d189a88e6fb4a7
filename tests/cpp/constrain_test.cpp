// Supports in the assembled system: node frames turned into the matrix (T A T^T, T b, T x),
// symmetric elimination of constrained unknowns, the saved rows, entry lookup and addition, the
// refusals with their texts, constrain on a model, and multigrid on a box with skew rollers.
// The answers come from dense matrices built and solved plainly here.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "amg/amg.hpp"
#include "base/failure.hpp"
#include "expr/arena.hpp"
#include "lacc/constrain.hpp"
#include "lacc/lav.hpp"
#include "lacc/pattern.hpp"
#include "lacc/spr.hpp"
#include "model/assembly.hpp"
#include "model/constraints.hpp"
#include "model/loads.hpp"
#include "model/multigrid.hpp"
#include "model/system.hpp"

namespace quarvex {
namespace {

using test_support::make_tet;
using test_support::panic_text;
using test_support::plain;
using test_support::random_vector;
using Dense = std::vector<std::vector<double>>;
using Axes = std::array<double, 9>;

constexpr std::size_t kUnknowns = 15;  // five nodes of three unknowns
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr Axes kIdentity = {1, 0, 0, 0, 1, 0, 0, 0, 1};

// First axis r = (1, 1, 1) / sqrt 3: the stiffness r^T B r along it is the sum of the node's
// block entries over 3, so it can be negative while the block's own diagonal is positive.
const Axes kDiagonalAxes = {1 / std::sqrt(3.0), 1 / std::sqrt(3.0),  1 / std::sqrt(3.0),
                            1 / std::sqrt(2.0), -1 / std::sqrt(2.0), 0,
                            1 / std::sqrt(6.0), 1 / std::sqrt(6.0),  -2 / std::sqrt(6.0)};

// Test names from the cases' names.
struct CaseName {
    template <class Info>
    std::string operator()(const Info& info) const {
        return info.param.name;
    }
};

// The values' bit patterns: a NaN equals itself, and -0.0 differs from 0.0.
template <class Values>
std::vector<std::uint64_t> bits(const Values& values) {
    std::vector<std::uint64_t> out;
    for (const double v : values) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}

// ---- A small coupled matrix and its dense algebra -------------------------------------------

// The columns of each node's rows, as [begin, end) stretches: node 0 couples with 1, node 1
// with 2 and 4, node 2 with 4, node 3 with 4.
const std::vector<std::vector<std::pair<std::size_t, std::size_t>>> kNodeColumns = {
    {{0, 6}}, {{0, 9}, {12, 15}}, {{3, 9}, {12, 15}}, {{9, 15}}, {{3, 15}}};

SprMat coupled_pattern() {
    const std::vector<Tet> tets{make_tet({{0, 6}}), make_tet({{3, 6}, {12, 3}}), make_tet({{9, 6}})};
    return build_pattern(tets, kUnknowns);
}

std::vector<std::int32_t> expected_columns(std::size_t row) {
    std::vector<std::int32_t> cols;
    for (const auto& [begin, end] : kNodeColumns[row / 3])
        for (std::size_t c = begin; c < end; ++c) cols.push_back(static_cast<std::int32_t>(c));
    return cols;
}

bool in_structure(std::size_t row, std::size_t col) {
    for (const auto& [begin, end] : kNodeColumns[row / 3])
        if (begin <= col && col < end) return true;
    return false;
}

// coupled_pattern() with symmetric values: off the diagonal from [-1, 1), on it 20, which
// outweighs the at most 11 other entries of a row, so the matrix is positive definite.
SprMat coupled_matrix(unsigned seed) {
    SprMat mat = coupled_pattern();
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (std::size_t r = 0; r < mat.rows; ++r)
        for_each_entry(mat, r, [&](std::size_t col, std::size_t position) {
            if (col < r)
                mat.vals[position] = mat.vals[locate(mat, col, static_cast<std::int32_t>(r))];
            else
                mat.vals[position] = col == r ? 20.0 : value(random);
        });
    return mat;
}

Dense dense(const SprMat& mat) {
    Dense out(mat.rows, std::vector<double>(mat.cols, 0.0));
    for (std::size_t r = 0; r < mat.rows; ++r)
        for_each_entry(mat, r, [&](std::size_t col, std::size_t position) { out[r][col] = mat.vals[position]; });
    return out;
}

Dense transpose(const Dense& a) {
    Dense out(a[0].size(), std::vector<double>(a.size()));
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < a[0].size(); ++j) out[j][i] = a[i][j];
    return out;
}

Dense multiply(const Dense& a, const Dense& b) {
    Dense out(a.size(), std::vector<double>(b[0].size(), 0.0));
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t k = 0; k < b.size(); ++k)
            for (std::size_t j = 0; j < b[0].size(); ++j) out[i][j] += a[i][k] * b[k][j];
    return out;
}

std::vector<double> multiply(const Dense& a, const std::vector<double>& x) {
    std::vector<double> out(a.size(), 0.0);
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < x.size(); ++j) out[i] += a[i][j] * x[j];
    return out;
}

// x with a x = b, by Gaussian elimination with partial pivoting.
std::vector<double> solve_dense(Dense a, std::vector<double> b) {
    const std::size_t n = b.size();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t pivot = k;
        for (std::size_t i = k + 1; i < n; ++i)
            if (std::fabs(a[i][k]) > std::fabs(a[pivot][k])) pivot = i;
        std::swap(a[k], a[pivot]);
        std::swap(b[k], b[pivot]);
        for (std::size_t i = k + 1; i < n; ++i) {
            const double factor = a[i][k] / a[k][k];
            for (std::size_t j = k; j < n; ++j) a[i][j] -= factor * a[k][j];
            b[i] -= factor * b[k];
        }
    }
    std::vector<double> x(n);
    for (std::size_t k = n; k-- > 0;) {
        double sum = b[k];
        for (std::size_t j = k + 1; j < n; ++j) sum -= a[k][j] * x[j];
        x[k] = sum / a[k][k];
    }
    return x;
}

// A rotation from a random unit quaternion (w, x, y, z), its rows as a frame's axes.
Axes random_rotation(std::mt19937& random) {
    std::normal_distribution<double> normal;
    double w = normal(random), x = normal(random), y = normal(random), z = normal(random);
    const double length = std::sqrt(w * w + x * x + y * y + z * z);
    w /= length;
    x /= length;
    y /= length;
    z /= length;
    return {1 - 2 * (y * y + z * z), 2 * (x * y - z * w),     2 * (x * z + y * w),
            2 * (x * y + z * w),     1 - 2 * (x * x + z * z), 2 * (y * z - x * w),
            2 * (x * z - y * w),     2 * (y * z + x * w),     1 - 2 * (x * x + y * y)};
}

std::vector<NodeFrame> random_frames(const std::vector<std::uint64_t>& firsts, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<NodeFrame> frames;
    for (const std::uint64_t first : firsts) frames.push_back({first, random_rotation(random)});
    return frames;
}

// T: the identity, with each frame's axes R on its node's diagonal block.
Dense frame_matrix(std::size_t n, const std::vector<NodeFrame>& frames) {
    Dense t(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) t[i][i] = 1.0;
    for (const NodeFrame& frame : frames)
        for (std::size_t a = 0; a < 3; ++a)
            for (std::size_t b = 0; b < 3; ++b) t[frame.first + a][frame.first + b] = frame.axes[3 * a + b];
    return t;
}

// Symmetric elimination written out: b_i -= A_id g_d for every free i, then row and column d
// cleared but for A_dd, b_d = A_dd g_d, x_d = g_d.
void eliminate_dense(Dense& a, std::vector<double>& b, std::vector<double>& x,
                     const std::vector<std::uint64_t>& unknowns, const std::vector<double>& values) {
    std::vector<bool> held(b.size(), false);
    for (const std::uint64_t d : unknowns) held[d] = true;
    for (std::size_t i = 0; i < b.size(); ++i)
        if (!held[i])
            for (std::size_t k = 0; k < unknowns.size(); ++k) b[i] -= a[i][unknowns[k]] * values[k];
    for (std::size_t k = 0; k < unknowns.size(); ++k) {
        const std::size_t d = unknowns[k];
        for (std::size_t j = 0; j < b.size(); ++j)
            if (j != d) a[d][j] = a[j][d] = 0.0;
        b[d] = a[d][d] * values[k];
        x[d] = values[k];
    }
}

void expect_near(const Dense& actual, const Dense& expected, double tolerance, const char* what) {
    for (std::size_t i = 0; i < expected.size(); ++i)
        for (std::size_t j = 0; j < expected[i].size(); ++j)
            EXPECT_NEAR(actual[i][j], expected[i][j], tolerance) << what << " entry (" << i << ", " << j << ")";
}

void expect_near(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance,
                 const char* what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << what << " entry " << i;
}

// ---- rotate_frames ---------------------------------------------------------------------------

struct FrameCase {
    const char* name;
    std::vector<std::uint64_t> firsts;
    friend void PrintTo(const FrameCase& c, std::ostream* out) { *out << c.name; }
};

class RotateFrames : public testing::TestWithParam<FrameCase> {};

TEST_P(RotateFrames, MatchesDenseProducts) {
    const std::vector<NodeFrame> frames = random_frames(GetParam().firsts, 5);
    SprMat mat = coupled_matrix(1);
    const Dense before = dense(mat);
    const std::vector<std::int32_t> row_runs = mat.row_runs;
    const std::vector<quarvex::Run> runs = plain(mat.runs);  // a bare Run is testing::Test::Run here
    const std::vector<double> rhs_before = random_vector(kUnknowns, 2), sol_before = random_vector(kUnknowns, 3);
    std::vector<double> rhs = rhs_before, sol = sol_before;
    rotate_frames(mat, rhs, sol, frames);

    const Dense t = frame_matrix(kUnknowns, frames);
    expect_near(dense(mat), multiply(multiply(t, before), transpose(t)), 1e-12, "T A T^T");
    expect_near(rhs, multiply(t, rhs_before), 1e-14, "T b");
    expect_near(sol, multiply(t, sol_before), 1e-14, "T x");
    EXPECT_EQ(mat.row_runs, row_runs);
    EXPECT_EQ(plain(mat.runs), runs);
}

INSTANTIATE_TEST_SUITE_P(Cases, RotateFrames,
                         testing::Values(FrameCase{"first_node", {0}}, FrameCase{"last_node", {12}},
                                         FrameCase{"coupled_nodes", {3, 12}}, FrameCase{"uncoupled_nodes", {0, 9}},
                                         FrameCase{"every_node", {0, 3, 6, 9, 12}}),
                         CaseName{});

// ---- eliminate --------------------------------------------------------------------------------

struct EliminationCase {
    const char* name;
    std::vector<std::uint64_t> unknowns;
    std::vector<double> values;
    friend void PrintTo(const EliminationCase& c, std::ostream* out) { *out << c.name; }
};

class Eliminate : public testing::TestWithParam<EliminationCase> {};

TEST_P(Eliminate, MatchesDenseEliminationAndMeetsTheConstraints) {
    const EliminationCase& c = GetParam();
    SprMat mat = coupled_matrix(11);
    const Dense a = dense(mat);
    const std::vector<double> rhs_before = random_vector(kUnknowns, 12), sol_before = random_vector(kUnknowns, 13);
    std::vector<double> rhs = rhs_before, sol = sol_before;
    eliminate(mat, rhs, sol, c.unknowns, c.values);

    Dense expected = a;
    std::vector<double> expected_rhs = rhs_before, expected_sol = sol_before;
    eliminate_dense(expected, expected_rhs, expected_sol, c.unknowns, c.values);
    const Dense after = dense(mat);
    expect_near(after, expected, 1e-14, "eliminated A");
    expect_near(rhs, expected_rhs, 1e-13, "eliminated b");
    EXPECT_EQ(sol, expected_sol);
    for (std::size_t i = 0; i < kUnknowns; ++i)
        for (std::size_t j = 0; j < i; ++j) EXPECT_EQ(after[i][j], after[j][i]) << "entry (" << i << ", " << j << ")";

    // The eliminated system's solution takes the values and satisfies the free rows of A x = b.
    const std::vector<double> x = solve_dense(after, rhs);
    const std::vector<double> product = multiply(a, x);
    std::vector<bool> held(kUnknowns, false);
    for (std::size_t k = 0; k < c.unknowns.size(); ++k) {
        held[c.unknowns[k]] = true;
        EXPECT_NEAR(x[c.unknowns[k]], c.values[k], 1e-13) << "constrained unknown " << c.unknowns[k];
    }
    for (std::size_t i = 0; i < kUnknowns; ++i)
        if (!held[i]) {
            EXPECT_NEAR(product[i], rhs_before[i], 1e-12) << "residual of free row " << i;
        }
}

INSTANTIATE_TEST_SUITE_P(Cases, Eliminate,
                         testing::Values(EliminationCase{"none", {}, {}}, EliminationCase{"held_at_zero", {4}, {0.0}},
                                         EliminationCase{"with_a_value", {4}, {0.75}},
                                         EliminationCase{"two_coupled_to_each_other", {4, 5}, {0.3, -1.2}},
                                         EliminationCase{"two_uncoupled", {1, 10}, {-0.4, 2.0}},
                                         EliminationCase{"last_unknown", {14}, {2.5}},
                                         EliminationCase{
                                             "a_whole_node_and_more", {6, 7, 8, 13}, {0.1, 0.2, -0.3, 1.5}}),
                         CaseName{});

std::vector<std::int32_t> saved_columns(const SavedRows& saved, std::size_t k) {
    return {saved.cols.begin() + static_cast<std::ptrdiff_t>(saved.row_first[k]),
            saved.cols.begin() + static_cast<std::ptrdiff_t>(saved.row_first[k + 1])};
}

// ---- save_rows, find_entry, add_entries --------------------------------------------------------

TEST(SaveRows, RowsAndLoadsAsBeforeElimination) {
    const std::vector<std::vector<std::uint64_t>> cases = {{}, {2, 7, 14}, {3, 4, 5, 13}};
    for (const std::vector<std::uint64_t>& unknowns : cases) {
        SCOPED_TRACE(testing::PrintToString(unknowns));
        SprMat mat = coupled_matrix(4);
        const Dense before = dense(mat);
        const std::vector<double> rhs_before = random_vector(kUnknowns, 5);
        std::vector<double> rhs = rhs_before, sol(kUnknowns, 0.0);
        const SavedRows saved = save_rows(mat, rhs, unknowns);
        eliminate(mat, rhs, sol, unknowns, std::vector<double>(unknowns.size(), 1.0));

        EXPECT_EQ(saved.unknowns, unknowns);
        ASSERT_EQ(saved.row_first.size(), unknowns.size() + 1);
        ASSERT_EQ(saved.loads.size(), unknowns.size());
        EXPECT_EQ(saved.row_first[0], 0u);
        EXPECT_EQ(saved.row_first.back(), saved.cols.size());
        ASSERT_EQ(saved.vals.size(), saved.cols.size());
        for (std::size_t k = 0; k < unknowns.size(); ++k) {
            const std::size_t d = unknowns[k];
            EXPECT_EQ(saved_columns(saved, k), expected_columns(d)) << "row " << d;
            for (std::size_t p = saved.row_first[k]; p < saved.row_first[k + 1]; ++p)
                EXPECT_EQ(saved.vals[p], before[d][static_cast<std::size_t>(saved.cols[p])]) << "row " << d;
            EXPECT_EQ(saved.loads[k], rhs_before[d]) << "row " << d;
        }
    }
}

// Every pair, inside the columns and past them: SIZE_MAX exactly outside the structure, and
// inside it the position that locate finds.
TEST(FindEntry, EveryPairInAndOutOfTheStructure) {
    const SprMat mat = coupled_pattern();
    for (std::size_t r = 0; r < kUnknowns; ++r)
        for (std::size_t c = 0; c < kUnknowns + 3; ++c) {
            const std::size_t position = find_entry(mat, r, c);
            if (c < kUnknowns && in_structure(r, c))
                EXPECT_EQ(position, locate(mat, r, static_cast<std::int32_t>(c))) << "(" << r << ", " << c << ")";
            else
                EXPECT_EQ(position, SIZE_MAX) << "(" << r << ", " << c << ")";
        }
}

TEST(AddEntries, RepeatedEntriesAddUpAndOthersStay) {
    SprMat mat = coupled_matrix(6);
    const std::vector<std::uint64_t> rows{0, 14, 0, 3, 0, 12};
    const std::vector<std::uint64_t> cols{1, 3, 1, 12, 1, 14};
    const std::vector<double> values{0.5, -2.0, 0.25, 3.0, -1.0, 1e-3};
    Dense expected = dense(mat);
    for (std::size_t k = 0; k < rows.size(); ++k) expected[rows[k]][cols[k]] += values[k];
    add_entries(mat, rows, cols, values);
    const Dense after = dense(mat);
    for (std::size_t i = 0; i < kUnknowns; ++i)
        for (std::size_t j = 0; j < kUnknowns; ++j)
            EXPECT_EQ(after[i][j], expected[i][j]) << "entry (" << i << ", " << j << ")";
}

// ---- Refusals of the matrix operations: the text, and nothing changed ---------------------------

struct MatrixRefusal {
    const char* name;
    std::function<void(SprMat&)> prepare;  // a change made before the call, or empty
    std::function<void(SprMat&, std::vector<double>&, std::vector<double>&)> call;
    std::string message;
    friend void PrintTo(const MatrixRefusal& c, std::ostream* out) { *out << c.name; }
};

class MatrixRefusals : public testing::TestWithParam<MatrixRefusal> {};

TEST_P(MatrixRefusals, NameTheFaultAndChangeNothing) {
    const MatrixRefusal& c = GetParam();
    SprMat mat = coupled_matrix(7);
    if (c.prepare) c.prepare(mat);
    const std::vector<std::uint64_t> vals = bits(mat.vals);
    const std::vector<double> rhs_before = random_vector(kUnknowns, 8), sol_before = random_vector(kUnknowns, 9);
    std::vector<double> rhs = rhs_before, sol = sol_before;
    EXPECT_EQ(panic_text([&] { c.call(mat, rhs, sol); }), c.message);
    EXPECT_EQ(bits(mat.vals), vals);
    EXPECT_EQ(rhs, rhs_before);
    EXPECT_EQ(sol, sol_before);
}

using Frames = std::vector<NodeFrame>;

std::function<void(SprMat&, std::vector<double>&, std::vector<double>&)> rotating(Frames frames) {
    return [frames](SprMat& mat, std::vector<double>& rhs, std::vector<double>& sol) {
        rotate_frames(mat, rhs, sol, frames);
    };
}

std::function<void(SprMat&, std::vector<double>&, std::vector<double>&)> eliminating(
    std::vector<std::uint64_t> unknowns, std::vector<double> values) {
    return [unknowns, values](SprMat& mat, std::vector<double>& rhs, std::vector<double>& sol) {
        eliminate(mat, rhs, sol, unknowns, values);
    };
}

std::function<void(SprMat&, std::vector<double>&, std::vector<double>&)> adding(std::vector<std::uint64_t> rows,
                                                                                std::vector<std::uint64_t> cols,
                                                                                std::vector<double> values) {
    return [rows, cols, values](SprMat& mat, std::vector<double>&, std::vector<double>&) {
        add_entries(mat, rows, cols, values);
    };
}

std::function<void(SprMat&)> set_diagonals(std::vector<std::pair<std::int32_t, double>> entries) {
    return [entries](SprMat& mat) {
        for (const auto& [d, value] : entries) mat.vals[locate(mat, static_cast<std::size_t>(d), d)] = value;
    };
}

const std::string kStiffness = ": a constraint needs a positive stiffness";

INSTANTIATE_TEST_SUITE_P(
    Cases, MatrixRefusals,
    testing::Values(MatrixRefusal{"axes_longer_than_one",
                                  {},
                                  rotating({{0, {1.1, 0, 0, 0, 1.1, 0, 0, 0, 1.1}}}),
                                  "frame 0: its axes are not orthonormal"},
                    MatrixRefusal{"axes_just_past_the_tolerance",
                                  {},
                                  rotating({{0, {1 + 1e-9, 0, 0, 0, 1, 0, 0, 0, 1}}}),
                                  "frame 0: its axes are not orthonormal"},
                    MatrixRefusal{"unit_axes_not_orthogonal",
                                  {},
                                  rotating({{0, kIdentity}, {3, {1, 0, 0, 0.6, 0.8, 0, 0, 0, 1}}}),
                                  "frame 1: its axes are not orthonormal"},
                    MatrixRefusal{"axis_not_a_number",
                                  {},
                                  rotating({{6, {kNaN, 0, 0, 0, 1, 0, 0, 0, 1}}}),
                                  "frame 0: its axes are not orthonormal"},
                    MatrixRefusal{"overlapping_frames",
                                  {},
                                  rotating({{0, kIdentity}, {2, kIdentity}}),
                                  "frame 1: unknown 2 already lies in another frame"},
                    MatrixRefusal{"one_node_twice",
                                  {},
                                  rotating({{3, kDiagonalAxes}, {9, kIdentity}, {3, kIdentity}}),
                                  "frame 2: unknown 3 already lies in another frame"},
                    MatrixRefusal{"frame_past_the_last_unknown",
                                  {},
                                  rotating({{13, kIdentity}}),
                                  "frame 0: unknowns 13 .. 15 lie outside the 15 unknowns"},
                    MatrixRefusal{"frame_far_past_the_end",
                                  {},
                                  rotating({{0, kIdentity}, {40, kIdentity}}),
                                  "frame 1: unknowns 40 .. 42 lie outside the 15 unknowns"},
                    MatrixRefusal{"frame_across_two_nodes",
                                  {},
                                  rotating({{1, kIdentity}}),
                                  "frame 0: the rows of its three unknowns do not share their columns"},
                    MatrixRefusal{"second_frame_across_two_nodes",
                                  {},
                                  rotating({{0, kDiagonalAxes}, {10, kIdentity}}),
                                  "frame 1: the rows of its three unknowns do not share their columns"},
                    MatrixRefusal{"load_of_the_wrong_length",
                                  {},
                                  [](SprMat& mat, std::vector<double>& rhs, std::vector<double>& sol) {
                                      rotate_frames(mat, std::span(rhs).first(kUnknowns - 1), sol,
                                                    Frames{{3, kDiagonalAxes}});
                                  },
                                  "assertion failed: self.0.cols == rhs.len() && self.0.cols == self.1.len()"},
                    MatrixRefusal{"zero_diagonal", set_diagonals({{4, 0.0}}), eliminating({2, 4, 7}, {1, 1, 1}),
                                  "constrained unknown 4 has the diagonal entry 0" + kStiffness},
                    MatrixRefusal{"first_of_two_negative_diagonals", set_diagonals({{4, -2.0}, {7, -3.0}}),
                                  eliminating({2, 4, 7}, {1, 1, 1}),
                                  "constrained unknown 4 has the diagonal entry -2" + kStiffness},
                    MatrixRefusal{"diagonal_not_a_number", set_diagonals({{14, kNaN}}), eliminating({14}, {1}),
                                  "constrained unknown 14 has the diagonal entry nan" + kStiffness},
                    MatrixRefusal{"infinite_diagonal", set_diagonals({{0, kInf}}), eliminating({0}, {0}),
                                  "constrained unknown 0 has the diagonal entry inf" + kStiffness},
                    MatrixRefusal{"constrained_unknown_past_the_end",
                                  {},
                                  eliminating({3, 15}, {0, 0}),
                                  "index out of bounds: the len is 15 but the index is 15"},
                    MatrixRefusal{"fewer_values_than_unknowns",
                                  {},
                                  eliminating({3, 4}, {0}),
                                  "assertion failed: `(left == right)`\n  left: `2`,\n right: `1`"},
                    MatrixRefusal{"entry_outside_the_structure",
                                  {},
                                  adding({0, 0}, {1, 9}, {1, 1}),
                                  "entry (0, 9) is not in the matrix's structure"},
                    MatrixRefusal{
                        "entry_not_finite", {}, adding({0, 3}, {1, 4}, {1, kInf}), "entry 1 to add is not finite"},
                    MatrixRefusal{"entry_row_past_the_end",
                                  {},
                                  adding({2, 15}, {2, 3}, {1, 1}),
                                  "index out of bounds: the len is 15 but the index is 15"},
                    MatrixRefusal{"entry_column_past_the_end",
                                  {},
                                  adding({2}, {20}, {1}),
                                  "index out of bounds: the len is 15 but the index is 20"}),
    CaseName{});

// ---- constrain on a model ---------------------------------------------------------------------

Nexus small_model(unsigned seed) {
    Nexus model;
    model.mat = coupled_matrix(seed);
    model.rhs = random_vector(kUnknowns, seed + 1);
    model.sol = random_vector(kUnknowns, seed + 2);
    return model;
}

struct ConstrainCase {
    const char* name;
    std::vector<std::uint64_t> unknowns;
    std::vector<double> values;
    std::vector<std::uint64_t> frame_firsts;
    friend void PrintTo(const ConstrainCase& c, std::ostream* out) { *out << c.name; }
};

class Constrain : public testing::TestWithParam<ConstrainCase> {};

// Against the dense answer: A'' from T A T^T by elimination, the rows saved from T A T^T with
// the loads T b; and the solution turned back, u = T^T x, meets (T u)_d = g_d and the free
// rows of the turned equations, (T (A u - b))_i = 0.
TEST_P(Constrain, TurnsSavesAndEliminates) {
    const ConstrainCase& c = GetParam();
    const std::vector<NodeFrame> frames = random_frames(c.frame_firsts, 21);
    Nexus model = small_model(20);
    const Dense a = dense(model.mat);
    const std::vector<double> b = model.rhs, x = model.sol;
    const SavedRows saved = constrain(model, c.unknowns, c.values, frames);

    const Dense t = frame_matrix(kUnknowns, frames);
    Dense turned = multiply(multiply(t, a), transpose(t));
    std::vector<double> turned_rhs = multiply(t, b), turned_sol = multiply(t, x);
    ASSERT_EQ(saved.unknowns, c.unknowns);
    ASSERT_EQ(saved.row_first.size(), c.unknowns.size() + 1);
    for (std::size_t k = 0; k < c.unknowns.size(); ++k) {
        const std::size_t d = c.unknowns[k];
        EXPECT_EQ(saved_columns(saved, k), expected_columns(d)) << "saved row " << d;
        for (std::size_t p = saved.row_first[k]; p < saved.row_first[k + 1]; ++p)
            EXPECT_NEAR(saved.vals[p], turned[d][static_cast<std::size_t>(saved.cols[p])], 1e-12) << "saved row " << d;
        EXPECT_NEAR(saved.loads[k], turned_rhs[d], 1e-14) << "saved load " << d;
    }

    eliminate_dense(turned, turned_rhs, turned_sol, c.unknowns, c.values);
    const Dense after = dense(model.mat);
    expect_near(after, turned, 1e-12, "constrained A");
    expect_near(model.rhs, turned_rhs, 1e-12, "constrained b");
    expect_near(model.sol, turned_sol, 1e-14, "constrained x");

    const std::vector<double> solution = solve_dense(after, model.rhs);
    const std::vector<double> u = multiply(transpose(t), solution);
    const std::vector<double> turned_u = multiply(t, u);
    std::vector<double> residual = multiply(a, u);
    for (std::size_t i = 0; i < kUnknowns; ++i) residual[i] -= b[i];
    const std::vector<double> turned_residual = multiply(t, residual);
    std::vector<bool> held(kUnknowns, false);
    for (std::size_t k = 0; k < c.unknowns.size(); ++k) {
        held[c.unknowns[k]] = true;
        EXPECT_NEAR(turned_u[c.unknowns[k]], c.values[k], 1e-13) << "constrained unknown " << c.unknowns[k];
    }
    for (std::size_t i = 0; i < kUnknowns; ++i)
        if (!held[i]) {
            EXPECT_NEAR(turned_residual[i], 0.0, 1e-12) << "residual of free row " << i;
        }
}

INSTANTIATE_TEST_SUITE_P(Cases, Constrain,
                         testing::Values(ConstrainCase{"elimination_only", {4, 5, 13}, {0.3, -1.2, 0.0}, {}},
                                         ConstrainCase{"frame_on_a_constrained_node", {3}, {0.5}, {3}},
                                         ConstrainCase{"frames_on_coupled_nodes", {4, 12}, {-0.25, 0.8}, {3, 12}},
                                         ConstrainCase{
                                             "last_node_held_in_its_frame", {12, 13, 14}, {0.1, -0.2, 0.3}, {12}},
                                         ConstrainCase{"frame_on_a_free_node", {0}, {1.0}, {6}},
                                         ConstrainCase{"frames_without_constraints", {}, {}, {0, 9}}),
                         CaseName{});

struct ModelRefusal {
    const char* name;
    std::function<void(SprMat&)> prepare;  // a change made to the matrix before the call, or empty
    std::vector<std::uint64_t> unknowns;
    std::vector<double> values;
    Frames frames;
    std::string message;
    friend void PrintTo(const ModelRefusal& c, std::ostream* out) { *out << c.name; }
};

class ConstrainRefusals : public testing::TestWithParam<ModelRefusal> {};

TEST_P(ConstrainRefusals, NameTheFaultAndLeaveTheModel) {
    const ModelRefusal& c = GetParam();
    Nexus model = small_model(30);
    if (c.prepare) c.prepare(model.mat);
    const std::vector<std::uint64_t> vals = bits(model.mat.vals);
    const std::vector<double> rhs = model.rhs, sol = model.sol;
    EXPECT_EQ(panic_text([&] { constrain(model, c.unknowns, c.values, c.frames); }), c.message);
    EXPECT_EQ(bits(model.mat.vals), vals);
    EXPECT_EQ(model.rhs, rhs);
    EXPECT_EQ(model.sol, sol);
}

// Node 1's block set to diag(first, second, third), its other entries to zero.
std::function<void(SprMat&)> node_one_block(double first, double second, double third) {
    return [=](SprMat& mat) {
        const std::array<double, 3> diagonal{first, second, third};
        for (std::size_t r = 3; r < 6; ++r)
            for (std::size_t c = 3; c < 6; ++c)
                mat.vals[locate(mat, r, static_cast<std::int32_t>(c))] = r == c ? diagonal[r - 3] : 0.0;
    };
}

const Axes kSkewAxes = {-0.35570473006896064, 0.56239372712631985,  -0.7464498916173371,
                        0.8495054801816212,   0.5275284433271088,   -0.0073607487574594566,
                        0.38963391041843487,  -0.63673152675978262, -0.66540091575094418};

// Node one's block B = I - r r^T, r the first of the axes.
std::function<void(SprMat&)> without_axis(const Axes& axes) {
    return [=](SprMat& mat) {
        for (std::size_t r = 0; r < 3; ++r)
            for (std::size_t c = 0; c < 3; ++c)
                mat.vals[locate(mat, 3 + r, static_cast<std::int32_t>(3 + c))] = (r == c) - axes[r] * axes[c];
    };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConstrainRefusals,
    testing::Values(
        ModelRefusal{"unknowns_decreasing", {}, {5, 3}, {0, 0}, {}, "constrained unknowns must increase: 3 follows 5"},
        ModelRefusal{
            "an_unknown_twice", {}, {1, 3, 3}, {0, 0, 0}, {}, "constrained unknowns must increase: 3 follows 3"},
        ModelRefusal{
            "unknown_past_the_end", {}, {2, 15}, {0, 0}, {}, "index out of bounds: the len is 15 but the index is 15"},
        ModelRefusal{"value_not_a_number", {}, {2, 4}, {0, kNaN}, {}, "constrained unknown 4 has the value nan"},
        ModelRefusal{"value_infinite", {}, {7}, {-kInf}, {}, "constrained unknown 7 has the value -inf"},
        ModelRefusal{"fewer_values_than_unknowns",
                     {},
                     {1, 2},
                     {0},
                     {},
                     "assertion failed: `(left == right)`\n  left: `2`,\n right: `1`"},
        ModelRefusal{"frame_not_orthonormal",
                     {},
                     {3},
                     {0},
                     {{3, {1, 0, 0, 0, 1, 0, 0, 0, -1.5}}},
                     "frame 0: its axes are not orthonormal"},
        ModelRefusal{"overlapping_frames",
                     {},
                     {3},
                     {0},
                     {{3, kIdentity}, {5, kIdentity}},
                     "frame 1: unknown 5 already lies in another frame"},
        ModelRefusal{"frame_past_the_end",
                     {},
                     {3},
                     {0},
                     {{14, kIdentity}},
                     "frame 0: unknowns 14 .. 16 lie outside the 15 unknowns"},
        // The checks pass, so the turn itself refuses: still before it changes anything.
        ModelRefusal{"frame_across_two_nodes",
                     {},
                     {0},
                     {0},
                     {{3, kDiagonalAxes}, {10, kIdentity}},
                     "frame 1: the rows of its three unknowns do not share their columns"},
        // Positive on the mesh's axes, -1/3 along the frame's first axis.
        ModelRefusal{"stiffness_negative_along_the_axis",
                     node_one_block(1.0, -3.0, 1.0),
                     {3},
                     {0},
                     {{3, kDiagonalAxes}},
                     "constrained unknown 3 has the diagonal entry -0.333333" + kStiffness},
        // B = I - r r^T: no stiffness along the frame's first axis r, up to rounding; refused before the turn.
        // These axes leave r^T B r = +2.8e-17 before the turn and exactly 0 after it.
        ModelRefusal{"stiffness_zero_to_rounding_along_the_axis",
                     without_axis(kSkewAxes),
                     {3},
                     {0},
                     {{3, kSkewAxes}},
                     "constrained unknown 3 has the diagonal entry 2.77556e-17" + kStiffness},
        ModelRefusal{"zero_diagonal_beside_a_frame",
                     set_diagonals({{13, 0.0}}),
                     {2, 13},
                     {0, 0},
                     {{3, kDiagonalAxes}},
                     "constrained unknown 13 has the diagonal entry 0" + kStiffness}),
    CaseName{});

// The stiffness that a constraint needs is the one along its axis: a node whose block is
// negative on its own first axis but positive along the frame's may be held in the frame.
TEST(ConstrainDiagonal, IsTheStiffnessAlongTheFrameAxis) {
    Nexus model = small_model(40);
    node_one_block(-1.0, 5.0, 5.0)(model.mat);
    const std::vector<std::uint64_t> unknowns{3};
    const std::vector<double> values{0.0};
    EXPECT_EQ(panic_text([&] { constrain(model, unknowns, values, {}); }),
              "constrained unknown 3 has the diagonal entry -1" + kStiffness);
    const Frames frames{{3, kDiagonalAxes}};
    EXPECT_EQ(panic_text([&] { constrain(model, unknowns, values, frames); }), "<no panic>");
    EXPECT_NEAR(model.mat.vals[locate(model.mat, 3, 3)], 3.0, 1e-14);  // (-1 + 5 + 5) / 3
}

// ---- Multigrid on a supported box ---------------------------------------------------------------

// A box of nx x ny x nz cubes of edge h, each cut into six quadratic tetrahedra along its main
// diagonal. Node p = i + sx (j + sy k) of the doubled grid (sx = 2 nx + 1, ...) has the
// unknowns 3p, 3p + 1, 3p + 2; none is prescribed. Isotropic material (lambda 1.25, mu 1) and
// the body load (0, 0, -1), assembled.
struct Box {
    Nexus model;
    int sx = 0, sy = 0, sz = 0;
    double h = 0.0;
};

Box box_model(int nx, int ny, int nz, double h) {
    constexpr std::array<std::array<int, 3>, 6> kAxisOrders{
        {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};
    Box box{{}, 2 * nx + 1, 2 * ny + 1, 2 * nz + 1, h};
    const auto node = [&](const std::array<int, 3>& p) { return p[0] + box.sx * (p[1] + box.sy * p[2]); };
    for (int k = 0; k < nz; ++k)
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i)
                for (const auto& order : kAxisOrders) {
                    // Vertices walk the cube's diagonal one axis at a time; edge nodes are midpoints.
                    std::array<std::array<int, 3>, 10> nodes{};
                    nodes[0] = {2 * i, 2 * j, 2 * k};
                    for (int v = 1; v < 4; ++v) {
                        nodes[v] = nodes[v - 1];
                        nodes[v][order[v - 1]] += 2;
                    }
                    for (std::size_t e = 0; e < kEdgeVertices.size(); ++e)
                        for (int a = 0; a < 3; ++a)
                            nodes[4 + e][a] = (nodes[kEdgeVertices[e][0]][a] + nodes[kEdgeVertices[e][1]][a]) / 2;
                    Tet tet;
                    for (int v = 0; v < 4; ++v) {
                        for (int a = 0; a < 3; ++a) tet.pts[v][a] = 0.5 * nodes[v][a] * h;
                        tet.verts[v] = nodes[v][0] / 2 + (nx + 1) * (nodes[v][1] / 2 + (ny + 1) * (nodes[v][2] / 2));
                    }
                    for (const auto& p : nodes) tet.dofs.push_back({3 * node(p), 3});
                    box.model.tets.push_back(std::move(tet));
                }
    std::vector<std::vector<double>> material;
    for (const auto& row : test_support::isotropic(1.25, 1.0)) material.emplace_back(row.begin(), row.end());
    set_cmat(box.model, material);
    Arena load;
    for (int i = 0; i < 3; ++i) new_var(load);
    const std::uint64_t zero = new_cst(load, 0.0);
    const std::uint64_t down = new_cst(load, -1.0);
    set_f(box.model, 0, {}, std::move(load), {zero, zero, down});
    set_solver(box.model, static_cast<std::uint64_t>(3 * box.sx * box.sy * box.sz), {0.0});
    assemble(box.model);
    return box;
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(sum);
}

// v_node = R v_node on every frame's node (or R^T v_node with `back`).
void turn_nodes(std::vector<double>& v, const std::vector<NodeFrame>& frames, bool back) {
    for (const NodeFrame& frame : frames) {
        double turned[3] = {0.0, 0.0, 0.0};
        for (std::size_t a = 0; a < 3; ++a)
            for (std::size_t b = 0; b < 3; ++b)
                turned[a] += (back ? frame.axes[3 * b + a] : frame.axes[3 * a + b]) * v[frame.first + b];
        for (std::size_t a = 0; a < 3; ++a) v[frame.first + a] = turned[a];
    }
}

// Clamped at x = 0; on y = 0 (x > 0) skew rollers: each node's first axis is the support
// normal n = (0, cos 30 deg, sin 30 deg), its other two turned about n by an angle of its own, and the
// displacement along n is prescribed to -0.01 x. Multigrid with the turned rigid-body modes
// reaches the plain conjugate gradients' answer in a bounded number of iterations, and the
// displacement, turned back, meets the supports and the equilibrium of every free direction
// of the unconstrained system.
TEST(ConstrainedMultigrid, MatchesCgAndMeetsTheSupports) {
    Box box = box_model(6, 3, 3, 1.0 / 3);
    const SprMat stiffness = box.model.mat;
    const std::vector<double> load = box.model.rhs;
    const std::array<double, 3> normal{0.0, std::cos(std::numbers::pi / 6), std::sin(std::numbers::pi / 6)};
    const std::array<double, 3> tangent{1.0, 0.0, 0.0};
    const std::array<double, 3> binormal{0.0, normal[2], -normal[1]};  // n x tangent
    std::mt19937 random(50);
    std::uniform_real_distribution<double> angle(0.0, 2 * std::numbers::pi);
    std::vector<NodeFrame> frames;
    std::vector<std::uint64_t> unknowns;
    std::vector<double> values;
    std::vector<std::uint64_t> clamped;
    std::vector<double> roller_values;
    for (int k = 0; k < box.sz; ++k)
        for (int j = 0; j < box.sy; ++j)
            for (int i = 0; i < box.sx; ++i) {
                const std::uint64_t first = 3 * static_cast<std::uint64_t>(i + box.sx * (j + box.sy * k));
                if (i == 0) {
                    for (std::uint64_t d = first; d < first + 3; ++d) clamped.push_back(d);
                    unknowns.insert(unknowns.end(), {first, first + 1, first + 2});
                    values.insert(values.end(), {0.0, 0.0, 0.0});
                } else if (j == 0) {
                    const double phi = angle(random);
                    NodeFrame frame{first, {}};
                    for (std::size_t a = 0; a < 3; ++a) {
                        frame.axes[a] = normal[a];
                        frame.axes[3 + a] = std::cos(phi) * tangent[a] + std::sin(phi) * binormal[a];
                        frame.axes[6 + a] = -std::sin(phi) * tangent[a] + std::cos(phi) * binormal[a];
                    }
                    frames.push_back(frame);
                    unknowns.push_back(first);
                    values.push_back(-0.01 * 0.5 * i * box.h);
                    roller_values.push_back(values.back());
                }
            }
    constrain(box.model, unknowns, values, frames);

    Nexus plain_model = box.model;
    const SolveReport reference = solve_to(plain_model, 1e-11, 0.0, 10000, false);
    ASSERT_TRUE(reference.converged) << "plain CG stopped at " << reference.residual_norm;
    AmgOptions options;
    options.coarse_size = 60;
    const AmgHierarchy hierarchy = multigrid_setup(box.model, frames, options);
    ASSERT_GE(hierarchy.levels.size(), 2u);
    const SolveReport report = solve_multigrid(box.model, hierarchy, 1e-10, 0.0, 200, false);
    EXPECT_TRUE(report.converged) << "residual " << report.residual_norm << " of " << report.rhs_norm;
    EXPECT_LE(report.iterations, 32u);  // 27 here; 37 with the modes left in the mesh's axes
    const double scale = std::sqrt(norm_sq(plain_model.sol));
    EXPECT_LE(distance(box.model.sol, plain_model.sol), 1e-7 * scale);

    std::vector<double> displacement = box.model.sol;
    turn_nodes(displacement, frames, true);
    for (const std::uint64_t d : clamped) EXPECT_NEAR(displacement[d], 0.0, 1e-13) << "clamped unknown " << d;
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const std::size_t first = frames[f].first;
        const double along =
            normal[0] * displacement[first] + normal[1] * displacement[first + 1] + normal[2] * displacement[first + 2];
        EXPECT_NEAR(along, roller_values[f], 1e-13) << "roller at unknown " << first;
    }
    std::vector<double> residual(stiffness.rows);
    mul_vec(stiffness, displacement, residual);
    for (std::size_t i = 0; i < residual.size(); ++i) residual[i] -= load[i];
    turn_nodes(residual, frames, false);
    std::vector<bool> held(residual.size(), false);
    for (const std::uint64_t d : unknowns) held[d] = true;
    const double load_norm = std::sqrt(norm_sq(load));
    for (std::size_t i = 0; i < residual.size(); ++i)
        if (!held[i]) {
            EXPECT_NEAR(residual[i], 0.0, 1e-8 * load_norm) << "free direction " << i;
        }
}

}  // namespace
}  // namespace quarvex
