// Multigrid-preconditioned conjugate gradients on small elasticity models: solutions against the
// unpreconditioned solver, symmetry and definiteness of the preconditioner, the Galerkin product
// against a dense one, the rigid-body modes, iteration counts over two sizes, refresh, refusals
// and the interrupt callback. Then the parts against independent answers: block products,
// transposes and the chunked Galerkin product on random matrices of mixed node sizes, the float
// products' run tails, the dense factor, the eigenvalue estimate, aggregation and the tentative
// prolongator.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "../../benchmarks/box_model.hpp"
#include "amg/aggregate.hpp"
#include "amg/amg.hpp"
#include "amg/blocks.hpp"
#include "amg/cycle.hpp"
#include "amg/dense.hpp"
#include "amg/galerkin.hpp"
#include "amg/pcg.hpp"
#include "amg/smoother.hpp"
#include "amg/transfer.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/cg.hpp"
#include "lacc/lav.hpp"
#include "lacc/pattern.hpp"

namespace quarvex {
namespace {

using test_support::panic_text;
using test_support::random_vector;
using Dense = std::vector<std::vector<double>>;

constexpr double kPoisson = 1.25 / 4.5;  // lambda = 1.25 for mu = 1
constexpr bench::Support kClamped = bench::Support::clamped;
constexpr bench::Support kSymmetry = bench::Support::symmetry_planes;

bench::BoxModel box(int nx, int ny, int nz, double length = 1.0, bench::Support support = bench::Support::clamped) {
    return bench::box_model({nx, ny, nz, length, 1.0, 1.0, support}, bench::lambda_for(kPoisson), 1.0);
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
template <class Values>
Dense dense(const SprMat& mat, const Values& values) {
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
    bool unknown_by_unknown;     // explicit modes on single-unknown nodes instead of mesh nodes
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
    const AmgReport report = amg_pcg(mat, hierarchy, sol, model.model.rhs, 1e-10, 0.0, 200, true);
    EXPECT_TRUE(report.converged);
    EXPECT_LE(report.residual_norm, 1e-10 * report.rhs_norm);
    EXPECT_LE(report.iterations, c.max_iterations);
    EXPECT_EQ(report.history.size(), report.iterations + 1);
    EXPECT_LE(distance(sol, reference), 1e-7 * std::sqrt(norm_sq(reference)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AmgSolve,
    testing::Values(
        SolveCase{"cube", {4, 4, 4, 1.0, 1.0, 1.0, kClamped}, kPoisson, small_options(), false, 35},
        SolveCase{"cantilever", {12, 2, 2, 6.0, 1.0, 1.0, kClamped}, kPoisson, small_options(), false, 45},
        SolveCase{"point_jacobi_degree_1",
                  {4, 4, 4, 1.0, 1.0, 1.0, kClamped},
                  kPoisson,
                  with(small_options(),
                       [](AmgOptions& o) {
                           o.block_smoother = false;
                           o.smoother_degree = 1;
                       }),
                  false,
                  60},
        SolveCase{"degree_3_threshold_0_1",
                  {4, 4, 4, 1.0, 1.0, 1.0, kClamped},
                  kPoisson,
                  with(small_options(),
                       [](AmgOptions& o) {
                           o.smoother_degree = 3;
                           o.strength_threshold = 0.1;
                       }),
                  false,
                  30},
        SolveCase{"nearly_incompressible", {4, 4, 4, 1.0, 1.0, 1.0, kClamped}, 0.45, small_options(), false, 55},
        SolveCase{"symmetry_planes", {4, 4, 4, 1.0, 1.0, 1.0, kSymmetry}, kPoisson, small_options(), false, 35},
        SolveCase{"unknown_by_unknown", {3, 3, 3, 1.0, 1.0, 1.0, kClamped}, kPoisson, small_options(), true, 60},
        SolveCase{"last_level_smoothed",
                  {4, 4, 4, 1.0, 1.0, 1.0, kClamped},
                  kPoisson,
                  with(small_options(), [](AmgOptions& o) { o.max_levels = 2; }),
                  false,
                  60}),
    [](const testing::TestParamInfo<SolveCase>& info) { return std::string(info.param.name); });

// x.My = y.Mx and x.Mx > 0 on random vectors, for the cycle variants.
TEST(AmgPreconditioner, SymmetricAndPositive) {
    const bench::BoxModel model = box(4, 3, 3, 2.0);
    const SprMat& mat = model.model.mat;
    const std::vector<AmgOptions> variants{small_options(),
                                           with(small_options(), [](AmgOptions& o) { o.block_smoother = false; }),
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
    const bench::BoxModel model = box(3, 2, 2, 3.0, bench::Support::free);
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

// On an unsupported plate, each bending mode's energy (Rayleigh quotient) lies far below that
// of a uniform in-plane stretch and falls as the square of the thickness, whichever axis the
// plate is thin along; the rigid-body modes come first, unchanged.
class AmgPlateModes : public ::testing::TestWithParam<int> {};

TEST_P(AmgPlateModes, BendingModesHaveLowEnergy) {
    const int normal = GetParam();
    double quotient_ratio[2] = {0.0, 0.0};
    for (int pass = 0; pass < 2; ++pass) {
        const double thickness = pass == 0 ? 0.05 : 0.01;
        int cells[3] = {6, 6, 6};
        double size[3] = {1.0, 1.0, 1.0};
        cells[normal] = 1;
        size[normal] = thickness;
        const bench::BoxShape shape{cells[0], cells[1], cells[2], size[0], size[1], size[2], bench::Support::free};
        const bench::BoxModel model = bench::box_model(shape, bench::lambda_for(0.3), 1.0);
        const SprMat& mat = model.model.mat;
        const NearNullSpace plate = plate_modes(model.coordinates, model.components, normal);
        const NearNullSpace rigid = rigid_modes(model);
        ASSERT_EQ(plate.mode_count, 9u);
        ASSERT_EQ(plate.nodes.starts, rigid.nodes.starts);
        const std::size_t n = mat.rows;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < 6; ++k) ASSERT_EQ(plate.modes[9 * i + k], rigid.modes[6 * i + k]);
        const auto quotient = [&](const std::vector<double>& v) {
            std::vector<double> product(n);
            level_mul(mat, v, product);
            double energy = 0.0;
            for (std::size_t i = 0; i < n; ++i) energy += v[i] * product[i];
            return energy / norm_sq(v);
        };
        // u_a = a along the first in-plane axis: a membrane mode, energy ~ thickness.
        const int axis_a = (normal + 1) % 3;
        std::vector<double> stretch(n, 0.0);
        for (std::size_t i = 0; i < n; ++i)
            if (model.components[i] == axis_a) stretch[i] = model.coordinates[3 * i + axis_a] - 0.5;
        const double stretch_quotient = quotient(stretch);
        double worst = 0.0;
        for (std::size_t k = 6; k < 9; ++k) {
            std::vector<double> mode(n);
            for (std::size_t i = 0; i < n; ++i) mode[i] = plate.modes[9 * i + k];
            worst = std::max(worst, quotient(mode) / stretch_quotient);
        }
        quotient_ratio[pass] = worst;
    }
    EXPECT_LT(quotient_ratio[0], 1e-2) << "thickness 0.05, normal " << normal;
    // Five times thinner: the ratio (thickness squared) falls about 25-fold.
    EXPECT_LT(quotient_ratio[1], quotient_ratio[0] / 15.0) << "normal " << normal;
}

INSTANTIATE_TEST_SUITE_P(EachNormal, AmgPlateModes, ::testing::Values(0, 1, 2));

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
        const AmgReport report = amg_pcg(model.model.mat, hierarchy, sol, model.model.rhs, 1e-8, 0.0, 100, false);
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
    const bench::BoxModel other = bench::box_model({4, 3, 3, 2.0, 1.0, 1.0, kClamped}, bench::lambda_for(0.4), 1.0);
    amg_refresh(refreshed, other.model.mat);
    std::vector<double> sol(other.model.mat.rows, 0.0);
    const AmgReport report = amg_pcg(other.model.mat, refreshed, sol, other.model.rhs, 1e-8, 0.0, 100, false);
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

    const auto option_text = [&](void (*change)(AmgOptions&)) {
        return panic_text([&] { amg_setup(mat, modes, with(small_options(), change)); });
    };
    EXPECT_EQ(option_text([](AmgOptions& o) { o.smoother_ratio = 1.0; }),
              "multigrid: option smoother_ratio = 1 lies outside [1.5, 1e+06]");
    EXPECT_EQ(option_text([](AmgOptions& o) { o.max_levels = 0; }),
              "multigrid: option max_levels = 0 lies outside [1, 32]");
    EXPECT_EQ(option_text([](AmgOptions& o) { o.strength_threshold = std::numeric_limits<double>::quiet_NaN(); }),
              "multigrid: option strength_threshold = nan lies outside [0, 1]");

    const NearNullSpace short_modes = explicit_modes(std::vector<double>(6 * (mat.rows - 3), 1.0), 6, 3);
    EXPECT_EQ(panic_text([&] { amg_setup(mat, short_modes, small_options()); }),
              "multigrid: near-null-space data for " + std::to_string(mat.rows - 3) +
                  " unknowns and 6 modes, but the matrix has " + std::to_string(mat.rows) + " rows");
    EXPECT_EQ(panic_text([&] { rigid_body_modes(std::vector<double>(6, 0.0), std::vector<std::int32_t>{0, 3}); }),
              "multigrid: component 3 of unknown 1 is not 0, 1 or 2");

    // A floating body: singular, found on the coarsest level.
    const bench::BoxModel floating = box(3, 2, 2, 1.0, bench::Support::free);
    EXPECT_EQ(panic_text([&] {
                  amg_setup(floating.model.mat, rigid_modes(floating), small_options());
              }).rfind("multigrid: the matrix is not positive definite (pivot ", 0),
              0u);

    AmgHierarchy hierarchy = amg_setup(mat, modes, small_options());
    const bench::BoxModel larger = box(3, 2, 2);
    const std::string other = "multigrid: the matrix's structure differs from the one the hierarchy was built for";
    EXPECT_EQ(panic_text([&] { amg_refresh(hierarchy, larger.model.mat); }), other);
    std::vector<double> larger_sol(larger.model.mat.rows, 0.0);
    EXPECT_EQ(
        panic_text([&] { amg_pcg(larger.model.mat, hierarchy, larger_sol, larger.model.rhs, 1e-8, 0.0, 9, false); }),
        other);
    std::vector<double> sol(mat.rows, 0.0);
    std::vector<double> rhs = model.model.rhs;
    rhs[2] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(panic_text([&] { amg_pcg(mat, hierarchy, sol, rhs, 1e-8, 0.0, 100, false); }),
              "conjugate gradients: the right-hand side holds a non-finite value");
}

// The interrupt hook runs on the calling thread once per level of the set-up and at least once
// per level of every cycle of the solve; what it throws ends the call.
struct Interrupted {};
int g_hook_calls = 0;
bool g_hook_throws = false;
void amg_test_hook() {
    ++g_hook_calls;
    if (g_hook_throws) throw Interrupted{};
}

TEST(AmgInterrupt, HookStopsSetupAndSolve) {
    const bench::BoxModel model = box(4, 3, 3, 2.0);
    const SprMat& mat = model.model.mat;
    g_hook_calls = 0;
    g_hook_throws = false;
    set_interrupt_hook(amg_test_hook);
    const AmgHierarchy hierarchy = amg_setup(mat, rigid_modes(model), small_options());
    EXPECT_GE(g_hook_calls, static_cast<int>(hierarchy.levels.size()));
    g_hook_calls = 0;
    std::vector<double> sol(mat.rows, 0.0);
    const AmgReport report = amg_pcg(mat, hierarchy, sol, model.model.rhs, 1e-8, 0.0, 100, false);
    // At least once per level of every cycle: a cycle of a large model takes long.
    EXPECT_GE(g_hook_calls, static_cast<int>(report.iterations * hierarchy.levels.size()));

    g_hook_throws = true;
    EXPECT_THROW(amg_setup(mat, rigid_modes(model), small_options()), Interrupted);
    std::fill(sol.begin(), sol.end(), 0.0);
    EXPECT_THROW(amg_pcg(mat, hierarchy, sol, model.model.rhs, 1e-8, 0.0, 100, false), Interrupted);

    // An interrupted refresh leaves the hierarchy refused until a refresh completes.
    g_hook_throws = false;
    AmgHierarchy refreshed = amg_setup(mat, rigid_modes(model), small_options());
    g_hook_throws = true;
    EXPECT_THROW(amg_refresh(refreshed, mat), Interrupted);
    set_interrupt_hook(nullptr);
    EXPECT_EQ(panic_text([&] { amg_pcg(mat, refreshed, sol, model.model.rhs, 1e-8, 0.0, 100, false); }),
              "multigrid: the hierarchy is not ready (its last refresh failed); refresh or set it up again");
    amg_refresh(refreshed, mat);
    std::fill(sol.begin(), sol.end(), 0.0);
    EXPECT_TRUE(amg_pcg(mat, refreshed, sol, model.model.rhs, 1e-8, 0.0, 100, false).converged);
}

// The set-up and the refresh check for an interrupt between the steps of a level, not only
// between levels (the first level of a large model takes seconds): a two-level hierarchy meets
// the hook several times, and an interrupt at any of those checks ends the call.
TEST(AmgInterrupt, HonouredBetweenTheStepsOfALevel) {
    const bench::BoxModel model = box(4, 3, 3, 2.0);
    const SprMat& mat = model.model.mat;
    AmgOptions two_levels = small_options();
    two_levels.max_levels = 2;
    g_hook_throws = false;
    g_hook_calls = 0;
    set_interrupt_hook(amg_test_hook);
    AmgHierarchy hierarchy = amg_setup(mat, rigid_modes(model), two_levels);
    const int setup_checks = g_hook_calls;
    g_hook_calls = 0;
    amg_refresh(hierarchy, mat);
    const int refresh_checks = g_hook_calls;
    ASSERT_EQ(hierarchy.levels.size(), 2u);
    EXPECT_GE(setup_checks, 8);
    EXPECT_GE(refresh_checks, 6);

    static int throw_at = 0;
    set_interrupt_hook([] {
        if (++g_hook_calls == throw_at) throw Interrupted{};
    });
    for (throw_at = 1; throw_at <= setup_checks; ++throw_at) {
        g_hook_calls = 0;
        EXPECT_THROW(amg_setup(mat, rigid_modes(model), two_levels), Interrupted) << "check " << throw_at;
    }
    for (throw_at = 1; throw_at <= refresh_checks; ++throw_at) {
        g_hook_calls = 0;
        EXPECT_THROW(amg_refresh(hierarchy, mat), Interrupted) << "check " << throw_at;
        EXPECT_FALSE(hierarchy.ready);
    }
    set_interrupt_hook(nullptr);
    amg_refresh(hierarchy, mat);
    std::vector<double> sol(mat.rows, 0.0);
    EXPECT_TRUE(amg_pcg(mat, hierarchy, sol, model.model.rhs, 1e-8, 0.0, 100, false).converged);
}

// A load 2^k times another gives 2^k times its answer, bit for bit, where the squares of the
// norms of the unscaled one would leave the range of double.
TEST(AmgFarLoads, ScaledSolveIsThePowerOfTwoMultipleBitForBit) {
    const bench::BoxModel model = box(4, 3, 3, 2.0);
    const SprMat& mat = model.model.mat;
    const AmgHierarchy hierarchy = amg_setup(mat, rigid_modes(model), small_options());
    std::vector<double> rhs = model.model.rhs;
    const double largest = max_abs(rhs);
    for (double& value : rhs) value = std::ldexp(value, -std::ilogb(largest));  // largest in [1, 2)
    std::vector<double> unit(mat.rows, 0.0);
    const AmgReport reference = amg_pcg(mat, hierarchy, unit, rhs, 1e-10, 0.0, 100, true);
    ASSERT_TRUE(reference.converged);
    for (const int exponent : {-900, -400, 400, 900}) {
        const double factor = std::ldexp(1.0, exponent);
        std::vector<double> far_rhs(rhs), sol(mat.rows, 0.0);
        for (double& value : far_rhs) value *= factor;
        const AmgReport report = amg_pcg(mat, hierarchy, sol, far_rhs, 1e-10, 0.0, 100, true);
        EXPECT_TRUE(report.converged) << exponent;
        EXPECT_EQ(report.iterations, reference.iterations) << exponent;
        EXPECT_EQ(report.rhs_norm, factor * reference.rhs_norm) << exponent;
        EXPECT_EQ(report.residual_norm, factor * reference.residual_norm) << exponent;
        for (std::size_t i = 0; i < mat.rows; ++i) ASSERT_EQ(sol[i], factor * unit[i]) << exponent << " entry " << i;
        ASSERT_EQ(report.history.size(), reference.history.size());
    }
}

// ---- Parts of the set-up against independent answers.

// A random matrix in node blocks over (rows, cols) whose row node I couples with the column
// nodes cols_of(I); symmetric values when `symmetric` (rows = cols, symmetric pattern).
template <class ColsOf>
SprMat random_blocks(const NodeRanges& rows, const NodeRanges& cols, ColsOf cols_of, unsigned seed,
                     bool symmetric = false) {
    SprMat mat = build_block_structure(rows, cols, [&](std::size_t node, NodeSet& set) {
        for (const std::int32_t col : cols_of(node)) set.add(col);
    });
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (double& v : mat.vals) v = value(random);
    if (symmetric) {
        const Dense full = dense(mat, mat.vals);
        for (std::size_t r = 0; r < mat.rows; ++r)
            for_each_entry(mat, r, [&](std::size_t c, std::size_t pos) { mat.vals[pos] = full[r][c] + full[c][r]; });
    }
    return mat;
}

NodeRanges cycling_sizes(std::size_t count, std::vector<std::int32_t> pattern) {
    std::vector<std::int32_t> sizes(count);
    for (std::size_t v = 0; v < count; ++v) sizes[v] = pattern[v % pattern.size()];
    return node_ranges_from_sizes(sizes);
}

Dense dense_product(const Dense& a, const Dense& b) {
    Dense c(a.size(), std::vector<double>(b[0].size(), 0.0));
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t k = 0; k < b.size(); ++k)
            if (a[i][k] != 0.0)
                for (std::size_t j = 0; j < b[0].size(); ++j) c[i][j] += a[i][k] * b[k][j];
    return c;
}

// Node blocks of mixed sizes (the fixed-size kernels and the general one): the product against
// a dense one, its values recomputed in place, and the transpose (float values, exactly).
TEST(AmgBlocks, ProductAndTransposeOfMixedNodeSizes) {
    const NodeRanges fine = cycling_sizes(24, {3, 3, 1, 6, 2, 3});
    // 9: the coarse nodes of the plate-bending modes, which have kernels of their own.
    const NodeRanges middle = cycling_sizes(20, {3, 6, 6, 2, 9});
    const NodeRanges coarse = cycling_sizes(9, {6, 6, 5, 3, 9});
    const auto band = [](std::size_t width, std::size_t count, std::size_t scale_num, std::size_t scale_den) {
        return [=](std::size_t node) {
            std::vector<std::int32_t> cols;
            const std::size_t centre = node * scale_num / scale_den;
            for (std::size_t c = centre >= width ? centre - width : 0; c <= centre + width && c < count; ++c)
                cols.push_back(static_cast<std::int32_t>(c));
            return cols;
        };
    };
    const SprMat a = random_blocks(fine, middle, band(2, 20, 20, 24), 1);
    const SprMat b = random_blocks(middle, coarse, band(1, 9, 9, 20), 2);
    ASSERT_TRUE(has_node_blocks(a, fine, middle));
    SprMat c = multiply(a, block_index(a, fine, middle), b, fine, middle, coarse);
    EXPECT_TRUE(has_node_blocks(c, fine, coarse));
    const Dense expected = dense_product(dense(a, a.vals), dense(b, b.vals));
    const Dense got = dense(c, c.vals);
    for (std::size_t i = 0; i < expected.size(); ++i)
        for (std::size_t j = 0; j < expected[0].size(); ++j)
            ASSERT_NEAR(got[i][j], expected[i][j], 1e-13) << "entry " << i << ", " << j;
    const std::vector<double> before(c.vals.begin(), c.vals.end());
    std::fill(c.vals.begin(), c.vals.end(), 7.0);
    multiply_values(a, block_index(a, fine, middle), b, fine, middle, coarse, c);
    EXPECT_EQ(std::vector<double>(c.vals.begin(), c.vals.end()), before);

    const std::vector<float> values = float_values(b);
    std::vector<float> transposed;
    const SprMat bt = transpose_blocks(b, values, middle, coarse, transposed);
    EXPECT_TRUE(has_node_blocks(bt, coarse, middle));
    const Dense b_dense = dense(b, values), bt_dense = dense(bt, transposed);
    for (std::size_t i = 0; i < b_dense.size(); ++i)
        for (std::size_t j = 0; j < b_dense[0].size(); ++j) ASSERT_EQ(bt_dense[j][i], b_dense[i][j]);
}

// Structures that are not in node blocks: a node range cutting a run, a row of a node with
// another structure.
TEST(AmgBlocks, NodeBlocksAreRecognised) {
    const bench::BoxModel model = box(2, 2, 2);
    const SprMat& mat = model.model.mat;
    const NearNullSpace modes = rigid_modes(model);
    EXPECT_TRUE(has_node_blocks(mat, modes.nodes, modes.nodes));
    std::vector<std::int32_t> shifted(node_count(modes.nodes) + 1, 3);
    shifted.front() = 1;
    shifted.back() = 2;
    const NodeRanges misaligned = node_ranges_from_sizes(shifted);
    EXPECT_FALSE(has_node_blocks(mat, misaligned, misaligned));
    // Rows 0 and 1 form a node, but row 1 couples with column 2 only.
    const std::vector<Tet> tets{test_support::make_tet({{0, 2}}), test_support::make_tet({{1, 2}})};
    const SprMat uneven = build_pattern(tets, 3);
    const NodeRanges pair = node_ranges_from_sizes(std::vector<std::int32_t>{2, 1});
    EXPECT_FALSE(has_node_blocks(uneven, pair, pair));
}

// The chunked Galerkin product against P^T A P summed entry by entry, on more fine nodes than
// one chunk holds, with mixed node sizes; the result is exactly symmetric.
TEST(AmgGalerkin, ChunkedProductMatchesEntrywiseSum) {
    const std::size_t fine_count = 4500, coarse_count = 226;
    const NodeRanges fine = cycling_sizes(fine_count, {1, 2, 3, 9});
    const NodeRanges coarse = cycling_sizes(coarse_count, {6, 5, 4, 9});
    const SprMat a = random_blocks(
        fine, fine,
        [&](std::size_t node) {
            std::vector<std::int32_t> cols;
            for (std::size_t c = node >= 2 ? node - 2 : 0; c <= node + 2 && c < fine_count; ++c)
                cols.push_back(static_cast<std::int32_t>(c));
            return cols;
        },
        3, true);
    const SprMat p = random_blocks(
        fine, coarse,
        [&](std::size_t node) {
            std::vector<std::int32_t> cols{static_cast<std::int32_t>(node / 20)};
            if (node / 20 + 1 < coarse_count && node % 20 > 14)
                cols.push_back(static_cast<std::int32_t>(node / 20 + 1));
            return cols;
        },
        4);
    const SprMat c = galerkin_product(a, block_index(a, fine, fine), p, fine, coarse);
    const std::size_t m = static_cast<std::size_t>(coarse.starts.back());
    Dense expected(m, std::vector<double>(m, 0.0));
    for (std::size_t i = 0; i < a.rows; ++i)
        for_each_entry(a, i, [&](std::size_t j, std::size_t a_pos) {
            for_each_entry(p, i, [&](std::size_t k, std::size_t pk) {
                for_each_entry(p, j, [&](std::size_t l, std::size_t pl) {
                    expected[k][l] += p.vals[pk] * a.vals[a_pos] * p.vals[pl];
                });
            });
        });
    const Dense got = dense(c, c.vals);
    for (std::size_t k = 0; k < m; ++k)
        for (std::size_t l = 0; l < m; ++l) {
            ASSERT_NEAR(got[k][l], expected[k][l], 1e-11) << "entry " << k << ", " << l;
            ASSERT_EQ(got[k][l], got[l][k]) << "entry " << k << ", " << l;
        }
}

// Float products over runs of every length from 1 to 17 (all vector tails), against the same
// float values summed in double.
TEST(AmgProducts, FloatProductsOverEveryRunLength) {
    std::vector<Tet> tets(1);
    std::int32_t next = 0;
    for (std::int32_t len = 1; len <= 17; ++len) {
        tets[0].dofs.push_back({next, len});
        tets.push_back(test_support::make_tet({{next + len, 1}}));  // a gap column keeps the runs apart
        next += len + 1;
    }
    SprMat mat = build_pattern(tets, static_cast<std::uint64_t>(next));
    std::mt19937 random(5);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (double& v : mat.vals) v = value(random);
    const std::vector<float> values = float_values(mat);
    const std::vector<double> x = random_vector(mat.cols, 6), b = random_vector(mat.rows, 7);
    std::vector<double> expected(mat.rows, 0.0);
    for (std::size_t r = 0; r < mat.rows; ++r)
        for_each_entry(mat, r, [&](std::size_t c, std::size_t pos) { expected[r] += double{values[pos]} * x[c]; });
    std::vector<double> y(mat.rows), added = b, residual(mat.rows), subtracted = b;
    level_mul(mat, values, x, y);
    level_mul_add(mat, values, x, added);
    level_residual(mat, values, x, b, residual);
    level_mul_sub(mat, values, x, subtracted);
    for (std::size_t r = 0; r < mat.rows; ++r) {
        EXPECT_NEAR(y[r], expected[r], 1e-13) << "row " << r;
        EXPECT_NEAR(added[r], b[r] + expected[r], 1e-13) << "row " << r;
        EXPECT_NEAR(residual[r], b[r] - expected[r], 1e-13) << "row " << r;
        EXPECT_NEAR(subtracted[r], b[r] - expected[r], 1e-13) << "row " << r;
    }
    std::vector<double> short_y(mat.rows - 1);
    EXPECT_NE(panic_text([&] { level_mul(mat, values, x, short_y); }), "<no panic>");
}

// The dense factor solves a random SPD system and refuses an indefinite one.
TEST(AmgDense, CholeskySolvesAndRefuses) {
    const std::size_t n = 70;
    const NodeRanges single = cycling_sizes(n, {1});
    SprMat mat = random_blocks(
        single, single,
        [&](std::size_t) {
            std::vector<std::int32_t> all(n);
            for (std::size_t c = 0; c < n; ++c) all[c] = static_cast<std::int32_t>(c);
            return all;
        },
        8, true);
    for (std::size_t r = 0; r < n; ++r)
        for_each_entry(mat, r, [&](std::size_t c, std::size_t pos) {
            if (c == r) mat.vals[pos] += 2.0 * static_cast<double>(n);
        });
    const std::vector<double> solution = random_vector(n, 9);
    std::vector<double> rhs(n);
    level_mul(mat, solution, rhs);
    std::vector<double> x(n);
    solve_dense(factor_dense(mat), rhs, x);
    EXPECT_LE(distance(x, solution), 1e-12 * std::sqrt(norm_sq(solution)));
    for_each_entry(mat, 40, [&](std::size_t c, std::size_t pos) {
        if (c == 40) mat.vals[pos] = -1.0;
    });
    EXPECT_EQ(panic_text([&] { factor_dense(mat); }).rfind("multigrid: the matrix is not positive definite (pivot ", 0),
              0u);
}

// The Lanczos estimate of the largest eigenvalue of M A: exact for M A = I, and within a few
// per cent below the largest eigenvalue 1 + cos(pi / (n + 1)) of the Jacobi-scaled 1D Laplacian.
TEST(AmgSmoother, EigenvalueEstimate) {
    const std::size_t n = 400;
    const NodeRanges single = cycling_sizes(n, {1});
    SprMat laplacian = random_blocks(
        single, single,
        [&](std::size_t node) {
            std::vector<std::int32_t> cols;
            for (std::size_t c = node > 0 ? node - 1 : 0; c <= node + 1 && c < n; ++c)
                cols.push_back(static_cast<std::int32_t>(c));
            return cols;
        },
        10);
    for (std::size_t r = 0; r < n; ++r)
        for_each_entry(laplacian, r,
                       [&](std::size_t c, std::size_t pos) { laplacian.vals[pos] = c == r ? 2.0 : -1.0; });
    const double largest = 1.0 + std::cos(3.14159265358979323846 / static_cast<double>(n + 1));
    for (const bool blocks : {false, true}) {
        const Smoother base = jacobi_base(laplacian, single, blocks);
        const double estimate = estimate_eigen_max(laplacian, float_values(laplacian), base, single, 10);
        EXPECT_LE(estimate, largest * (1.0 + 1e-6));
        EXPECT_GE(estimate, 0.95 * largest);
    }
    SprMat diagonal = random_blocks(
        single, single, [](std::size_t node) { return std::vector<std::int32_t>{static_cast<std::int32_t>(node)}; },
        11);
    for (std::size_t r = 0; r < n; ++r) diagonal.vals[r] = 1.0 + static_cast<double>(r);
    const Smoother base = jacobi_base(diagonal, single, false);
    EXPECT_NEAR(estimate_eigen_max(diagonal, float_values(diagonal), base, single, 10), 1.0, 1e-6);
}

// Aggregates partition the nodes, each connected in the strong graph; a chain at threshold 0
// gives aggregates of two or three, an uncoupled matrix singletons, and a threshold above the
// couplings singletons too.
TEST(AmgAggregate, AggregatesPartitionConnectedly) {
    const std::size_t n = 31;
    const NodeRanges single = cycling_sizes(n, {1});
    SprMat chain = random_blocks(
        single, single,
        [&](std::size_t node) {
            std::vector<std::int32_t> cols;
            for (std::size_t c = node > 0 ? node - 1 : 0; c <= node + 1 && c < n; ++c)
                cols.push_back(static_cast<std::int32_t>(c));
            return cols;
        },
        12);
    for (std::size_t r = 0; r < n; ++r)
        for_each_entry(chain, r, [&](std::size_t c, std::size_t pos) { chain.vals[pos] = c == r ? 2.0 : -0.1; });
    const BlockIndex index = block_index(chain, single, single);
    const Aggregates chained = aggregate_nodes(strong_graph(chain, index, single, 0.0));
    std::vector<int> members(static_cast<std::size_t>(chained.count), 0);
    for (std::size_t v = 0; v < n; ++v) {
        ASSERT_GE(chained.of[v], 0);
        ASSERT_LT(chained.of[v], chained.count);
        ++members[static_cast<std::size_t>(chained.of[v])];
        // On a chain a connected aggregate is a stretch of consecutive nodes.
        if (v > 0 && chained.of[v] != chained.of[v - 1]) {
            for (std::size_t w = 0; w < v; ++w) ASSERT_NE(chained.of[w], chained.of[v]);
        }
    }
    for (const int size : members) {
        EXPECT_GE(size, 2);
        EXPECT_LE(size, 3);
    }
    // Couplings of strength 0.1 / 2 = 0.05 are weak at threshold 0.06.
    EXPECT_EQ(aggregate_nodes(strong_graph(chain, index, single, 0.06)).count, static_cast<std::int32_t>(n));
    EXPECT_EQ(aggregate_nodes(strong_graph(chain, index, single, 0.04)).count, chained.count);
}

// T B_c = B on every aggregate, T^T T = I, and each aggregate gets as many coarse unknowns as
// the modes are independent on it: 6 on three points off a line, 5 on two points, 3 on one.
TEST(AmgTransfer, TentativeProlongatorReproducesModes) {
    const std::vector<double> points{0, 0, 0, 1, 0, 0, 0, 1, 0, 2, 2, 2, 3, 2, 2, 5, 5, 5};
    std::vector<double> coordinates;
    std::vector<std::int32_t> components;
    for (std::size_t p = 0; p < 6; ++p)
        for (std::int32_t c = 0; c < 3; ++c) {
            coordinates.insert(coordinates.end(), points.begin() + 3 * p, points.begin() + 3 * p + 3);
            components.push_back(c);
        }
    const NearNullSpace modes = rigid_body_modes(coordinates, components);
    const Aggregates aggregates{{0, 0, 0, 1, 1, 2}, 3};
    const Tentative tentative = tentative_prolongator(modes.nodes, aggregates, modes.modes, 6);
    EXPECT_EQ(tentative.coarse_nodes.starts, (std::vector<std::int32_t>{0, 6, 11, 14}));
    const Dense t = dense(tentative.matrix, tentative.matrix.vals);
    for (std::size_t i = 0; i < 18; ++i)
        for (std::size_t k = 0; k < 6; ++k) {
            double reproduced = 0.0;
            for (std::size_t c = 0; c < 14; ++c) reproduced += t[i][c] * tentative.coarse_modes[6 * c + k];
            EXPECT_NEAR(reproduced, modes.modes[6 * i + k], 1e-12) << "unknown " << i << ", mode " << k;
        }
    for (std::size_t c = 0; c < 14; ++c)
        for (std::size_t d = 0; d < 14; ++d) {
            double gram = 0.0;
            for (std::size_t i = 0; i < 18; ++i) gram += t[i][c] * t[i][d];
            EXPECT_NEAR(gram, c == d ? 1.0 : 0.0, 1e-12);
        }
}

}  // namespace
}  // namespace quarvex
