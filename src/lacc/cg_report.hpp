// Conjugate gradients that say what they reached: the same iteration as cg_solve, stopped
// when the true residual meets ||b - A x|| <= max(rtol ||b||, atol) or after a given number
// of iterations, with a report of the iterations made, the final residual and, on request,
// the residual norm after every iteration.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lacc/pool.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

struct CgLimits {
    double rtol = 0.0;                  // relative to ||b||
    double atol = 0.0;                  // absolute floor of the tolerance
    std::uint64_t max_iterations = 0;
    bool keep_history = false;
};

struct CgReport {
    std::uint64_t iterations = 0;  // steps that changed sol
    double residual_norm = 0.0;    // ||b - A x|| of the returned x, recomputed from its definition
    double rhs_norm = 0.0;         // ||b||
    bool converged = false;        // residual_norm <= max(rtol ||b||, atol)
    std::vector<double> history;   // iterations + 1 norms when kept: the start, after each step; ends with residual_norm
};

// Solves mat * sol = rhs from the current sol. `between_steps` runs on the calling thread
// before every step; if it throws, the exception leaves the call and sol holds the last
// iterate. A zero or non-finite curvature p.Ap ends the iteration early (not converged
// unless the residual already meets the tolerance). Panics as mul_vec on mismatched sizes.
CgReport cg_solve_report(const SprMat& mat, std::span<double> sol, std::span<const double> rhs,
                         const CgLimits& limits, FunctionRef<void()> between_steps);

}  // namespace quarvex
