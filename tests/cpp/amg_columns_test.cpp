// Several right-hand sides at once: every column of a wide product, cycle and solve must be
// what the one-column call gives for that column alone. Covers widths that take the vector
// kernels and widths that do not, rows that share their node's structure and rows that do not
// (nodes with one or two unknowns on symmetry planes), rectangular transfer operators, loads
// far from 1 (each column scaled on its own), zero loads, iteration limits, batches of more
// than twelve columns, and the refusals.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "../../benchmarks/box_model.hpp"
#include "amg/amg.hpp"
#include "amg/columns.hpp"
#include "amg/cycle.hpp"
#include "amg/matrix.hpp"
#include "amg/pcg.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/lav.hpp"

namespace quarvex {
namespace {

using test_support::panic_text;
using test_support::random_vector;

bench::BoxModel box(bench::Support support) {
    return bench::box_model({4, 3, 3, 1.0, 1.0, 1.0, support}, 1.25, 1.0);
}

AmgOptions small_options() {
    AmgOptions options;
    options.coarse_size = 60;  // several levels even on this small model
    return options;
}

std::vector<double> column_of(const std::vector<double>& block, std::size_t width, std::size_t c) {
    std::vector<double> column(block.size() / width);
    copy_column_out(block, width, c, column);
    return column;
}

// max |a - b| / max |b|.
double relative_gap(const std::vector<double>& a, const std::vector<double>& b) {
    double gap = 0.0, size = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        gap = std::max(gap, std::abs(a[i] - b[i]));
        size = std::max(size, std::abs(b[i]));
    }
    return size > 0.0 ? gap / size : gap;
}

struct ProductCase {
    bench::Support support;
    std::size_t width;
};

class WideProducts : public testing::TestWithParam<ProductCase> {};

// Every product kind on the model's matrix and on the first level's prolongator and restrictor,
// with and without the row groups the cycle passes.
TEST_P(WideProducts, EachColumnAsAlone) {
    const auto [support, width] = GetParam();
    const bench::BoxModel model = box(support);
    const SprMat& mat = model.model.mat;
    const AmgHierarchy hierarchy =
        amg_setup(mat, rigid_body_modes(model.coordinates, model.components), small_options());
    ASSERT_GE(hierarchy.levels.size(), 2u);
    const AmgLevel& level = hierarchy.levels[0];
    const std::vector<float> values = float_values(mat);
    struct Operator {
        const SprMat* mat;
        std::span<const float> values;
        std::span<const std::int32_t> groups;  // rows of one structure, as the cycle passes them
    };
    const std::span<const std::int32_t> none;
    const std::span<const std::int32_t> fine = level.nodes.starts, coarse = hierarchy.levels[1].nodes.starts;
    const Operator operators[] = {{&mat, values, none},
                                  {&mat, values, fine},
                                  {&level.prolongator, level.prolongator_values, none},
                                  {&level.prolongator, level.prolongator_values, fine},
                                  {&level.restrictor, level.restrictor_values, none},
                                  {&level.restrictor, level.restrictor_values, coarse}};
    for (const Operator& op : operators) {
        const std::size_t rows = op.mat->rows, cols = op.mat->cols;
        const std::vector<double> x = random_vector(cols * width, 3);
        const std::vector<double> start = random_vector(rows * width, 4);
        // kind 0: y = A x, 1: y += A x, 2: y = b - A x, 3: y -= A x, 4: y = A x (double values),
        // 5: y = b - A x (double values); the last two only on the square matrix.
        for (int kind = 0; kind < (op.mat == &mat ? 6 : 4); ++kind) {
            std::vector<double> wide = start;
            const auto run = [&](std::span<const double> in, std::span<const double> b, std::span<double> out,
                                 std::size_t w) {
                const std::span<const std::int32_t> groups = w > 1 ? op.groups : none;
                switch (kind) {
                    case 0:
                        level_mul(*op.mat, op.values, in, out, w, groups);
                        break;
                    case 1:
                        level_mul_add(*op.mat, op.values, in, out, w, groups);
                        break;
                    case 2:
                        level_residual(*op.mat, op.values, in, b, out, w, groups);
                        break;
                    case 3:
                        level_mul_sub(*op.mat, op.values, in, out, w, groups);
                        break;
                    case 4:
                        level_mul(*op.mat, in, out, w, groups);
                        break;
                    default:
                        level_residual(*op.mat, in, b, out, w, groups);
                }
            };
            run(x, start, wide, width);
            for (std::size_t c = 0; c < width; ++c) {
                std::vector<double> alone = column_of(start, width, c);
                const std::vector<double> b = alone;
                run(column_of(x, width, c), b, alone, 1);
                EXPECT_LT(relative_gap(column_of(wide, width, c), alone), 1e-13)
                    << "kind " << kind << ", column " << c << " of " << width << ", " << rows << " x " << cols;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, WideProducts,
    testing::Values(ProductCase{bench::Support::clamped, 2}, ProductCase{bench::Support::clamped, 4},
                    ProductCase{bench::Support::clamped, 12}, ProductCase{bench::Support::clamped, 16},
                    ProductCase{bench::Support::symmetry_planes, 4}, ProductCase{bench::Support::symmetry_planes, 7},
                    ProductCase{bench::Support::symmetry_planes, 8}));

// The cycle on several columns applies to each what the one-column cycle applies to it.
TEST(WideCycle, EachColumnAsAlone) {
    for (const bench::Support support : {bench::Support::clamped, bench::Support::symmetry_planes}) {
        const bench::BoxModel model = box(support);
        const SprMat& mat = model.model.mat;
        const AmgHierarchy hierarchy =
            amg_setup(mat, rigid_body_modes(model.coordinates, model.components), small_options());
        for (const std::size_t width : {3u, 8u}) {
            const std::vector<double> r = random_vector(mat.rows * width, 5);
            std::vector<double> z(r.size());
            AmgWork work = amg_work(hierarchy, width);
            amg_apply(hierarchy, mat, work, r, z);
            AmgWork one = amg_work(hierarchy);
            for (std::size_t c = 0; c < width; ++c) {
                std::vector<double> alone(mat.rows);
                amg_apply(hierarchy, mat, one, column_of(r, width, c), alone);
                EXPECT_LT(relative_gap(column_of(z, width, c), alone), 1e-12) << "column " << c << " of " << width;
            }
        }
    }
}

struct Solved {
    std::vector<double> sol;
    std::vector<AmgReport> reports;
};

// Loads of one matrix: the model's, scaled far below and far above 1, zero, random, negated.
std::vector<double> mixed_loads(const bench::BoxModel& model, std::size_t count) {
    const std::vector<double>& b = model.model.rhs;
    const std::size_t n = b.size();
    std::vector<double> loads(n * count, 0.0);
    for (std::size_t k = 0; k < count; ++k) {
        const std::vector<double> noise = random_vector(n, 10 + static_cast<unsigned>(k));
        for (std::size_t i = 0; i < n; ++i) {
            double value = 0.0;
            switch (k % 6) {
                case 0:
                    value = b[i];
                    break;
                case 1:
                    value = std::ldexp(b[i], -700);
                    break;
                case 2:
                    value = std::ldexp(b[i] + noise[i], 600);
                    break;
                case 3:
                    value = 0.0;
                    break;
                case 4:
                    value = noise[i];
                    break;
                default:
                    value = -b[i];
            }
            loads[k * n + i] = value;
        }
    }
    return loads;
}

TEST(AmgPcgMany, EachLoadAsAlone) {
    const bench::BoxModel model = box(bench::Support::symmetry_planes);
    const SprMat& mat = model.model.mat;
    const std::size_t n = mat.rows;
    const AmgHierarchy hierarchy =
        amg_setup(mat, rigid_body_modes(model.coordinates, model.components), small_options());
    // 14 loads: a batch of twelve and one of two; 5 iterations at most: every load stops short.
    for (const std::size_t maxiter : {std::size_t{200}, std::size_t{5}}) {
        const std::size_t count = 14;
        const std::vector<double> loads = mixed_loads(model, count);
        std::vector<double> sol(n * count, 0.0);
        const std::vector<AmgReport> reports =
            amg_pcg_many(mat, hierarchy, sol, loads, count, 1e-9, 0.0, maxiter, true);
        ASSERT_EQ(reports.size(), count);
        for (std::size_t k = 0; k < count; ++k) {
            const std::vector<double> b(loads.begin() + static_cast<std::ptrdiff_t>(k * n),
                                        loads.begin() + static_cast<std::ptrdiff_t>((k + 1) * n));
            std::vector<double> alone(n, 0.0);
            const AmgReport single = amg_pcg(mat, hierarchy, alone, b, 1e-9, 0.0, maxiter, true);
            const std::vector<double> mine(sol.begin() + static_cast<std::ptrdiff_t>(k * n),
                                           sol.begin() + static_cast<std::ptrdiff_t>((k + 1) * n));
            const AmgReport& report = reports[k];
            const std::string where = "load " + std::to_string(k) + ", maxiter " + std::to_string(maxiter);
            EXPECT_EQ(report.converged, single.converged) << where;
            EXPECT_LE(report.iterations, maxiter) << where;
            EXPECT_LE(std::max(report.iterations, single.iterations) - std::min(report.iterations, single.iterations),
                      1u)
                << where;
            EXPECT_EQ(report.history.size(), report.iterations + 1) << where;
            EXPECT_NEAR(report.rhs_norm, single.rhs_norm, 1e-14 * single.rhs_norm) << where;
            // The reported residual is the true one of the returned solution (to the rounding of
            // b - A x, which depends on the order of the sums).
            std::vector<double> residual(n);
            level_residual(mat, mine, b, residual);
            EXPECT_NEAR(report.residual_norm, norm2(residual), 1e-13 * report.rhs_norm) << where;
            if (maxiter == 200) {
                EXPECT_TRUE(report.converged) << where;
                EXPECT_LE(report.residual_norm, 1e-9 * report.rhs_norm) << where;
                EXPECT_LT(relative_gap(mine, alone), 1e-6) << where;
            } else if (report.rhs_norm > 0.0) {
                EXPECT_EQ(report.iterations, maxiter) << where;
                EXPECT_LT(relative_gap(mine, alone), 1e-9) << where;  // the same five steps
            } else {
                EXPECT_EQ(report.iterations, 0u) << where;  // a zero load is solved by the zero start
            }
        }
    }
}

TEST(AmgPcgMany, WarmStartsStopAtTheLoadsTolerance) {
    const bench::BoxModel model = box(bench::Support::clamped);
    const SprMat& mat = model.model.mat;
    const std::size_t n = mat.rows;
    const AmgHierarchy hierarchy =
        amg_setup(mat, rigid_body_modes(model.coordinates, model.components), small_options());
    const std::size_t count = 3;
    const std::vector<double> loads = mixed_loads(model, count);
    // Starts far from the solutions: a target relative to the start residual would stop far
    // above the load's tolerance.
    std::vector<double> sol(n * count);
    for (std::size_t i = 0; i < sol.size(); ++i) sol[i] = 1e3 * std::sin(0.37 * static_cast<double>(i));
    for (std::size_t i = n; i < 2 * n; ++i) sol[i] = std::ldexp(sol[i], -700);
    const std::vector<AmgReport> reports = amg_pcg_many(mat, hierarchy, sol, loads, count, 1e-8, 0.0, 500, false);
    for (std::size_t k = 0; k < count; ++k) {
        EXPECT_TRUE(reports[k].converged) << k;
        EXPECT_LE(reports[k].residual_norm, 1e-8 * reports[k].rhs_norm) << k;
    }
}

// Ctrl-C (the interrupt hook throwing) inside a cycle of a batch ends the solve and leaves the
// start vectors as they were.
struct Stop {};
int g_calls_left = 0;
void stop_after_calls() {
    if (--g_calls_left == 0) throw Stop{};
}

TEST(AmgPcgMany, InterruptInsideACycleLeavesTheStartVectors) {
    const bench::BoxModel model = box(bench::Support::clamped);
    const SprMat& mat = model.model.mat;
    const std::size_t n = mat.rows;
    const AmgHierarchy hierarchy =
        amg_setup(mat, rigid_body_modes(model.coordinates, model.components), small_options());
    ASSERT_GE(hierarchy.levels.size(), 2u);
    const std::vector<double> loads = mixed_loads(model, 4);
    const std::vector<double> start = random_vector(4 * n, 9);
    for (const int calls : {2, 3, 7}) {  // the first check of an iteration, one inside its cycle, a later one
        std::vector<double> sol = start;
        g_calls_left = calls;
        set_interrupt_hook(stop_after_calls);
        EXPECT_THROW(amg_pcg_many(mat, hierarchy, sol, loads, 4, 1e-10, 0.0, 100, false), Stop) << calls;
        set_interrupt_hook(nullptr);
        EXPECT_EQ(sol, start) << calls;
    }
}

TEST(AmgPcgMany, Refusals) {
    const bench::BoxModel model = box(bench::Support::clamped);
    const SprMat& mat = model.model.mat;
    const std::size_t n = mat.rows;
    const AmgHierarchy hierarchy =
        amg_setup(mat, rigid_body_modes(model.coordinates, model.components), small_options());
    std::vector<double> sol(2 * n, 0.0);
    std::vector<double> loads = mixed_loads(model, 2);
    EXPECT_NE(panic_text([&] {
                  amg_pcg_many(mat, hierarchy, sol, loads, 3, 1e-8, 0.0, 10, false);
              }).find("3 right-hand sides"),
              std::string::npos);
    loads[n + 5] = std::nan("");
    EXPECT_NE(panic_text([&] { amg_pcg_many(mat, hierarchy, sol, loads, 2, 1e-8, 0.0, 10, false); }).find("non-finite"),
              std::string::npos);
    std::vector<double> x(n * 17), y(n * 17);
    EXPECT_NE(panic_text([&] { level_mul(mat, x, y, 17); }).find("17 columns"), std::string::npos);
    AmgHierarchy unready = hierarchy;
    unready.ready = false;
    loads[n + 5] = 0.0;
    EXPECT_NE(panic_text([&] { amg_pcg_many(mat, unready, sol, loads, 2, 1e-8, 0.0, 10, false); }), "<no panic>");
}

}  // namespace
}  // namespace quarvex
