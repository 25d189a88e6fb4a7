// Preconditioned conjugate gradients, z = M r one multigrid cycle:
//   q = A p,  alpha = (r.z) / (p.q),  x += alpha p,  r -= alpha q,  z = M r,
//   beta = (r.z)' / (r.z),  p = z + beta p.
#include "amg/pcg.hpp"
#include "amg/columns.hpp"
#include "amg/cycle.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "amg/failure.hpp"
#include "amg/matrix.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/cg.hpp"
#include "lacc/lav.hpp"

namespace quarvex {
namespace {

// Right-hand sides solved together at most: beyond 12 columns the vectors of a level (96 bytes
// per unknown and vector) outgrow the caches and a column costs more, not less.
constexpr std::size_t kBatchWidth = 12;

void check_finite_vector(std::span<const double> v, const char* name) {
    const double sum = norm_sq(v);
    if (!std::isfinite(sum) && !std::isfinite(max_abs(v)))
        panic(std::string("conjugate gradients: ") + name + " holds a non-finite value");
}

// The iteration from the current sol, whose residual `residual` holds.
AmgReport iterate(const SprMat& matrix, const AmgHierarchy& hierarchy, std::vector<double>& sol,
                  const std::vector<double>& rhs, double rtol, double atol, std::size_t maxiter, bool record_history,
                  std::vector<double>& residual) {
    const std::size_t n = matrix.rows;
    AmgReport report;
    report.rhs_norm = norm2(rhs);
    const double target = std::max(std::abs(rtol) * report.rhs_norm, std::abs(atol));
    AmgWork work = amg_work(hierarchy);
    std::vector<double> precond(n), search_dir(n), product(n);
    double residual_norm = norm2(residual);
    if (record_history) report.history.push_back(residual_norm);
    double rz = 0.0;
    bool restart = true;  // z and p from the current r
    StallWatch watch;
    while (!(residual_norm <= target) && report.iterations < maxiter) {
        check_interrupt();
        if (restart) {
            amg_apply(hierarchy, matrix, work, residual, precond);  // z = M r
            rz = dot(residual, precond);
            if (!(rz > 0.0) || !std::isfinite(rz)) refuse_breakdown("preconditioner", "r.z = " + number_text(rz));
            copy_into(search_dir, precond);  // p = z
            restart = false;
        }
        level_mul(matrix, search_dir, product);  // q = A p
        const double curvature = dot(search_dir, product);
        if (!(curvature > 0.0) || !std::isfinite(curvature))
            refuse_breakdown("matrix", "p.Ap = " + number_text(curvature));
        const double alpha = rz / curvature;
        axpy(sol, alpha, search_dir);    // x += alpha p
        axmy(residual, alpha, product);  // r -= alpha q
        ++report.iterations;
        residual_norm = norm2(residual);
        bool stalled = false;
        if (residual_norm <= target) {
            level_residual(matrix, sol, rhs, residual);  // confirm with r = b - A x
            residual_norm = norm2(residual);
            if (!(residual_norm <= target)) {
                // The carried residual drifted from the true one: go on from the true residual,
                // as long as that keeps falling (else it sits at the rounding floor of b - A x).
                stalled = residual_stalled(watch, residual_norm);
                restart = true;
            }
        }
        if (record_history) report.history.push_back(residual_norm);
        if (stalled) {
            report.stalled = true;
            break;
        }
        if (restart || residual_norm <= target) continue;
        amg_apply(hierarchy, matrix, work, residual, precond);  // z = M r
        const double rz_next = dot(residual, precond);
        if (!(rz_next > 0.0) || !std::isfinite(rz_next))
            refuse_breakdown("preconditioner", "r.z = " + number_text(rz_next));
        aypx(search_dir, rz_next / rz, precond);  // p = z + beta p
        rz = rz_next;
    }
    level_residual(matrix, sol, rhs, residual);
    report.residual_norm = norm2(residual);
    report.converged = report.residual_norm <= target;
    return report;
}

// One batch of amg_pcg_many: `count` columns (count <= width) of the interleaved blocks sol and
// rhs, whose other columns are zero. Reports go to reports[0 .. count - 1].
void iterate_columns(const SprMat& matrix, const AmgHierarchy& hierarchy, std::vector<double>& sol,
                     std::vector<double>& rhs, std::size_t width, std::size_t count, double rtol, double atol,
                     std::size_t maxiter, bool record_history, std::span<AmgReport> reports) {
    const std::size_t n = matrix.rows;
    std::vector<double> residual(n * width), precond(n * width), search_dir(n * width), product(n * width);
    std::vector<double> column(n), column_rhs(n), column_residual(n);
    level_residual(matrix, sol, rhs, residual, width);  // R = B - A X
    // Each column scaled by its own power of two, as amg_pcg scales its one (exact).
    std::vector<double> scale(width, 1.0);
    bool scaled = false;
    for (std::size_t c = 0; c < count; ++c) {
        copy_column_out(rhs, width, c, column_rhs);
        copy_column_out(residual, width, c, column_residual);
        copy_column_out(sol, width, c, column);
        scale[c] = balancing_scale(column_rhs, column_residual, column);
        scaled = scaled || scale[c] != 1.0;
    }
    if (scaled) {
        column_scale(rhs, scale, width);  // B(:, c) *= s_c
        column_scale(sol, scale, width);
        level_residual(matrix, sol, rhs, residual, width);
    }
    std::vector<double> sums(width), target(width), norm(width), rz(width), alpha(width), beta(width);
    std::vector<StallWatch> watch(width);
    std::vector<char> active(width, 0), restart(width, 0);
    column_dots(rhs, rhs, width, sums);
    for (std::size_t c = 0; c < count; ++c) {
        reports[c].rhs_norm = std::sqrt(sums[c]);
        target[c] = std::max(std::abs(rtol) * reports[c].rhs_norm, scale[c] * std::abs(atol));
    }
    column_dots(residual, residual, width, sums);
    bool any = false;
    for (std::size_t c = 0; c < count; ++c) {
        norm[c] = std::sqrt(sums[c]);
        if (record_history) reports[c].history.push_back(norm[c]);
        active[c] = !(norm[c] <= target[c]) && maxiter > 0;
        any = any || active[c];
    }
    AmgWork work = amg_work(hierarchy, width);
    const auto precondition = [&] {  // Z = M R, rz = R.Z, checked on the active columns
        amg_apply(hierarchy, matrix, work, residual, precond);
        column_dots(residual, precond, width, sums);
        for (std::size_t c = 0; c < count; ++c)
            if (active[c] && (!(sums[c] > 0.0) || !std::isfinite(sums[c])))
                refuse_breakdown("preconditioner", "r.z = " + number_text(sums[c]));
    };
    if (any) {
        precondition();
        std::copy(sums.begin(), sums.end(), rz.begin());
        search_dir = precond;  // P = Z
    }
    for (std::size_t iteration = 0; any && iteration < maxiter; ++iteration) {
        check_interrupt();
        level_mul(matrix, search_dir, product, width);  // Q = A P
        column_dots(search_dir, product, width, sums);
        for (std::size_t c = 0; c < width; ++c) {
            alpha[c] = 0.0;  // a finished column keeps its iterate
            if (!active[c]) continue;
            if (!(sums[c] > 0.0) || !std::isfinite(sums[c]))
                refuse_breakdown("matrix", "p.Ap = " + number_text(sums[c]));
            alpha[c] = rz[c] / sums[c];
            ++reports[c].iterations;
        }
        column_axpy(sol, alpha, search_dir, width);  // X += alpha P
        for (double& a : alpha) a = -a;
        column_axpy(residual, alpha, product, width);  // R -= alpha Q
        column_dots(residual, residual, width, sums);
        any = false;
        for (std::size_t c = 0; c < count; ++c) {
            if (!active[c]) continue;
            norm[c] = std::sqrt(sums[c]);
            if (norm[c] <= target[c]) {
                // Confirm with the column's true residual b - A x; on a refutation go on from it.
                copy_column_out(sol, width, c, column);
                copy_column_out(rhs, width, c, column_rhs);
                level_residual(matrix, column, column_rhs, column_residual);
                norm[c] = norm2(column_residual);
                if (norm[c] <= target[c]) {
                    active[c] = 0;
                } else {
                    copy_column_in(column_residual, width, c, residual);
                    restart[c] = 1;
                    if (residual_stalled(watch[c], norm[c])) {
                        reports[c].stalled = true;
                        active[c] = 0;
                    }
                }
            }
            if (record_history) reports[c].history.push_back(norm[c]);
            if (reports[c].iterations >= maxiter) active[c] = 0;
            any = any || active[c];
        }
        if (!any) break;
        precondition();
        for (std::size_t c = 0; c < width; ++c) {
            beta[c] = active[c] && !restart[c] ? sums[c] / rz[c] : 0.0;  // a restart: P = Z
            if (active[c]) rz[c] = sums[c];
            restart[c] = 0;
        }
        column_aypx(search_dir, beta, precond, width);  // P = Z + beta P
    }
    level_residual(matrix, sol, rhs, residual, width);
    column_dots(residual, residual, width, sums);
    for (std::size_t c = 0; c < count; ++c) {
        reports[c].residual_norm = std::sqrt(sums[c]);
        reports[c].converged = reports[c].residual_norm <= target[c];
        const double back = 1.0 / scale[c];
        reports[c].rhs_norm = back * reports[c].rhs_norm;
        reports[c].residual_norm = back * reports[c].residual_norm;
        for (double& value : reports[c].history) value = back * value;
    }
    if (scaled) {
        for (double& factor : scale) factor = 1.0 / factor;  // powers of two: exact
        column_scale(sol, scale, width);
    }
}

}  // namespace

std::vector<AmgReport> amg_pcg_many(const SprMat& matrix, const AmgHierarchy& hierarchy, std::span<double> sol,
                                    std::span<const double> rhs, std::size_t count, double rtol, double atol,
                                    std::size_t maxiter, bool record_history) {
    const std::size_t n = matrix.rows;
    if (rhs.size() != n * count || sol.size() != n * count || matrix.cols != n)
        panic("conjugate gradients: a " + std::to_string(matrix.rows) + " x " + std::to_string(matrix.cols) +
              " matrix met " + std::to_string(count) + " right-hand sides in vectors of " + std::to_string(sol.size()) +
              " and " + std::to_string(rhs.size()) + " entries");
    if (!hierarchy.ready) refuse_unready();
    if (!amg_matches(hierarchy, matrix)) refuse_other_structure();
    check_finite_vector(rhs, "the right-hand side");
    check_finite_vector(sol, "the start vector");
    std::vector<AmgReport> reports(count);
    if (count == 1) {
        std::vector<double> single(sol.begin(), sol.end());
        reports[0] = amg_pcg(matrix, hierarchy, single, std::vector<double>(rhs.begin(), rhs.end()), rtol, atol,
                             maxiter, record_history);
        std::copy(single.begin(), single.end(), sol.begin());
        return reports;
    }
    for (std::size_t first = 0; first < count; first += kBatchWidth) {
        const std::size_t columns = std::min(kBatchWidth, count - first);
        const std::size_t width = (columns + 3) / 4 * 4;
        std::vector<double> block_sol(n * width, 0.0), block_rhs(n * width, 0.0);
        for (std::size_t c = 0; c < columns; ++c) {
            copy_column_in(sol.subspan((first + c) * n, n), width, c, block_sol);
            copy_column_in(rhs.subspan((first + c) * n, n), width, c, block_rhs);
        }
        iterate_columns(matrix, hierarchy, block_sol, block_rhs, width, columns, rtol, atol, maxiter, record_history,
                        std::span<AmgReport>(reports).subspan(first, columns));
        for (std::size_t c = 0; c < columns; ++c) copy_column_out(block_sol, width, c, sol.subspan((first + c) * n, n));
    }
    return reports;
}

AmgReport amg_pcg(const SprMat& matrix, const AmgHierarchy& hierarchy, std::vector<double>& sol,
                  const std::vector<double>& rhs, double rtol, double atol, std::size_t maxiter, bool record_history) {
    const std::size_t n = matrix.rows;
    if (rhs.size() != n || sol.size() != n || matrix.cols != n)
        panic("conjugate gradients: a " + std::to_string(matrix.rows) + " x " + std::to_string(matrix.cols) +
              " matrix met vectors of " + std::to_string(sol.size()) + " and " + std::to_string(rhs.size()) +
              " entries");
    if (!hierarchy.ready) refuse_unready();
    if (!amg_matches(hierarchy, matrix)) refuse_other_structure();
    check_finite_vector(rhs, "the right-hand side");
    check_finite_vector(sol, "the start vector");
    std::vector<double> residual(n);
    level_residual(matrix, sol, rhs, residual);  // r = b - A x
    const double scale = balancing_scale(rhs, residual, sol);
    if (scale == 1.0) return iterate(matrix, hierarchy, sol, rhs, rtol, atol, maxiter, record_history, residual);
    // Far from 1 the squares of the norms and the dot products would leave the range of double:
    // solve s A x = s b, s a power of two (exact), and scale x and the norms back.
    std::vector<double> scaled_rhs(rhs);
    scale_by(scaled_rhs, scale);
    const ScaledSolution scaled_sol(sol, scale);  // back to x on the way out, with the last iterate
    level_residual(matrix, sol, scaled_rhs, residual);
    AmgReport report =
        iterate(matrix, hierarchy, sol, scaled_rhs, rtol, scale * std::abs(atol), maxiter, record_history, residual);
    const double back = 1.0 / scale;
    report.rhs_norm = back * report.rhs_norm;
    report.residual_norm = back * report.residual_norm;
    for (double& norm : report.history) norm = back * norm;
    return report;
}

}  // namespace quarvex
