// Multigrid-preconditioned conjugate gradients on small elasticity models: solutions against the
// unpreconditioned solver, symmetry and definiteness of the preconditioner, the Galerkin product
// against a dense one, the rigid-body modes, iteration counts over two sizes, refresh, refusals
// and the interrupt callback.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cmath>
#include <ostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../../benchmarks/box_model.hpp"
#include "base/failure.hpp"
#include "lacc/amg.hpp"
#include "lacc/amg_pcg.hpp"
#include "lacc/lav.hpp"

namespace quarvex {
namespace {

using test_support::panic_text;
using Dense = std::vector<std::vector<double>>;

constexpr double kPoisson = 1.25 / 4.5;  // lambda = 1.25 for mu = 1

bench::BoxModel box(int nx, int ny, int nz, double length = 1.0, bool clamped = true, double nu = kPoisson) {
    return bench::box_model({nx, ny, nz, length, 1.0, 1.0, clamped}, bench::lambda_for(nu), 1.0);
}

NearNullSpace rigid_modes(const bench::BoxModel& model) {
    return rigid_body_modes(model.coordinates, model.components);
}

// Small coarse sizes, so that even these models get several levels.
AmgOptions small_options() {
    AmgOptions options;
    options.coarse_size = 60;
    return options;
}

std::vector<double> random_vector(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = value(random);
    return v;
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(sum);
}

std::vector<double> apply(const AmgHierarchy& hierarchy, const SprMat& mat, const std::vector<double>& r) {
    AmgWork work = amg_work(hierarchy);
    std::vector<double> z(r.size());
    amg_apply(hierarchy, mat, work, r, z);
    return z;
}

// The dense form of a run-format matrix with the given values.
template <class Value>
Dense dense(const SprMat& mat, const std::vector<Value>& values) {
    Dense out(mat.rows, std::vector<double>(mat.cols, 0.0));
    for (std::size_t r = 0; r < mat.rows; ++r)
        for_each_entry(mat, r, [&](std::size_t c, std::size_t pos) { out[r][c] = values[pos]; });
    return out;
}

// The position of entry (r, r).
std::size_t diagonal_position(const SprMat& mat, std::size_t r) {
    std::size_t found = SIZE_MAX;
    for_each_entry(mat, r, [&](std::size_t c, std::size_t pos) {
        if (c == r) found = pos;
    });
    return found;
}

struct SolveCase {
    const char* name;
    bench::BoxShape shape;
    double nu;
    AmgOptions options;
    bool unknown_by_unknown;  // explicit modes on single-unknown nodes instead of mesh nodes
    std::size_t max_iterations;  // to rtol 1e-10
    friend void PrintTo(const SolveCase& c, std::ostream* out) { *out << c.name; }
};

AmgOptions with(AmgOptions options, void (*change)(AmgOptions&)) {
    change(options);
    return options;
}

class AmgSolve : public testing::TestWithParam<SolveCase> {};

// The preconditioned solve reaches the unpreconditioned solver's answer, on a hierarchy of
// several levels, within a bounded number of iterations.
TEST_P(AmgSolve, MatchesUnpreconditionedCg) {
    const SolveCase& c = GetParam();
    const bench::BoxModel model = bench::box_model(c.shape, bench::lambda_for(c.nu), 1.0);
    const SprMat& mat = model.model.mat;
    NearNullSpace modes = rigid_modes(model);
    if (c.unknown_by_unknown) modes = explicit_modes(modes.modes, 6, 1);
    const AmgHierarchy hierarchy = amg_setup(mat, modes, c.options);
    ASSERT_GE(hierarchy.levels.size(), 2u);

    std::vector<double> reference(mat.rows, 0.0);
    cg_solve(mat, reference, model.model.rhs, 1e-13 * std::sqrt(norm_sq(model.model.rhs)));
    std::vector<double> sol(mat.rows, 0.0);
    const SolveReport report = amg_pcg(mat, hierarchy, sol, model.model.rhs, 1e-10, 0.0, 200, true);
    EXPECT_TRUE(report.converged);
    EXPECT_LE(report.residual_norm, 1e-10 * report.rhs_norm);
    EXPECT_LE(report.iterations, c.max_iterations);
    EXPECT_EQ(report.history.size(), report.iterations + 1);
    EXPECT_LE(distance(sol, reference), 1e-7 * std::sqrt(norm_sq(reference)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AmgSolve,
    testing::Values(
        SolveCase{"cube", {4, 4, 4, 1.0, 1.0, 1.0, true}, kPoisson, small_options(), false, 35},
        SolveCase{"cantilever", {12, 2, 2, 6.0, 1.0, 1.0, true}, kPoisson, small_options(), false, 45},
        SolveCase{"point_jacobi_degree_1", {4, 4, 4, 1.0, 1.0, 1.0, true}, kPoisson,
                  with(small_options(), [](AmgOptions& o) { o.block_smoother = false; o.smoother_degree = 1; }),
                  false, 60},
        SolveCase{"degree_3_threshold_0_1", {4, 4, 4, 1.0, 1.0, 1.0, true}, kPoisson,
                  with(small_options(), [](AmgOptions& o) { o.smoother_degree = 3; o.strength_threshold = 0.1; }),
                  false, 30},
        SolveCase{"nearly_incompressible", {4, 4, 4, 1.0, 1.0, 1.0, true}, 0.45, small_options(), false, 55},
        SolveCase{"unknown_by_unknown", {3, 3, 3, 1.0, 1.0, 1.0, true}, kPoisson, small_options(), true, 60},
        SolveCase{"last_level_smoothed", {4, 4, 4, 1.0, 1.0, 1.0, true}, kPoisson,
                  with(small_options(), [](AmgOptions& o) { o.max_levels = 2; }), false, 60}),
    [](const testing::TestParamInfo<SolveCase>& info) { return std::string(info.param.name); });

// x.My = y.Mx and x.Mx > 0 on random vectors, for the cycle variants.
TEST(AmgPreconditioner, SymmetricAndPositive) {
    const bench::BoxModel model = box(4, 3, 3, 2.0);
    const SprMat& mat = model.model.mat;
    const std::vector<AmgOptions> variants{
        small_options(), with(small_options(), [](AmgOptions& o) { o.block_smoother = false; }),
        with(small_options(), [](AmgOptions& o) { o.smoother_degree = 3; }),
        with(small_options(), [](AmgOptions& o) { o.max_levels = 2; })};
    for (std::size_t v = 0; v < variants.size(); ++v) {
        const AmgHierarchy hierarchy = amg_setup(mat, rigid_modes(model), variants[v]);
        for (unsigned seed = 0; seed < 3; ++seed) {
            const std::vector<double> x = random_vector(mat.rows, 2 * seed + 1);
            const std::vector<double> y = random_vector(mat.rows, 2 * seed + 2);
            const std::vector<double> mx = apply(hierarchy, mat, x), my = apply(hierarchy, mat, y);
            const double scale = std::sqrt(norm_sq(x) * norm_sq(my));
            EXPECT_NEAR(dot(x, my), dot(y, mx), 1e-12 * scale) << "variant " << v << ", seed " << seed;
            EXPECT_GT(dot(x, mx), 0.0) << "variant " << v << ", seed " << seed;
        }
    }
}

// Level 1's operator is R A P with R = P^T, against dense products (the cycle keeps both in
// float); the tentative prolongator has orthonormal columns.
TEST(AmgGalerkin, CoarseOperatorIsRestrictedProduct) {
    const bench::BoxModel model = box(3, 3, 3);
    const SprMat& mat = model.model.mat;
    const AmgHierarchy hierarchy = amg_setup(mat, rigid_modes(model), small_options());
    ASSERT_GE(hierarchy.levels.size(), 2u);
    const AmgLevel& level = hierarchy.levels[0];
    const Dense a = dense(mat, mat.vals);
    const Dense p = dense(level.prolongator, level.prolongator_values);
    const Dense r = dense(level.restrictor, level.restrictor_values);
    const Dense t = dense(level.tentative, level.tentative.vals);
    const Dense coarse = dense(hierarchy.levels[1].matrix, hierarchy.levels[1].matrix_values);
    const std::size_t n = mat.rows, m = p[0].size();
    ASSERT_EQ(coarse.size(), m);
    double largest = 0.0;
    for (const auto& row : coarse)
        for (const double value : row) largest = std::max(largest, std::abs(value));
    Dense ap(n, std::vector<double>(m, 0.0));
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t l = 0; l < n; ++l)
            if (a[k][l] != 0.0)
                for (std::size_t j = 0; j < m; ++j) ap[k][j] += a[k][l] * p[l][j];
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < m; ++j) {
            double product = 0.0, gram = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                product += p[k][i] * ap[k][j];
                gram += t[k][i] * t[k][j];
            }
            EXPECT_NEAR(coarse[i][j], product, 1e-5 * largest) << "entry " << i << ", " << j;
            EXPECT_NEAR(gram, i == j ? 1.0 : 0.0, 1e-12);
        }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < m; ++j) ASSERT_EQ(p[i][j], r[j][i]) << "entry " << i << ", " << j;
}

// The six modes lie in the null space of the unconstrained matrix, and unknowns group into
// nodes by coordinates and increasing components.
TEST(AmgModes, RigidBodyModesSpanTheNullSpace) {
    const bench::BoxModel model = box(3, 2, 2, 3.0, false);
    const SprMat& mat = model.model.mat;
    const NearNullSpace modes = rigid_modes(model);
    ASSERT_EQ(modes.mode_count, 6u);
    EXPECT_EQ(node_count(modes.nodes) * 3, static_cast<std::size_t>(mat.rows));
    double largest = 0.0;
    for (const double value : mat.vals) largest = std::max(largest, std::abs(value));
    std::vector<double> mode(mat.rows), product(mat.rows);
    for (std::size_t k = 0; k < 6; ++k) {
        for (std::size_t i = 0; i < mat.rows; ++i) mode[i] = modes.modes[6 * i + k];
        level_mul(mat, mode, product);
        EXPECT_LE(std::sqrt(norm_sq(product)), 1e-12 * largest * std::sqrt(norm_sq(mode))) << "mode " << k;
    }
    // Unknowns (x, y, z) of point 0, (x, z) of point 1, (y) of point 1 again after a gap in
    // components, then (x) of point 2: nodes of 3, 2, 1 and 1 unknowns.
    const std::vector<double> coordinates{0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 2, 0, 0};
    const NearNullSpace grouped = rigid_body_modes(coordinates, std::vector<std::int32_t>{0, 1, 2, 0, 2, 1, 0});
    EXPECT_EQ(grouped.nodes.starts, (std::vector<std::int32_t>{0, 3, 5, 6, 7}));
}

// Iterations stay bounded and flat from 4^3 to 8^3 cells.
TEST(AmgIterations, FlatAcrossSizes) {
    AmgOptions options = small_options();
    options.coarse_size = 200;
    std::vector<std::size_t> iterations;
    for (const int n : {4, 8}) {
        const bench::BoxModel model = box(n, n, n);
        const AmgHierarchy hierarchy = amg_setup(model.model.mat, rigid_modes(model), options);
        EXPECT_GE(hierarchy.levels.size(), 2u) << "N = " << n;
        std::vector<double> sol(model.model.mat.rows, 0.0);
        const SolveReport report = amg_pcg(model.model.mat, hierarchy, sol, model.model.rhs, 1e-8, 0.0, 100, false);
        EXPECT_TRUE(report.converged) << "N = " << n;
        EXPECT_LE(report.iterations, 30u) << "N = " << n;
        iterations.push_back(report.iterations);
    }
    EXPECT_LE(iterations[1], iterations[0] + 4);
}

// A refresh for the same structure gives the set-up's preconditioner bit for bit.
TEST(AmgRefresh, MatchesFreshSetup) {
    const bench::BoxModel soft = box(4, 3, 3, 2.0);
    bench::BoxModel stiff = box(4, 3, 3, 2.0);
    for (double& value : stiff.model.mat.vals) value *= 3.0;  // strengths unchanged: the same aggregates
    AmgHierarchy refreshed = amg_setup(soft.model.mat, rigid_modes(soft), small_options());
    amg_refresh(refreshed, stiff.model.mat);
    const AmgHierarchy fresh = amg_setup(stiff.model.mat, rigid_modes(stiff), small_options());
    const std::vector<double> r = random_vector(stiff.model.mat.rows, 7);
    EXPECT_EQ(apply(refreshed, stiff.model.mat, r), apply(fresh, stiff.model.mat, r));

    // Another material refreshes onto the old aggregates and still solves.
    const bench::BoxModel other = bench::box_model({4, 3, 3, 2.0, 1.0, 1.0, true}, bench::lambda_for(0.4), 1.0);
    amg_refresh(refreshed, other.model.mat);
    std::vector<double> sol(other.model.mat.rows, 0.0);
    const SolveReport report = amg_pcg(other.model.mat, refreshed, sol, other.model.rhs, 1e-8, 0.0, 100, false);
    EXPECT_TRUE(report.converged);
    EXPECT_LE(report.iterations, 30u);
}

// Matrices and data that are refused, each with its message.
TEST(AmgRefusal, BadInputIsRefused) {
    const bench::BoxModel model = box(2, 2, 2);
    const SprMat& mat = model.model.mat;
    const NearNullSpace modes = rigid_modes(model);
    const auto setup_text = [&](const SprMat& changed) {
        return panic_text([&] { amg_setup(changed, modes, small_options()); });
    };
    const auto changed = [&](std::size_t row, double value) {
        SprMat copy = mat;
        copy.vals[diagonal_position(copy, row)] = value;
        return copy;
    };
    EXPECT_EQ(setup_text(changed(4, -1.0)),
              "multigrid: the matrix is not positive definite (diagonal block of rows 3..5)");
    EXPECT_EQ(setup_text(changed(0, 0.0)),
              "multigrid: the matrix is not positive definite (diagonal block of rows 0..2)");
    EXPECT_EQ(setup_text(changed(7, std::numeric_limits<double>::quiet_NaN())),
              "multigrid: the matrix holds a non-finite value in row 7");
    EXPECT_EQ(setup_text(changed(9, std::numeric_limits<double>::infinity())),
              "multigrid: the matrix holds a non-finite value in row 9");
    AmgOptions point = small_options();
    point.block_smoother = false;
    EXPECT_EQ(panic_text([&] { amg_setup(changed(5, -2.0), modes, point); }),
              "multigrid: the matrix is not positive definite (diagonal entry of row 5 is not positive)");
    // An indefinite matrix with a positive diagonal: the coupling of rows 0 and 1 dominates.
    SprMat indefinite = mat;
    for_each_entry(indefinite, 0, [&](std::size_t c, std::size_t pos) {
        if (c == 3) indefinite.vals[pos] = 1e6;
    });
    for_each_entry(indefinite, 3, [&](std::size_t c, std::size_t pos) {
        if (c == 0) indefinite.vals[pos] = 1e6;
    });
    EXPECT_NE(panic_text([&] {
                  const AmgHierarchy hierarchy = amg_setup(indefinite, modes, small_options());
                  std::vector<double> sol(mat.rows, 0.0);
                  amg_pcg(indefinite, hierarchy, sol, model.model.rhs, 1e-8, 0.0, 100, false);
              }).find("not positive definite"),
              std::string::npos);

    const NearNullSpace short_modes = explicit_modes(std::vector<double>(6 * (mat.rows - 3), 1.0), 6, 3);
    EXPECT_EQ(panic_text([&] { amg_setup(mat, short_modes, small_options()); }),
              "multigrid: near-null-space data for " + std::to_string(mat.rows - 3) +
                  " unknowns and 6 modes, but the matrix has " + std::to_string(mat.rows) + " rows");
    EXPECT_EQ(panic_text([&] { rigid_body_modes(std::vector<double>(6, 0.0), std::vector<std::int32_t>{0, 3}); }),
              "multigrid: component 3 of unknown 1 is not 0, 1 or 2");

    // A floating body: singular, found on the coarsest level.
    const bench::BoxModel floating = box(3, 2, 2, 1.0, false);
    EXPECT_EQ(panic_text([&] { amg_setup(floating.model.mat, rigid_modes(floating), small_options()); })
                  .rfind("multigrid: the matrix is not positive definite (pivot ", 0),
              0u);

    AmgHierarchy hierarchy = amg_setup(mat, modes, small_options());
    const bench::BoxModel larger = box(3, 2, 2);
    const std::string other = "multigrid: the matrix's structure differs from the one the hierarchy was built for";
    EXPECT_EQ(panic_text([&] { amg_refresh(hierarchy, larger.model.mat); }), other);
    std::vector<double> larger_sol(larger.model.mat.rows, 0.0);
    EXPECT_EQ(panic_text([&] { amg_pcg(larger.model.mat, hierarchy, larger_sol, larger.model.rhs, 1e-8, 0.0, 9, false); }),
              other);
    std::vector<double> sol(mat.rows, 0.0);
    std::vector<double> rhs = model.model.rhs;
    rhs[2] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(panic_text([&] { amg_pcg(mat, hierarchy, sol, rhs, 1e-8, 0.0, 100, false); }),
              "conjugate gradients: the right-hand side holds a non-finite value");
}

// The callback runs on the calling thread once per iteration; what it throws ends the call.
TEST(AmgInterrupt, CallbackStopsSetupAndSolve) {
    struct Interrupted {};
    const bench::BoxModel model = box(4, 3, 3, 2.0);
    const SprMat& mat = model.model.mat;
    int calls = 0;
    const auto count = [&] { ++calls; };
    const AmgHierarchy hierarchy = amg_setup(mat, rigid_modes(model), small_options(), count);
    EXPECT_GE(calls, static_cast<int>(hierarchy.levels.size()));
    calls = 0;
    std::vector<double> sol(mat.rows, 0.0);
    const SolveReport report = amg_pcg(mat, hierarchy, sol, model.model.rhs, 1e-8, 0.0, 100, false, count);
    EXPECT_EQ(calls, static_cast<int>(report.iterations));

    const auto stop = [] { throw Interrupted{}; };
    EXPECT_THROW(amg_setup(mat, rigid_modes(model), small_options(), stop), Interrupted);
    std::fill(sol.begin(), sol.end(), 0.0);
    EXPECT_THROW(amg_pcg(mat, hierarchy, sol, model.model.rhs, 1e-8, 0.0, 100, false, stop), Interrupted);
}

}  // namespace
}  // namespace quarvex
