// Conjugate gradients: small cases worked by hand, the breakdown stops, a random SPD system
// against a dense Cholesky solve, and the iteration schedule (refresh period, iteration cap,
// confirmation of small tolerances) against a step-by-step replay built from the same kernels.
// The pool cuts every loop along a fixed tree, so within one process the replay and the solver
// see the same reductions bit for bit.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

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

// A full n x n pattern (one element holding 0..n-1) filled row by row from `rows`.
SprMat dense_matrix(const Dense& rows) {
    const std::size_t n = rows.size();
    std::vector<Tet> tets(1);
    tets[0].dofs = {{0, static_cast<std::int32_t>(n)}};
    SprMat mat = build_pattern(n == 0 ? std::vector<Tet>{} : tets, n);
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t c = 0; c < n; ++c) mat.vals[locate(mat, r, static_cast<std::int32_t>(c))] = rows[r][c];
    return mat;
}

Dense diagonal(const std::vector<double>& entries) {
    Dense rows(entries.size(), std::vector<double>(entries.size(), 0.0));
    for (std::size_t k = 0; k < entries.size(); ++k) rows[k][k] = entries[k];
    return rows;
}

// M M^T + shift I with M uniform in [-1, 1]: symmetric positive definite.
Dense random_spd(std::size_t n, double shift, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Dense m(n, std::vector<double>(n));
    for (auto& row : m)
        for (double& v : row) v = value(random);
    Dense a(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < n; ++k) a[i][j] += m[i][k] * m[j][k];
            if (i == j) a[i][j] += shift;
        }
    return a;
}

// Solves a x = b by Cholesky factorisation.
std::vector<double> cholesky_solve(Dense a, std::vector<double> b) {
    const std::size_t n = b.size();
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k = 0; k < j; ++k) a[j][j] -= a[j][k] * a[j][k];
        a[j][j] = std::sqrt(a[j][j]);
        for (std::size_t i = j + 1; i < n; ++i) {
            for (std::size_t k = 0; k < j; ++k) a[i][j] -= a[i][k] * a[j][k];
            a[i][j] /= a[j][j];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < i; ++k) b[i] -= a[i][k] * b[k];
        b[i] /= a[i][i];
    }
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t k = i + 1; k < n; ++k) b[i] -= a[k][i] * b[k];
        b[i] /= a[i][i];
    }
    return b;
}

// The iteration replayed step by step with the schedule as a parameter.
struct Schedule {
    std::uint64_t period;       // residual recomputed when i mod period = 0
    std::size_t iterations;     // cap on i
    bool confirm_small = true;  // confirm a passing test when tol^2 < 1e-20
};

struct Replay {
    std::vector<double> sol;
    std::size_t iterations = 0;    // iterations that took a step
    int confirmations_failed = 0;  // carried rho passed, recomputed residual did not
};

Replay replay(const SprMat& mat, std::vector<double> sol, const std::vector<double>& rhs, double tol,
              Schedule schedule) {
    const std::size_t n = rhs.size();
    Replay result;
    std::vector<double> r = rhs, t(n, 0.0);
    auto true_residual = [&] {
        mul_vec(mat, sol, t);
        copy_into(r, rhs);
        sub_into(r, t);
    };
    mul_vec(mat, sol, t);
    sub_into(r, t);
    std::vector<double> p = r;
    double rho = norm_sq(r);
    const double tau = tol * tol;
    for (std::size_t i = 0; i < schedule.iterations; ++i) {
        if (rho < tau) {
            if (tau >= 1e-20 || !schedule.confirm_small) break;
            true_residual();
            if (norm_sq(r) < tau) break;
            ++result.confirmations_failed;
        }
        if (rho == 0.0) break;
        mul_vec(mat, p, t);
        const double pi = dot(p, t);
        if (pi == 0.0 || !std::isfinite(pi)) break;
        const double alpha = rho / pi;
        axpy(sol, alpha, p);
        if (i % schedule.period != 0)
            axmy(r, alpha, t);
        else
            true_residual();
        const double rho_next = norm_sq(r);
        aypx(p, rho_next / rho, r);
        rho = rho_next;
        ++result.iterations;
    }
    result.sol = sol;
    return result;
}

std::vector<double> solved(const SprMat& mat, std::vector<double> sol, const std::vector<double>& rhs, double tol) {
    cg_solve(mat, sol, rhs, tol);
    return sol;
}

TEST(CgPeriod, RoundedSquareRoot) {
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> cases{
        {0, 0}, {1, 1},    {2, 1},    {3, 2},    {6, 2},
        {7, 3}, {100, 10}, {110, 10}, {111, 11}, {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 32}};
    for (const auto& [n, period] : cases) EXPECT_EQ(refresh_period(n), period) << "n = " << n;
}

TEST(CgSmall, EmptySystem) {
    const SprMat mat;
    std::vector<double> sol;
    cg_solve(mat, sol, {}, 1e-6);
    EXPECT_TRUE(sol.empty());
}

TEST(CgSmall, LengthMismatchFailsInTheFirstProduct) {
    const std::string message = "assertion failed: self.0.cols == rhs.len() && self.0.cols == self.1.len()";
    const SprMat mat = dense_matrix({{4.0, 1.0}, {1.0, 3.0}});
    std::vector<double> short_sol{0.0};
    EXPECT_EQ(panic_text([&] { cg_solve(mat, short_sol, {1.0, 2.0}, 1e-6); }), message);
    std::vector<double> sol{0.0, 0.0};
    EXPECT_EQ(panic_text([&] { cg_solve(mat, sol, {1.0, 2.0, 3.0}, 1e-6); }), message);
    std::vector<double> empty_sol{1.0};
    EXPECT_EQ(panic_text([&] { cg_solve(SprMat{}, empty_sol, {}, 1e-6); }), message);
}

TEST(CgSmall, OneUnknown) {
    // rho = 64, alpha = 64 / 256 = 0.25, sol = 2, refreshed residual 0, loop ends at i = 1 = n.
    EXPECT_EQ(solved(dense_matrix({{4.0}}), {0.0}, {8.0}, 1e-6), std::vector<double>{2.0});
}

TEST(CgSmall, TestIsStrict) {
    // rho = 1 equals tol^2 = 1: not converged, so one step is taken.
    EXPECT_EQ(solved(dense_matrix({{1.0}}), {0.0}, {1.0}, 1.0), std::vector<double>{1.0});
    EXPECT_EQ(solved(dense_matrix({{1.0}}), {0.0}, {1.0}, 1.0000001), std::vector<double>{0.0});
}

// Starts that must come back bit for bit: converged ones, and breakdowns, which must fail
// with their text and never leave NaN behind.
struct StopCase {
    const char* name;
    Dense matrix;
    std::vector<double> rhs;
    std::vector<double> start;
    double tol;
    std::string failure = "<no panic>";
};

class CgStops : public testing::TestWithParam<StopCase> {};

TEST_P(CgStops, StartVectorComesBackUnchanged) {
    const StopCase& c = GetParam();
    std::vector<double> sol = c.start;
    EXPECT_EQ(panic_text([&] { cg_solve(dense_matrix(c.matrix), sol, c.rhs, c.tol); }), c.failure);
    ASSERT_EQ(sol.size(), c.start.size());
    for (std::size_t k = 0; k < sol.size(); ++k) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(sol[k]), std::bit_cast<std::uint64_t>(c.start[k])) << "entry " << k;
        EXPECT_TRUE(std::isfinite(sol[k]));
    }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, CgStops,
    testing::Values(
        // 4 x + y = 1, x + 3 y = 2 has x = 1/11, y = 7/11; the start is 1e-9 away, tol 1e-6.
        StopCase{"converged_start", {{4.0, 1.0}, {1.0, 3.0}}, {1.0, 2.0}, {1.0 / 11 + 1e-9, 7.0 / 11}, 1e-6},
        StopCase{"exact_start_tiny_tol", diagonal({2.0, 4.0, 8.0}), {2.0, 4.0, 8.0}, {1.0, 1.0, 1.0}, 1e-12},
        StopCase{"exact_start_zero_tol", diagonal({2.0, 4.0, 8.0}), {2.0, 4.0, 8.0}, {1.0, 1.0, 1.0}, 0.0},
        StopCase{"zero_system_zero_tol", diagonal({0.0, 0.0, 0.0}), {0.0, 0.0, 0.0}, {1.0, -2.0, 3.0}, 0.0},
        StopCase{"zero_matrix_zero_tol",
                 diagonal({0.0, 0.0, 0.0}),
                 {1.0, 2.0, 3.0},
                 {0.0, 0.0, 0.0},
                 0.0,
                 "conjugate gradients broke down at iteration 0: p.Ap = 0"},
        StopCase{"nan_in_rhs",
                 diagonal({1.0, 2.0}),
                 {kNaN, 1.0},
                 {0.5, 0.5},
                 1e-6,
                 "conjugate gradients broke down at iteration 0: r.r = nan"},
        StopCase{"infinite_rhs",
                 diagonal({1.0, 2.0}),
                 {std::numeric_limits<double>::infinity(), 1.0},
                 {0.5, 0.5},
                 1e-6,
                 "conjugate gradients broke down at iteration 0: r.r = inf"},
        // alpha = 1 / 1e-310 overflows: refused before the solution takes the step.
        StopCase{"step_overflows",
                 diagonal({1e-310}),
                 {1.0},
                 {0.0},
                 1e-6,
                 "conjugate gradients broke down at iteration 0: the step length inf overflows"}),
    [](const testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

TEST(CgSolve, RandomSpdAgainstCholesky) {
    for (const std::size_t n : {5u, 37u, 120u}) {
        const Dense a = random_spd(n, 0.5 * static_cast<double>(n), static_cast<unsigned>(n));
        const std::vector<double> b = random_vector(n, 99);
        const std::vector<double> expected = cholesky_solve(a, b);
        const std::vector<double> sol = solved(dense_matrix(a), std::vector<double>(n, 0.0), b, 1e-13);
        for (std::size_t k = 0; k < n; ++k) EXPECT_NEAR(sol[k], expected[k], 1e-11) << "n = " << n << ", entry " << k;
    }
}

TEST(CgSolve, NegativeTolActsAsItsMagnitude) {
    const Dense a = random_spd(30, 1.0, 4);
    const SprMat mat = dense_matrix(a);
    const std::vector<double> b = random_vector(30, 5);
    const std::vector<double> start(30, 0.0);
    const std::vector<double> positive = solved(mat, start, b, 1e-3);
    EXPECT_EQ(solved(mat, start, b, -1e-3), positive);
    EXPECT_NE(positive, start);
}

// n = 100, so the residual is recomputed at i = 0, 10, 20, ...; tol = 0 makes all 100
// iterations run. A replay with another period or one iteration fewer must end elsewhere.
TEST(CgSchedule, RefreshEveryTenthOfHundredIterations) {
    std::vector<double> spread(100);
    for (std::size_t k = 0; k < 100; ++k) spread[k] = std::pow(10.0, 4.0 * static_cast<double>(k) / 99.0);
    Dense a = random_spd(100, 0.0, 21);
    for (std::size_t k = 0; k < 100; ++k) a[k][k] += spread[k];
    const SprMat mat = dense_matrix(a);
    const std::vector<double> b = random_vector(100, 22);
    const std::vector<double> start = random_vector(100, 23);

    const std::vector<double> sol = solved(mat, start, b, 0.0);
    const Replay expected = replay(mat, start, b, 0.0, {10, 100});
    EXPECT_EQ(expected.iterations, 100u);
    EXPECT_EQ(sol, expected.sol);
    EXPECT_NE(sol, replay(mat, start, b, 0.0, {11, 100}).sol);
    EXPECT_NE(sol, replay(mat, start, b, 0.0, {9, 100}).sol);
    EXPECT_NE(sol, replay(mat, start, b, 0.0, {10, 99}).sol);
}

// tol = 0 on diag(1 .. 8): exactly n steps, which is what CG needs for 8 distinct eigenvalues.
TEST(CgSchedule, ZeroTolRunsExactlyNIterations) {
    const SprMat mat = dense_matrix(diagonal({1, 2, 3, 4, 5, 6, 7, 8}));
    const std::vector<double> b(8, 1.0), start(8, 0.0);
    const std::vector<double> sol = solved(mat, start, b, 0.0);
    for (std::size_t k = 0; k < 8; ++k) EXPECT_NEAR(sol[k], 1.0 / static_cast<double>(k + 1), 1e-12);
    EXPECT_EQ(sol, replay(mat, start, b, 0.0, {3, 8}).sol);
    const std::vector<double> short_run = replay(mat, start, b, 0.0, {3, 7}).sol;
    EXPECT_GT(std::abs(short_run[0] - 1.0), 1e-6);  // one step fewer is visibly short
}

// A diagonal system with seven distinct entries converges in seven steps; afterwards the
// residual recomputed every P = 6 steps stays near 1.7e-23 (rounding of b - A x), while the
// carried one keeps shrinking below tol^2 = 9e-24: every confirmation fails and the method
// carries on to i = n. Without the confirmation it would stop at the first pass.
TEST(CgSchedule, SmallTolConfirmsWithTrueResidual) {
    const std::size_t n = 40;
    std::vector<double> entries(n);
    for (std::size_t k = 0; k < n; ++k) entries[k] = 1.0 + static_cast<double>(k % 7);
    const SprMat mat = dense_matrix(diagonal(entries));
    std::vector<double> b = random_vector(n, 22), start = random_vector(n, 23);
    for (std::size_t k = 0; k < n; ++k) {
        b[k] *= 1e4;
        start[k] *= 3e4;
    }
    const double tol = 3e-12;
    const Replay confirmed = replay(mat, start, b, tol, {refresh_period(n), n});
    ASSERT_GT(confirmed.confirmations_failed, 0) << "the case no longer exercises the confirmation";
    const std::vector<double> sol = solved(mat, start, b, tol);
    EXPECT_EQ(sol, confirmed.sol);
    EXPECT_NE(sol, replay(mat, start, b, tol, {refresh_period(n), n, false}).sol);
}

// ||b - A x|| computed densely.
double dense_residual_norm(const Dense& a, const std::vector<double>& x, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        double r = b[i];
        for (std::size_t j = 0; j < b.size(); ++j) r -= a[i][j] * x[j];
        sum += r * r;
    }
    return std::sqrt(sum);
}

constexpr double kAlways = std::numeric_limits<double>::infinity();  // confirm every passing test

// Options and report: the one-unknown case by hand, a random SPD system with its history, the
// step limit, a breakdown, and an interrupt, which must leave exactly the iterate a shorter
// run reaches.
TEST(CgReport, OneUnknownByHand) {
    const SprMat mat = dense_matrix({{4.0}});
    std::vector<double> sol{0.0};
    const std::vector<double> rhs{8.0};
    const CgReport report = cg_solve(mat, sol, rhs, CgOptions{1e-6, 10, kAlways, true});
    EXPECT_EQ(report.iterations, 1u);
    EXPECT_EQ(sol[0], 2.0);
    EXPECT_TRUE(report.converged);
    EXPECT_EQ(report.residual_sq, 0.0);
    EXPECT_EQ(report.history, (std::vector<double>{8.0, 0.0}));
}

TEST(CgReport, RandomSystemReportsTheTrueResidual) {
    const std::size_t n = 40;
    const Dense a = random_spd(n, static_cast<double>(n), 7);
    const SprMat mat = dense_matrix(a);
    std::vector<double> rhs(n), sol(n, 0.0);
    std::mt19937 random(7);
    for (double& v : rhs) v = std::uniform_real_distribution<double>(-1.0, 1.0)(random);
    const CgReport report = cg_solve(mat, sol, rhs, CgOptions{1e-10, 400, kAlways, true});
    EXPECT_TRUE(report.converged);
    EXPECT_GT(report.iterations, 0u);
    const double true_norm = std::sqrt(residual_norm_sq(mat, sol, rhs));
    EXPECT_LT(true_norm, 1e-10);
    EXPECT_NEAR(true_norm, dense_residual_norm(a, sol, rhs), 1e-3 * true_norm);
    ASSERT_EQ(report.history.size(), report.iterations + 1);
    EXPECT_EQ(report.history.back(), std::sqrt(report.residual_sq));
}

TEST(CgReport, LimitsFloorAndBreakdown) {
    const Dense a = random_spd(12, 12.0, 3);
    const SprMat mat = dense_matrix(a);
    const std::vector<double> rhs(12, 1.0);

    std::vector<double> sol(12, 0.0);
    CgReport report = cg_solve(mat, sol, rhs, CgOptions{1e-12, 0, kAlways, false});
    EXPECT_EQ(report.iterations, 0u);
    EXPECT_FALSE(report.converged);
    EXPECT_EQ(sol, std::vector<double>(12, 0.0));
    EXPECT_DOUBLE_EQ(report.residual_sq, 12.0);
    EXPECT_TRUE(report.history.empty());

    report = cg_solve(mat, sol, rhs, CgOptions{4.0, 100, kAlways, false});  // sqrt(12) < 4
    EXPECT_TRUE(report.converged);
    EXPECT_EQ(report.iterations, 0u);

    const SprMat zero = dense_matrix(Dense(3, std::vector<double>(3, 0.0)));
    std::vector<double> small(3, 0.0);
    std::string text = "<no panic>";
    try {
        cg_solve(zero, small, std::vector<double>(3, 1.0), CgOptions{1e-8, 100, kAlways, false});
    } catch (const Panic& failure) {
        text = failure.text;
    }
    EXPECT_EQ(text, "conjugate gradients broke down at iteration 0: p.Ap = 0");
    EXPECT_EQ(small, std::vector<double>(3, 0.0));
}

TEST(CgReport, AnExceptionBetweenStepsLeavesTheLastIterate) {
    const SprMat mat = dense_matrix(random_spd(30, 30.0, 5));
    const std::vector<double> rhs(30, 1.0);
    std::vector<double> two_steps(30, 0.0);
    cg_solve(mat, two_steps, rhs, CgOptions{0.0, 2, kAlways, false});

    std::vector<double> interrupted(30, 0.0);
    static int calls = 0;
    calls = 0;
    set_interrupt_hook([] {
        if (++calls == 3) throw std::runtime_error("interrupt");
    });
    EXPECT_THROW(cg_solve(mat, interrupted, rhs, CgOptions{0.0, 100, kAlways, false}), std::runtime_error);
    set_interrupt_hook(nullptr);
    EXPECT_EQ(interrupted, two_steps);  // the pool's fixed reduction tree makes the runs agree bit for bit
}

// Norms without under- or overflow, and the power-of-two scaling of solves whose load lies far
// from 1: a load 2^k times another gives 2^k times its answer, bit for bit, where the unscaled
// squares would have left the range of double.
TEST(SafeNorms, Norm2AndMaxAbs) {
    const std::vector<double> ordinary = random_vector(5000, 11);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(norm2(ordinary)),
              std::bit_cast<std::uint64_t>(std::sqrt(norm_sq(ordinary))));
    EXPECT_DOUBLE_EQ(norm2(std::vector<double>{3e-200, -4e-200}), 5e-200);
    EXPECT_DOUBLE_EQ(norm2(std::vector<double>{3e200, 4e200}), 5e200);
    EXPECT_DOUBLE_EQ(norm2(std::vector<double>{3e-320, 4e-320}), 5e-320);  // subnormal entries
    std::vector<double> many(10000, 1e300);
    EXPECT_NEAR(norm2(many) / 1e302, 1.0, 1e-13);  // 10^4 rounded additions
    EXPECT_EQ(norm2(std::vector<double>{}), 0.0);
    EXPECT_EQ(norm2(std::vector<double>(7, 0.0)), 0.0);
    EXPECT_TRUE(std::isnan(norm2(std::vector<double>{1e-300, std::nan(""), 1.0})));
    EXPECT_EQ(norm2(std::vector<double>{1e-300, -std::numeric_limits<double>::infinity()}),
              std::numeric_limits<double>::infinity());

    std::vector<double> values = random_vector(9000, 12);
    values[6543] = -7.5;
    EXPECT_EQ(max_abs(values), 7.5);
    values[100] = std::nan("");
    EXPECT_TRUE(std::isnan(max_abs(values)));
    EXPECT_EQ(max_abs(std::vector<double>{}), 0.0);
    scale_by(many, 0x1p-10);
    EXPECT_EQ(many[9999], 1e300 * 0x1p-10);
}

TEST(FarLoads, ScaledSolveIsThePowerOfTwoMultipleBitForBit) {
    const std::size_t n = 40;
    const SprMat mat = dense_matrix(random_spd(n, 40.0, 9));
    std::vector<double> rhs = random_vector(n, 10);
    rhs[3] = 1.75;  // largest magnitude in [1, 2): the scaled solves see this very load
    std::vector<double> unit(n, 0.0);
    const CgReport reference = cg_solve(mat, unit, rhs, CgOptions{1e-10, 400, kAlways, true});
    ASSERT_TRUE(reference.converged);
    for (const int exponent : {-700, -300, 300, 700}) {
        const double factor = std::ldexp(1.0, exponent);
        std::vector<double> far_rhs(rhs), sol(n, 0.0);
        for (double& value : far_rhs) value *= factor;
        const CgReport report = cg_solve(mat, sol, far_rhs, CgOptions{1e-10 * factor, 400, kAlways, true});
        EXPECT_TRUE(report.converged) << exponent;
        EXPECT_EQ(report.iterations, reference.iterations) << exponent;
        EXPECT_EQ(report.residual_norm, factor * reference.residual_norm) << exponent;
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(sol[i], factor * unit[i]) << exponent << " entry " << i;
        ASSERT_EQ(report.history.size(), reference.history.size());
        for (std::size_t i = 0; i < report.history.size(); ++i)
            EXPECT_EQ(report.history[i], factor * reference.history[i]);
    }
}

TEST(FarLoads, AnInterruptedScaledSolveLeavesTheUnscaledLastIterate) {
    const SprMat mat = dense_matrix(random_spd(30, 30.0, 5));
    const std::vector<double> rhs(30, 1.0);
    std::vector<double> two_steps(30, 0.0);
    cg_solve(mat, two_steps, rhs, CgOptions{0.0, 2, kAlways, false});

    const double factor = 0x1p-800;
    const std::vector<double> far_rhs(30, factor);
    std::vector<double> interrupted(30, 0.0);
    static int calls = 0;
    calls = 0;
    set_interrupt_hook([] {
        if (++calls == 3) throw std::runtime_error("interrupt");
    });
    EXPECT_THROW(cg_solve(mat, interrupted, far_rhs, CgOptions{0.0, 100, kAlways, false}), std::runtime_error);
    set_interrupt_hook(nullptr);
    for (std::size_t i = 0; i < 30; ++i) EXPECT_EQ(interrupted[i], factor * two_steps[i]);
}

// A tolerance below the rounding floor: the reporting solve stops where the residual stalls.
TEST(Stall, ATolerancePastTheRoundingFloorStopsTheReportingSolveOnly) {
    const std::size_t n = 60;
    const SprMat mat = dense_matrix(random_spd(n, 0.5, 4));  // condition ~10^3: a floor near 1e-14
    const std::vector<double> rhs = random_vector(n, 6);
    CgOptions options{1e-30, 100000, kAlways, false};
    options.stop_when_stalled = true;
    std::vector<double> sol(n, 0.0);
    const CgReport report = cg_solve(mat, sol, rhs, options);
    EXPECT_TRUE(report.stalled);
    EXPECT_FALSE(report.converged);
    EXPECT_LT(report.iterations, 2000u);
    EXPECT_LT(std::sqrt(residual_norm_sq(mat, sol, rhs)), 1e-10 * std::sqrt(norm_sq(rhs)));  // at the floor

    // The module's solve keeps its stop: the tolerance or n iterations.
    std::vector<double> plain(n, 0.0);
    const CgReport limited = cg_solve(mat, plain, rhs, 1e-30);
    EXPECT_FALSE(limited.stalled);
    EXPECT_EQ(limited.iterations, n);
}

}  // namespace
}  // namespace quarvex
