// Unpreconditioned conjugate gradients. With r the residual b - A x, p the search direction
// and rho = r.r, an iteration is
//   t = A p,  alpha = rho / (p.t),  x += alpha p,  r -= alpha t,  p = r + (rho' / rho) p.
// Every P = round(sqrt(n)) iterations (i mod P = 0, so always at i = 0) r is recomputed as
// b - A x instead, which keeps the carried residual from drifting away from the true one.
// The test rho < tol^2 is absolute; below tol^2 = 1e-20 a passing carried rho is confirmed
// with a recomputed residual before the method stops. A breakdown stops the method with the
// last iterate: rho = 0 (x already solves the system as far as the carried residual knows)
// or p.t = 0 or not finite (a step along p would be infinite or NaN).
#include "lacc/cg.hpp"

#include <cmath>
#include <limits>

#include "lacc/lav.hpp"

namespace quarvex {
namespace {

constexpr double kConfirmBelow = 1e-20;  // tol^2 below which a passing test is confirmed

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

void cg_solve(const SprMat& mat, std::vector<double>& sol, const std::vector<double>& rhs, double tol) {
    const std::size_t n = rhs.size();
    const std::uint64_t period = refresh_period(n);
    std::vector<double> residual(rhs);           // r = b
    std::vector<double> product(n, 0.0);         // t
    mul_vec(mat, sol, product);                  // t = A x (fails first on mismatched lengths)
    sub_into(residual, product);                 // r = b - A x
    std::vector<double> search_dir(residual);    // p = r
    double rho = norm_sq(residual);              // rho = r.r
    const double tau = tol * tol;
    for (std::size_t i = 0; i < n; ++i) {
        if (rho < tau) {
            if (tau >= kConfirmBelow) break;
            recompute_residual(mat, sol, rhs, product, residual);
            if (norm_sq(residual) < tau) break;  // sigma = r.r only decides; rho stays as carried
        }
        if (rho == 0.0) break;
        mul_vec(mat, search_dir, product);                  // t = A p
        const double curvature = dot(search_dir, product);  // p.t
        if (curvature == 0.0 || !std::isfinite(curvature)) break;
        const double alpha = rho / curvature;
        axpy(sol, alpha, search_dir);                       // x += alpha p
        if (i % period != 0)
            axmy(residual, alpha, product);                 // r -= alpha t
        else
            recompute_residual(mat, sol, rhs, product, residual);
        const double rho_next = norm_sq(residual);
        aypx(search_dir, rho_next / rho, residual);         // p = r + (rho' / rho) p
        rho = rho_next;
    }
}

}  // namespace quarvex
