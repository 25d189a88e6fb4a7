// Preconditioned conjugate gradients, z = M r one multigrid cycle:
//   q = A p,  alpha = (r.z) / (p.q),  x += alpha p,  r -= alpha q,  z = M r,
//   beta = (r.z)' / (r.z),  p = z + beta p.
#include "amg/pcg.hpp"
#include "amg/cycle.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "amg/failure.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/cg.hpp"
#include "lacc/lav.hpp"

namespace quarvex {
namespace {

void check_finite_vector(const std::vector<double>& v, const char* name) {
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

}  // namespace

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
