// Unpreconditioned conjugate gradients on the run-format matrix, as the model's solve runs
// them: from the current solution, with a periodic refresh of the recurred residual.
#pragma once

#include <cstdint>
#include <vector>

#include "lacc/spr.hpp"

namespace quarvex {

// How a solve ended: the iterations run, the carried squared residual norm, and whether the
// tolerance was met (or the residual became exactly zero).
struct CgReport {
    std::uint64_t iterations = 0;
    double residual_sq = 0.0;
    bool converged = false;
};

// Conjugate gradients on mat * sol = rhs from the current sol, at most n iterations, until
// the squared residual norm falls below tol * tol. A breakdown (a residual or curvature that
// is zero or not finite where the method needs it, or a step that overflows) panics with
// "conjugate gradients broke down at iteration i: ...", leaving the last finite iterate in
// sol. Running out of iterations returns with converged = false. check_interrupt() runs
// before every iteration, so an interrupt leaves the last iterate in sol.
CgReport cg_solve(const SprMat& mat, std::vector<double>& sol, const std::vector<double>& rhs, double tol);

// The period of the solver's residual refresh: sqrt(n) rounded half away from zero,
// saturated to the unsigned range; 0 only for n = 0.
std::uint64_t refresh_period(std::uint64_t n);

}  // namespace quarvex
