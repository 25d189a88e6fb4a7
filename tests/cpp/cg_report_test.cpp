// Reporting conjugate gradients: the one-unknown case by hand, a random SPD system against a
// dense solve with a true report, the step limit, the tolerance floor, a breakdown, and an
// exception from between_steps, which must leave exactly the iterate a shorter run reaches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "lacc/cg_report.hpp"
#include "lacc/pattern.hpp"
#include "lacc/spr.hpp"

namespace quarvex {
namespace {

using Dense = std::vector<std::vector<double>>;

SprMat dense_matrix(const Dense& rows) {
    const std::size_t n = rows.size();
    std::vector<Tet> tets(1);
    tets[0].dofs = {{0, static_cast<std::int32_t>(n)}};
    SprMat mat = build_pattern(tets, n);
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t c = 0; c < n; ++c) mat.vals[locate(mat, r, static_cast<std::int32_t>(c))] = rows[r][c];
    return mat;
}

// M M^T + n I, M uniform in [-1, 1], and a right-hand side.
Dense random_spd(std::size_t n, std::mt19937& random) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Dense m(n, std::vector<double>(n));
    for (auto& row : m)
        for (double& v : row) v = value(random);
    Dense a(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < n; ++k) a[i][j] += m[i][k] * m[j][k];
            if (i == j) a[i][j] += static_cast<double>(n);
        }
    return a;
}

double residual_norm(const Dense& a, const std::vector<double>& x, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        double r = b[i];
        for (std::size_t j = 0; j < b.size(); ++j) r -= a[i][j] * x[j];
        sum += r * r;
    }
    return std::sqrt(sum);
}

const auto no_check = [] {};

TEST(CgReport, OneUnknownByHand) {
    const SprMat mat = dense_matrix({{4.0}});
    std::vector<double> sol{0.0};
    const std::vector<double> rhs{8.0};
    const CgReport report = cg_solve_report(mat, sol, rhs, {1e-6, 0.0, 10, true}, no_check);
    EXPECT_EQ(report.iterations, 1u);
    EXPECT_EQ(sol[0], 2.0);
    EXPECT_TRUE(report.converged);
    EXPECT_EQ(report.residual_norm, 0.0);
    EXPECT_EQ(report.rhs_norm, 8.0);
    EXPECT_EQ(report.history, (std::vector<double>{8.0, 0.0}));
}

TEST(CgReport, RandomSystemReportsTheTrueResidual) {
    std::mt19937 random(7);
    const std::size_t n = 40;
    const Dense a = random_spd(n, random);
    const SprMat mat = dense_matrix(a);
    std::vector<double> rhs(n), sol(n, 0.0);
    for (double& v : rhs) v = std::uniform_real_distribution<double>(-1.0, 1.0)(random);
    const CgReport report = cg_solve_report(mat, sol, rhs, {1e-10, 0.0, 400, true}, no_check);
    EXPECT_TRUE(report.converged);
    EXPECT_GT(report.iterations, 0u);
    EXPECT_LE(report.residual_norm, 1e-10 * report.rhs_norm);
    EXPECT_NEAR(report.residual_norm, residual_norm(a, sol, rhs), 1e-3 * report.residual_norm);
    ASSERT_EQ(report.history.size(), report.iterations + 1);
    EXPECT_EQ(report.history.back(), report.residual_norm);
}

TEST(CgReport, LimitsFloorAndBreakdown) {
    std::mt19937 random(3);
    const Dense a = random_spd(12, random);
    const SprMat mat = dense_matrix(a);
    const std::vector<double> rhs(12, 1.0);

    std::vector<double> sol(12, 0.0);
    CgReport report = cg_solve_report(mat, sol, rhs, {1e-12, 0.0, 0, false}, no_check);
    EXPECT_EQ(report.iterations, 0u);
    EXPECT_FALSE(report.converged);
    EXPECT_EQ(sol, std::vector<double>(12, 0.0));
    EXPECT_DOUBLE_EQ(report.residual_norm, std::sqrt(12.0));
    EXPECT_TRUE(report.history.empty());

    report = cg_solve_report(mat, sol, rhs, {0.0, 4.0, 100, false}, no_check);  // sqrt(12) <= 4
    EXPECT_TRUE(report.converged);
    EXPECT_EQ(report.iterations, 0u);

    const SprMat zero = dense_matrix(Dense(3, std::vector<double>(3, 0.0)));
    std::vector<double> small(3, 0.0);
    report = cg_solve_report(zero, small, std::vector<double>(3, 1.0), {1e-8, 0.0, 100, false}, no_check);
    EXPECT_EQ(report.iterations, 0u);
    EXPECT_FALSE(report.converged);
}

TEST(CgReport, AnExceptionBetweenStepsLeavesTheLastIterate) {
    std::mt19937 random(5);
    const SprMat mat = dense_matrix(random_spd(30, random));
    const std::vector<double> rhs(30, 1.0);
    std::vector<double> two_steps(30, 0.0);
    cg_solve_report(mat, two_steps, rhs, {0.0, 0.0, 2, false}, no_check);

    std::vector<double> interrupted(30, 0.0);
    int calls = 0;
    EXPECT_THROW(cg_solve_report(mat, interrupted, rhs, {0.0, 0.0, 100, false},
                                 [&] {
                                     if (++calls == 3) throw std::runtime_error("interrupt");
                                 }),
                 std::runtime_error);
    EXPECT_EQ(interrupted, two_steps);  // the pool's fixed reduction tree makes the runs agree bit for bit
}

}  // namespace
}  // namespace quarvex
