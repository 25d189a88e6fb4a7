// Reporting conjugate gradients. With r = b - A x, p the search direction, rho = r.r:
//   t = A p,  alpha = rho / (p.t),  x += alpha p,  r -= alpha t,  p = r + (rho' / rho) p,
// and, as in cg_solve, r is recomputed as b - A x every P = round(sqrt(n)) steps (always at
// step 0). The stopping test rho <= tol^2, tol = max(rtol ||b||, atol), is made on the
// carried residual and confirmed on a recomputed one; a recomputed residual that fails the
// test replaces the carried one and the iteration goes on. The reported residual is always
// recomputed from its definition, so `converged` never rests on a drifted carried value.
#include "lacc/cg_report.hpp"

#include <algorithm>
#include <cmath>

#include "lacc/lav.hpp"

namespace quarvex {
namespace {

// residual = rhs - mat * sol, with `product` as scratch.
void recompute_residual(const SprMat& mat, std::span<const double> sol, std::span<const double> rhs,
                        std::span<double> product, std::span<double> residual) {
    mul_vec(mat, sol, product);   // t = A x
    copy_into(residual, rhs);     // r = b
    sub_into(residual, product);  // r = b - A x
}

}  // namespace

CgReport cg_solve_report(const SprMat& mat, std::span<double> sol, std::span<const double> rhs,
                         const CgLimits& limits, FunctionRef<void()> between_steps) {
    const std::size_t n = rhs.size();
    const std::uint64_t period = std::max<std::uint64_t>(1, refresh_period(n));
    std::vector<double> product(n, 0.0);                // t
    std::vector<double> residual(n, 0.0);               // r
    recompute_residual(mat, sol, rhs, product, residual);  // fails first on mismatched lengths
    std::vector<double> search_dir(residual);           // p = r
    double rho = norm_sq(residual);                     // rho = r.r
    bool recomputed = true;                             // r is b - A x, not a carried update

    CgReport report;
    report.rhs_norm = std::sqrt(norm_sq(rhs));
    const double tol = std::max(limits.rtol * report.rhs_norm, limits.atol);
    const double tau = tol * tol;
    if (limits.keep_history) report.history.push_back(std::sqrt(rho));

    for (std::uint64_t i = 0;; ++i) {
        if (rho <= tau && !recomputed) {
            recompute_residual(mat, sol, rhs, product, residual);
            rho = norm_sq(residual);
            recomputed = true;
            if (limits.keep_history) report.history.back() = std::sqrt(rho);
        }
        if (rho <= tau || i >= limits.max_iterations) break;
        between_steps();
        mul_vec(mat, search_dir, product);                  // t = A p
        const double curvature = dot(search_dir, product);  // p.t
        if (curvature == 0.0 || !std::isfinite(curvature)) break;
        const double alpha = rho / curvature;
        axpy(sol, alpha, search_dir);                       // x += alpha p
        recomputed = i % period == 0;
        if (recomputed)
            recompute_residual(mat, sol, rhs, product, residual);
        else
            axmy(residual, alpha, product);                 // r -= alpha t
        const double rho_next = norm_sq(residual);
        aypx(search_dir, rho_next / rho, residual);         // p = r + (rho' / rho) p
        rho = rho_next;
        report.iterations = i + 1;
        if (limits.keep_history) report.history.push_back(std::sqrt(rho));
    }
    if (!recomputed) {
        recompute_residual(mat, sol, rhs, product, residual);
        rho = norm_sq(residual);
        if (limits.keep_history) report.history.back() = std::sqrt(rho);
    }
    report.residual_norm = std::sqrt(rho);
    report.converged = rho <= tau;
    return report;
}

}  // namespace quarvex
