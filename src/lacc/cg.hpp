// Unpreconditioned conjugate gradients on the run-format matrix, as the model's solve runs
// them: from the current solution, with a periodic refresh of the recurred residual.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "lacc/spr.hpp"

namespace quarvex {

// When to stop: once the carried squared residual norm falls below tol^2 (or is exactly 0),
// or after max_iterations. Where tol^2 < confirm_below a passing test is confirmed with a
// recomputed residual before the method stops (a failed confirmation goes on iterating).
struct CgOptions {
    double tol = 0.0;
    std::uint64_t max_iterations = 0;
    double confirm_below = 1e-20;
    bool keep_history = false;  // the residual norm at the start and after every iteration
};

// How a solve ended: the iterations run, the carried squared residual norm, whether the
// tolerance was met (or the residual became exactly zero), and the history if kept.
struct CgReport {
    std::uint64_t iterations = 0;
    double residual_sq = 0.0;
    bool converged = false;
    std::vector<double> history;
};

// Conjugate gradients on mat * sol = rhs from the current sol. A breakdown (a residual or
// curvature that is zero or not finite where the method needs it, or a step that overflows)
// panics with "conjugate gradients broke down at iteration i: ...", leaving the last finite
// iterate in sol. Running out of iterations returns with converged = false. check_interrupt()
// runs before every iteration, so an interrupt leaves the last iterate in sol.
CgReport cg_solve(const SprMat& mat, std::span<double> sol, std::span<const double> rhs, const CgOptions& options);

// The model's solve: at most n iterations, tol absolute, confirmation below tol^2 = 1e-20.
CgReport cg_solve(const SprMat& mat, std::vector<double>& sol, const std::vector<double>& rhs, double tol);

// ||rhs - mat * sol||^2, recomputed from its definition.
double residual_norm_sq(const SprMat& mat, std::span<const double> sol, std::span<const double> rhs);

// The period of the solver's residual refresh: sqrt(n) rounded half away from zero,
// saturated to the unsigned range; 0 only for n = 0.
std::uint64_t refresh_period(std::uint64_t n);

}  // namespace quarvex
