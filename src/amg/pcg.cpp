// Preconditioned conjugate gradients, z = M r one multigrid cycle:
//   q = A p,  alpha = (r.z) / (p.q),  x += alpha p,  r -= alpha q,  z = M r,
//   beta = (r.z)' / (r.z),  p = z + beta p,
// run on a block of one or more columns (amg/columns.hpp), every column with its own alpha,
// beta, stop test and stall rule, all of them sharing each product and each cycle.
//
// The iterate returned and tested is the minimal-residual smoothing of the conjugate gradients'
// iterates: y += eta (x - y), s += eta (r - s) with eta = -s.(r - s) / |r - s|^2, so that
// |s| <= min(|s'|, |r|) at every step. Conjugate gradients lower the energy norm of the error,
// not the residual: on ill-conditioned systems (thin plates) |r| climbs far above the load before
// it falls, while the smoothed residual never rises and reaches any tolerance no later.
#include "amg/pcg.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "amg/columns.hpp"
#include "amg/cycle.hpp"
#include "amg/failure.hpp"
#include "amg/matrix.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/cg.hpp"
#include "lacc/lav.hpp"
#include "lacc/spr.hpp"

namespace quarvex {
namespace {

// Right-hand sides solved together at most: beyond 12 columns the vectors of a level (96 bytes
// per unknown and vector) outgrow the caches and a column costs more, not less.
constexpr std::size_t kBatchWidth = 12;

// The rounding floor is estimated when the residual has fallen this far.
constexpr double kFloorEstimateAt = 1e-3;
// A refuted column is confirmed again when its carried residual has fallen this far below the
// refuted one: far enough that the stall rule (the true residual must halve between
// refutations) tells slow progress from the floor.
constexpr double kRecheckFall = 0.1;

// The unit roundoff times |A| |y| for column c of the block y (0 where not finite).
double rounding_floor(const SprMat& matrix, std::span<const double> y, std::size_t width, std::size_t c) {
    double size = 0.0;
    if (width == 1) {
        size = abs_product_norm(matrix, y);
    } else {
        std::vector<double> column(matrix.rows);
        copy_column_out(y, width, c, column);
        size = abs_product_norm(matrix, column);
    }
    const double floor = std::numeric_limits<double>::epsilon() * size;
    return std::isfinite(floor) ? floor : 0.0;
}

void check_finite_vector(std::span<const double> v, const char* name) {
    const double sum = norm_sq(v);
    if (!std::isfinite(sum) && !std::isfinite(max_abs(v)))
        panic(std::string("conjugate gradients: ") + name + " holds a non-finite value");
}

// The columns of a solution multiplied by powers of two for the time of a solve, and back (exact)
// on destruction, also when the solve throws: ScaledSolution (lacc/cg.hpp) column by column.
struct ScaledColumns {
    std::span<double> sol;
    std::vector<double> scale;
    std::size_t width;

    ScaledColumns(std::span<double> values, std::vector<double> factors, std::size_t columns)
        : sol(values), scale(std::move(factors)), width(columns) {
        column_scale(sol, scale, width);
    }
    ~ScaledColumns() {
        std::vector<double> back(scale.size());
        for (std::size_t c = 0; c < scale.size(); ++c) back[c] = 1.0 / scale[c];         // powers of two: exact
        for (std::size_t i = 0; i < sol.size(); ++i) sol[i] = back[i % width] * sol[i];  // no pool: must not throw
    }
    ScaledColumns(const ScaledColumns&) = delete;
    ScaledColumns& operator=(const ScaledColumns&) = delete;
};

// Conjugate gradients on the block sol (width columns, of which the first `count` are solved and
// the rest are zero) for the block rhs, from sol's current values. reports[c] for c < count.
void iterate(const SprMat& matrix, const AmgHierarchy& hierarchy, std::span<double> sol, std::span<const double> rhs,
             std::size_t width, std::size_t count, double rtol, double atol, std::size_t maxiter, bool record_history,
             std::span<AmgReport> reports) {
    const std::size_t n = matrix.rows;
    std::span<const std::int32_t> groups;  // rows that share their structure: level 0's nodes
    if (!hierarchy.levels.empty()) groups = hierarchy.levels.front().nodes.starts;
    std::vector<double> residual(n * width), precond(n * width), search_dir(n * width), product(n * width);
    level_residual(matrix, sol, rhs, residual, width, groups);  // R = B - A X
    // Loads far from 1 would take the squares of the norms and the dot products out of the range
    // of double: each column is solved scaled by a power of two (balancing_scale), exactly.
    std::vector<double> scale(width, 1.0);
    bool scaled = false;
    if (width == 1) {
        scale[0] = balancing_scale(rhs, residual, sol);
        scaled = scale[0] != 1.0;
    } else {
        std::vector<double> column(n), column_rhs(n), column_residual(n);
        for (std::size_t c = 0; c < count; ++c) {
            copy_column_out(rhs, width, c, column_rhs);
            copy_column_out(residual, width, c, column_residual);
            copy_column_out(sol, width, c, column);
            scale[c] = balancing_scale(column_rhs, column_residual, column);
            scaled = scaled || scale[c] != 1.0;
        }
    }
    std::vector<double> scaled_rhs;
    std::optional<ScaledColumns> scaled_sol;
    if (scaled) {
        scaled_rhs.assign(rhs.begin(), rhs.end());
        column_scale(scaled_rhs, scale, width);
        rhs = scaled_rhs;
        scaled_sol.emplace(sol, scale, width);
        level_residual(matrix, sol, rhs, residual, width, groups);
    }
    std::vector<double> sums(width), target(width), norm(width), rz(width), alpha(width), beta(width);
    std::vector<StallWatch> watch(width);
    std::vector<char> active(width, 0), restart(width, 0);
    column_norms(rhs, width, norm);
    for (std::size_t c = 0; c < count; ++c) {
        reports[c].rhs_norm = norm[c];
        target[c] = std::max(std::abs(rtol) * norm[c], scale[c] * std::abs(atol));
    }
    column_norms(residual, width, norm);
    bool any = false;
    std::vector<char> known(width, 1);  // whether norm[c] is the true residual of the column's x
    for (std::size_t c = 0; c < count; ++c) {
        if (record_history) reports[c].history.push_back(norm[c]);
        active[c] = !(norm[c] <= target[c]) && maxiter > 0;
        known[c] = !active[c];
        any = any || active[c];
    }
    // The smoothed iterate and residual (Y, S) start as X and R; |S|^2 per column in smooth_sq.
    std::vector<double> smooth_sol(sol.begin(), sol.end()), smooth_res(residual);
    std::vector<double> smooth_sq(width), eta(width), s_dot_d(width), d_sq(width);
    for (std::size_t c = 0; c < width; ++c) smooth_sq[c] = norm[c] * norm[c];
    // The rounding floor of every column's b - A y (unit roundoff times |A| |y|), estimated once
    // its smoothed residual has fallen by kFloorEstimateAt, when y is near the answer's size;
    // -1 before. The first fall below it is confirmed: a tolerance below the floor would let the
    // carried residual fall on for many steps while the true one stays.
    std::vector<double> floor(width, -1.0), initial(norm.begin(), norm.end());
    std::vector<char> floor_checked(width, 0), grace(width, 0);
    AmgWork work = amg_work(hierarchy, width);
    const auto precondition = [&] {  // Z = M R, sums = R.Z, checked on the active columns
        amg_apply(hierarchy, matrix, work, residual, precond);
        column_dots(residual, precond, width, sums);
        for (std::size_t c = 0; c < count; ++c)
            if (active[c] && (!(sums[c] > 0.0) || !std::isfinite(sums[c])))
                refuse_breakdown("preconditioner", "r.z = " + number_text(sums[c]));
    };
    std::fill(restart.begin(), restart.end(), 1);  // the first direction: P = Z
    for (std::size_t iteration = 0; any && iteration < maxiter; ++iteration) {
        check_interrupt();
        precondition();
        for (std::size_t c = 0; c < width; ++c) {
            beta[c] = active[c] && !restart[c] ? sums[c] / rz[c] : 0.0;  // 0: P = Z
            if (active[c]) rz[c] = sums[c];
            restart[c] = 0;
        }
        column_aypx(search_dir, beta, precond, width);          // P = Z + beta P
        level_mul(matrix, search_dir, product, width, groups);  // Q = A P
        column_dots(search_dir, product, width, sums);
        for (std::size_t c = 0; c < width; ++c) {
            alpha[c] = 0.0;  // a finished column keeps its iterate
            if (!active[c]) continue;
            if (!(sums[c] > 0.0) || !std::isfinite(sums[c]))
                refuse_breakdown("matrix", "p.Ap = " + number_text(sums[c]));
            alpha[c] = rz[c] / sums[c];
            ++reports[c].iterations;
        }
        column_axpy(sol, alpha, search_dir, width);    // X += alpha P
        column_axmy(residual, alpha, product, width);  // R -= alpha Q
        column_smoothing_sums(smooth_res, residual, width, s_dot_d, d_sq);
        for (std::size_t c = 0; c < width; ++c)
            eta[c] = active[c] && d_sq[c] > 0.0 && std::isfinite(d_sq[c]) ? -s_dot_d[c] / d_sq[c] : 0.0;
        column_smooth(smooth_sol, sol, smooth_res, residual, eta, width, smooth_sq);  // Y, S
        for (std::size_t c = 0; c < width; ++c) norm[c] = std::sqrt(smooth_sq[c]);
        for (std::size_t c = 0; c < count; ++c)
            if (active[c] && floor[c] < 0.0 && norm[c] <= kFloorEstimateAt * initial[c])
                floor[c] = rounding_floor(matrix, smooth_sol, width, c);
        // Columns whose smoothed residual passes are confirmed with their true residual b - A y;
        // those whose residual first falls below the rounding floor, or by kRecheckFall below the
        // last refuted one, look at it (peek): one product of the whole block, or of the column
        // alone where it is the only one of several. Both take the true residual as S; a refuted
        // pass also restarts the conjugate gradients from y, a peek leaves them as they are.
        std::vector<char> confirming(width, 0), peeking(width, 0);
        std::size_t passing = 0;
        for (std::size_t c = 0; c < count; ++c) {
            if (!active[c]) continue;
            const bool at_floor = !floor_checked[c] && floor[c] >= 0.0 && norm[c] <= floor[c];
            const bool recheck =
                std::isfinite(watch[c].refuted_norm) && norm[c] <= kRecheckFall * watch[c].refuted_norm;
            confirming[c] = norm[c] <= target[c] || at_floor || recheck;
            peeking[c] = confirming[c] && !(norm[c] <= target[c]);
            floor_checked[c] = floor_checked[c] || at_floor;
            passing += confirming[c];
        }
        const auto take_true = [&](std::span<const double> true_residual, std::size_t stride, std::size_t c,
                                   std::size_t at) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t k = i * width + c;
                smooth_res[k] = true_residual[i * stride + at];
                if (peeking[c]) continue;
                sol[k] = smooth_sol[k];
                residual[k] = smooth_res[k];
            }
        };
        if (passing > 1 || (passing == 1 && width == 1)) {
            std::vector<double>& true_residual = product;  // Q is not needed again this step
            level_residual(matrix, smooth_sol, rhs, true_residual, width, groups);
            column_norms(true_residual, width, sums);
            for (std::size_t c = 0; c < count; ++c) {
                if (!confirming[c]) continue;
                norm[c] = sums[c];
                take_true(true_residual, width, c, c);
            }
        } else if (passing == 1) {
            const std::size_t c =
                static_cast<std::size_t>(std::find(confirming.begin(), confirming.end(), char{1}) - confirming.begin());
            std::vector<double> column(n), column_rhs(n), column_residual(n);
            copy_column_out(smooth_sol, width, c, column);
            copy_column_out(rhs, width, c, column_rhs);
            level_residual(matrix, column, column_rhs, column_residual);
            norm[c] = norm2(column_residual);
            take_true(column_residual, 1, c, 0);
        }
        for (std::size_t c = 0; c < count; ++c)
            if (confirming[c]) smooth_sq[c] = norm[c] * norm[c];
        any = false;
        for (std::size_t c = 0; c < count; ++c) {
            if (!active[c]) continue;
            if (confirming[c]) {
                // Where the carried residual drifted from the true one, go on (from the true one,
                // after a pass) as long as that keeps falling, else it sits at the rounding floor.
                if (norm[c] <= target[c]) {
                    active[c] = 0;
                    known[c] = 1;
                } else {
                    restart[c] = !peeking[c];
                    // A peek is judged by the stall rule and grants the next refuted pass a restart
                    // without judgement: the floor's estimate may lie above what the solve can reach.
                    const bool judged = peeking[c] || !grace[c];
                    grace[c] = peeking[c];
                    if (judged && residual_stalled(watch[c], norm[c])) {
                        reports[c].stalled = true;
                        active[c] = 0;
                        known[c] = 1;
                    }
                }
            }
            if (record_history) reports[c].history.push_back(norm[c]);
            if (reports[c].iterations >= maxiter) active[c] = 0;
            any = any || active[c];
        }
    }
    // The answer is the smoothed iterate; its true residual is known where the last step
    // confirmed it (or none ran).
    std::copy(smooth_sol.begin(), smooth_sol.end(), sol.begin());
    if (!std::all_of(known.begin(), known.begin() + static_cast<std::ptrdiff_t>(count), [](char k) { return k; })) {
        level_residual(matrix, sol, rhs, residual, width, groups);
        column_norms(residual, width, norm);
    }
    for (std::size_t c = 0; c < count; ++c) {
        reports[c].residual_norm = norm[c];
        reports[c].converged = norm[c] <= target[c];
        const double back = 1.0 / scale[c];
        reports[c].rhs_norm = back * reports[c].rhs_norm;
        reports[c].residual_norm = back * reports[c].residual_norm;
        for (double& value : reports[c].history) value = back * value;
    }
}

void check_solve(const SprMat& matrix, const AmgHierarchy& hierarchy, std::span<const double> sol,
                 std::span<const double> rhs, std::size_t count) {
    const std::size_t n = matrix.rows;
    if (rhs.size() != n * count || sol.size() != n * count || matrix.cols != n) {
        if (count == 1)
            panic("conjugate gradients: a " + std::to_string(matrix.rows) + " x " + std::to_string(matrix.cols) +
                  " matrix met vectors of " + std::to_string(sol.size()) + " and " + std::to_string(rhs.size()) +
                  " entries");
        panic("conjugate gradients: a " + std::to_string(matrix.rows) + " x " + std::to_string(matrix.cols) +
              " matrix met " + std::to_string(count) + " right-hand sides in vectors of " + std::to_string(sol.size()) +
              " and " + std::to_string(rhs.size()) + " entries");
    }
    if (!hierarchy.ready) refuse_unready();
    if (!amg_matches(hierarchy, matrix)) refuse_other_structure();
    check_finite_vector(rhs, "the right-hand side");
    check_finite_vector(sol, "the start vector");
}

}  // namespace

AmgReport amg_pcg(const SprMat& matrix, const AmgHierarchy& hierarchy, std::vector<double>& sol,
                  const std::vector<double>& rhs, double rtol, double atol, std::size_t maxiter, bool record_history) {
    check_solve(matrix, hierarchy, sol, rhs, 1);
    AmgReport report;
    iterate(matrix, hierarchy, sol, rhs, 1, 1, rtol, atol, maxiter, record_history, std::span<AmgReport>(&report, 1));
    return report;
}

std::vector<AmgReport> amg_pcg_many(const SprMat& matrix, const AmgHierarchy& hierarchy, std::span<double> sol,
                                    std::span<const double> rhs, std::size_t count, double rtol, double atol,
                                    std::size_t maxiter, bool record_history) {
    check_solve(matrix, hierarchy, sol, rhs, count);
    const std::size_t n = matrix.rows;
    std::vector<AmgReport> reports(count);
    if (count == 1) {
        iterate(matrix, hierarchy, sol, rhs, 1, 1, rtol, atol, maxiter, record_history, reports);
        return reports;
    }
    for (std::size_t first = 0; first < count; first += kBatchWidth) {
        const std::size_t columns = std::min(kBatchWidth, count - first);
        const std::size_t width = (columns + 1) / 2 * 2;  // the products' kernels take even widths
        std::vector<double> block_sol(n * width, 0.0), block_rhs(n * width, 0.0);
        for (std::size_t c = 0; c < columns; ++c) {
            copy_column_in(sol.subspan((first + c) * n, n), width, c, block_sol);
            copy_column_in(rhs.subspan((first + c) * n, n), width, c, block_rhs);
        }
        iterate(matrix, hierarchy, block_sol, block_rhs, width, columns, rtol, atol, maxiter, record_history,
                std::span<AmgReport>(reports).subspan(first, columns));
        for (std::size_t c = 0; c < columns; ++c) copy_column_out(block_sol, width, c, sol.subspan((first + c) * n, n));
    }
    return reports;
}

}  // namespace quarvex
