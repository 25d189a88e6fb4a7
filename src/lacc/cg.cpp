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
// A system whose load lies far from 1 is solved as s A x = s b with s a power of two
// (balancing_scale): rho and p.t are squares of the vectors and would under- or overflow.
#include "lacc/cg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/lav.hpp"

namespace quarvex {
namespace {

// Beyond this step length the step alpha p is checked for overflow before x takes it.
constexpr double kLargeStep = 1e100;
// A refutation ends the solve unless the true residual fell by this factor since the previous one.
constexpr double kStallFactor = 0.5;
// The share of the true residual from which the residual gap refutes the carried residual.
constexpr double kRoundingShare = 0.5;
// Vectors whose largest magnitude lies within 2^-k .. 2^k keep their squares (down to 1e-20 of
// them, below any reachable tolerance) within the normal range of double: they are not scaled.
constexpr int kOrdinaryExponent = 256;
// A scaled start vector must stay below this magnitude.
constexpr double kScaledSolutionLimit = 0x1p1000;

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
    mul_vec(mat, sol, product);   // t = A x
    copy_into(residual, rhs);     // r = b
    sub_into(residual, product);  // r = b - A x
}

// The iteration from the residual of the current sol, with `product` as scratch.
CgReport iterate(const SprMat& mat, std::span<double> sol, std::span<const double> rhs, const CgOptions& options,
                 std::vector<double>& residual, std::vector<double>& product) {
    const std::uint64_t period = refresh_period(rhs.size());
    std::vector<double> search_dir(residual);  // p = r
    double rho = norm_sq(residual);            // rho = r.r
    if (!std::isfinite(rho)) fail_breakdown(0, "r.r = " + number_text(rho));
    CgReport report;
    if (options.keep_history) report.history.push_back(std::sqrt(rho));
    const double tau = options.tol * options.tol;
    StallWatch watch;
    bool stalled = false;
    // The carried test rho < tau, confirmed with a recomputed residual below confirm_below.
    const auto meets_tolerance = [&] {
        if (!(rho < tau)) return false;
        if (tau >= options.confirm_below) return true;
        recompute_residual(mat, sol, rhs, product, residual);
        const double sigma = norm_sq(residual);  // sigma = r.r only decides; rho stays as carried
        if (sigma < tau) return true;
        if (options.stop_when_stalled) stalled = residual_stalled(watch, std::sqrt(sigma)) || stalled;
        return false;
    };
    const auto finish = [&](std::uint64_t iterations, bool converged) {
        report.iterations = iterations;
        report.residual_sq = rho;
        report.residual_norm = std::sqrt(rho);
        report.converged = converged;
        return std::move(report);
    };
    std::uint64_t i = 0;
    for (; i < options.max_iterations; ++i) {
        check_interrupt();
        if (meets_tolerance() || rho == 0.0) return finish(i, true);
        if (stalled) {
            report.stalled = true;
            return finish(i, false);
        }
        mul_vec(mat, search_dir, product);                  // t = A p
        const double curvature = dot(search_dir, product);  // p.t
        if (curvature == 0.0 || !std::isfinite(curvature)) fail_breakdown(i, "p.Ap = " + number_text(curvature));
        const double alpha = rho / curvature;
        if (!std::isfinite(alpha) ||
            (std::fabs(alpha) > kLargeStep && !std::isfinite(alpha * std::sqrt(norm_sq(search_dir)))))
            fail_breakdown(i, "the step length " + number_text(alpha) + " overflows");
        axpy(sol, alpha, search_dir);  // x += alpha p
        if (i % period != 0) {
            axmy(residual, alpha, product);  // r -= alpha t
        } else if (!options.stop_when_stalled) {
            recompute_residual(mat, sol, rhs, product, residual);
        } else {
            // The refresh, measuring how far the carried residual has drifted from the true one.
            axmy(residual, alpha, product);  // r -= alpha t, the carried residual
            mul_vec(mat, sol, product);      // t = A x
            aypx(product, -1.0, rhs);        // t = b - A x, as recompute_residual rounds it
            aypx(residual, -1.0, product);   // r = (b - A x) - r, the residual gap
            const double gap = norm2(residual);
            copy_into(residual, product);  // r = b - A x
            const double true_norm = norm2(residual);
            if (rounding_dominates(true_norm, gap)) stalled = residual_stalled(watch, true_norm) || stalled;
        }
        const double rho_next = norm_sq(residual);
        if (!std::isfinite(rho_next)) {
            axmy(sol, alpha, search_dir);  // x -= alpha p: back to the last finite iterate
            fail_breakdown(i, "r.r = " + number_text(rho_next));
        }
        aypx(search_dir, rho_next / rho, residual);  // p = r + (rho' / rho) p
        rho = rho_next;
        if (options.keep_history) report.history.push_back(std::sqrt(rho));
    }
    const bool converged = meets_tolerance() || rho == 0.0;  // at the step limit: not a stall
    return finish(i, converged);
}

}  // namespace

ScaledSolution::ScaledSolution(std::span<double> values, double factor) : sol(values), scale(factor) {
    scale_by(sol, scale);
}

ScaledSolution::~ScaledSolution() {
    const double back = 1.0 / scale;                 // a power of two: exact
    for (double& value : sol) value = back * value;  // on this thread: a destructor must not throw
}

bool rounding_dominates(double true_norm, double gap_norm) {
    return true_norm > 0.0 && gap_norm >= kRoundingShare * true_norm;
}

bool residual_stalled(StallWatch& watch, double true_norm) {
    const bool stalled = !(true_norm < kStallFactor * watch.refuted_norm);
    watch.refuted_norm = true_norm;
    return stalled;
}

double balancing_scale(std::span<const double> rhs, std::span<const double> residual, std::span<const double> sol) {
    const double rhs_largest = max_abs(rhs);
    const double residual_largest = max_abs(residual);
    if (!std::isfinite(rhs_largest) || !std::isfinite(residual_largest)) return 1.0;
    const double largest = std::max(rhs_largest, residual_largest);
    if (largest == 0.0) return 1.0;
    const int exponent = std::ilogb(largest);
    if (exponent >= -kOrdinaryExponent && exponent <= kOrdinaryExponent) return 1.0;
    const double scale = std::ldexp(1.0, -std::max(exponent, -1000));  // 2^1000 at most: a subnormal stays small
    if (!(max_abs(sol) * scale < kScaledSolutionLimit)) return 1.0;
    return scale;
}

std::uint64_t refresh_period(std::uint64_t n) {
    const double root = std::round(std::sqrt(static_cast<double>(n)));  // halves away from zero
    constexpr double kUnsignedEnd = 18446744073709551616.0;             // 2^64
    return root < kUnsignedEnd ? static_cast<std::uint64_t>(root) : std::numeric_limits<std::uint64_t>::max();
}

CgReport cg_solve(const SprMat& mat, std::span<double> sol, std::span<const double> rhs, const CgOptions& options) {
    const std::size_t n = rhs.size();
    std::vector<double> residual(rhs.begin(), rhs.end());  // r = b
    std::vector<double> product(n, 0.0);                   // t
    mul_vec(mat, sol, product);                            // t = A x (fails first on mismatched lengths)
    sub_into(residual, product);                           // r = b - A x
    const double scale = balancing_scale(rhs, residual, sol);
    if (scale == 1.0) return iterate(mat, sol, rhs, options, residual, product);
    std::vector<double> scaled_rhs(rhs.begin(), rhs.end());
    scale_by(scaled_rhs, scale);                  // s b
    const ScaledSolution scaled_sol(sol, scale);  // s x, back to x on the way out
    recompute_residual(mat, sol, scaled_rhs, product, residual);
    CgOptions scaled_options = options;
    scaled_options.tol = scale * options.tol;
    scaled_options.confirm_below = options.confirm_below * scale * scale;  // the unscaled test (inf stays inf)
    CgReport report = iterate(mat, sol, scaled_rhs, scaled_options, residual, product);
    const double back = 1.0 / scale;
    report.residual_norm = back * report.residual_norm;
    report.residual_sq = report.residual_norm * report.residual_norm;
    for (double& norm : report.history) norm = back * norm;
    return report;
}

CgReport cg_solve(const SprMat& mat, std::vector<double>& sol, const std::vector<double>& rhs, double tol) {
    return cg_solve(mat, std::span<double>(sol), std::span<const double>(rhs),
                    CgOptions{tol, rhs.size(), 1e-20, false});
}

double residual_norm_sq(const SprMat& mat, std::span<const double> sol, std::span<const double> rhs) {
    std::vector<double> product(rhs.size(), 0.0);
    std::vector<double> residual(rhs.size(), 0.0);
    recompute_residual(mat, sol, rhs, product, residual);
    return norm_sq(residual);
}

double true_residual_norm(const SprMat& mat, std::span<const double> sol, std::span<const double> rhs) {
    std::vector<double> product(rhs.size(), 0.0);
    std::vector<double> residual(rhs.size(), 0.0);
    recompute_residual(mat, sol, rhs, product, residual);
    return norm2(residual);
}

}  // namespace quarvex
