// Unpreconditioned conjugate gradients. With r the residual b - A x, p the search direction
// and rho = r.r, an iteration is
//   t = A p,  alpha = rho / (p.t),  x += alpha p,  r -= alpha t,  p = r + (rho' / rho) p.
// Every P = round(sqrt(n)) iterations (i mod P = 0, so always at i = 0) r is recomputed as
// b - A x instead, which keeps the carried residual from drifting away from the true one.
// The test rho < tol^2 is absolute; below tol^2 = 1e-20 a passing carried rho is confirmed
// with a recomputed residual before the method stops; rho = 0 stops it too (x already solves
// the system as far as the carried residual knows). Any other stop is a breakdown and fails,
// naming the iteration, with the last finite iterate left in x: a residual that is not
// finite, p.t = 0 or not finite, or a step alpha p that is not finite.
#include "lacc/cg.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/lav.hpp"

namespace quarvex {
namespace {

constexpr double kConfirmBelow = 1e-20;  // tol^2 below which a passing test is confirmed
// Beyond this step length the step alpha p is checked for overflow before x takes it.
constexpr double kLargeStep = 1e100;

[[noreturn]] void fail_breakdown(std::size_t iteration, const std::string& what) {
    panic("conjugate gradients broke down at iteration " + std::to_string(iteration) + ": " + what);
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// residual = rhs - mat * sol, with `product` as scratch.
void recompute_residual(const SprMat& mat, std::span<const double> sol, std::span<const double> rhs,
                        std::span<double> product, std::span<double> residual) {
    mul_vec(mat, sol, product);  // t = A x
    copy_into(residual, rhs);    // r = b
    sub_into(residual, product); // r = b - A x
}

}  // namespace

std::uint64_t refresh_period(std::uint64_t n) {
    const double root = std::round(std::sqrt(static_cast<double>(n)));  // halves away from zero
    constexpr double kUnsignedEnd = 18446744073709551616.0;              // 2^64
    return root < kUnsignedEnd ? static_cast<std::uint64_t>(root) : std::numeric_limits<std::uint64_t>::max();
}

CgReport cg_solve(const SprMat& mat, std::span<double> sol, std::span<const double> rhs, const CgOptions& options) {
    const std::size_t n = rhs.size();
    const std::uint64_t period = refresh_period(n);
    std::vector<double> residual(rhs.begin(), rhs.end());  // r = b
    std::vector<double> product(n, 0.0);                   // t
    mul_vec(mat, sol, product);                            // t = A x (fails first on mismatched lengths)
    sub_into(residual, product);                           // r = b - A x
    std::vector<double> search_dir(residual);              // p = r
    double rho = norm_sq(residual);                        // rho = r.r
    if (!std::isfinite(rho)) fail_breakdown(0, "r.r = " + number_text(rho));
    CgReport report;
    if (options.keep_history) report.history.push_back(std::sqrt(rho));
    const double tau = options.tol * options.tol;
    // The carried test rho < tau, confirmed with a recomputed residual below confirm_below.
    const auto meets_tolerance = [&] {
        if (!(rho < tau)) return false;
        if (tau >= options.confirm_below) return true;
        recompute_residual(mat, sol, rhs, product, residual);
        return norm_sq(residual) < tau;  // sigma = r.r only decides; rho stays as carried
    };
    std::uint64_t i = 0;
    for (; i < options.max_iterations; ++i) {
        check_interrupt();
        if (meets_tolerance() || rho == 0.0) return {i, rho, true, std::move(report.history)};
        mul_vec(mat, search_dir, product);                  // t = A p
        const double curvature = dot(search_dir, product);  // p.t
        if (curvature == 0.0 || !std::isfinite(curvature)) fail_breakdown(i, "p.Ap = " + number_text(curvature));
        const double alpha = rho / curvature;
        if (!std::isfinite(alpha) ||
            (std::fabs(alpha) > kLargeStep && !std::isfinite(alpha * std::sqrt(norm_sq(search_dir)))))
            fail_breakdown(i, "the step length " + number_text(alpha) + " overflows");
        axpy(sol, alpha, search_dir);                       // x += alpha p
        if (i % period != 0)
            axmy(residual, alpha, product);                 // r -= alpha t
        else
            recompute_residual(mat, sol, rhs, product, residual);
        const double rho_next = norm_sq(residual);
        if (!std::isfinite(rho_next)) {
            axmy(sol, alpha, search_dir);                   // x -= alpha p: back to the last finite iterate
            fail_breakdown(i, "r.r = " + number_text(rho_next));
        }
        aypx(search_dir, rho_next / rho, residual);         // p = r + (rho' / rho) p
        rho = rho_next;
        if (options.keep_history) report.history.push_back(std::sqrt(rho));
    }
    const bool converged = meets_tolerance() || rho == 0.0;
    return {i, rho, converged, std::move(report.history)};
}

CgReport cg_solve(const SprMat& mat, std::vector<double>& sol, const std::vector<double>& rhs, double tol) {
    return cg_solve(mat, std::span<double>(sol), std::span<const double>(rhs), CgOptions{tol, rhs.size(), 1e-20, false});
}

double residual_norm_sq(const SprMat& mat, std::span<const double> sol, std::span<const double> rhs) {
    std::vector<double> product(rhs.size(), 0.0);
    std::vector<double> residual(rhs.size(), 0.0);
    recompute_residual(mat, sol, rhs, product, residual);
    return norm_sq(residual);
}

}  // namespace quarvex
