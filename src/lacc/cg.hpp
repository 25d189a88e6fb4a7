// Unpreconditioned conjugate gradients on the run-format matrix, as the model's solve runs
// them: from the current solution, with a periodic refresh of the recurred residual. Also the
// two rules every solve of the system shares: when a residual has stalled, and the power of two
// that keeps a solve's squared norms inside the range of double.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "lacc/spr.hpp"

namespace quarvex {

// When to stop: once the carried squared residual norm falls below tol^2 (or is exactly 0),
// or after max_iterations. Where tol^2 < confirm_below a passing test is confirmed with a
// recomputed residual before the method stops (a failed confirmation goes on iterating). With
// stop_when_stalled the solve also ends, unconverged, where the residual has stalled (the
// rule below, on failed confirmations and on the periodic refreshes of the residual).
struct CgOptions {
    double tol = 0.0;
    std::uint64_t max_iterations = 0;
    double confirm_below = 1e-20;
    bool keep_history = false;  // the residual norm at the start and after every iteration
    bool stop_when_stalled = false;
};

// How a solve ended: the iterations run, the carried residual norm (also squared, which may
// under- or overflow where the norm does not), whether the tolerance was met (or the residual
// became exactly zero), whether it stopped on a stalled residual, and the history if kept.
struct CgReport {
    std::uint64_t iterations = 0;
    double residual_sq = 0.0;
    bool converged = false;
    std::vector<double> history;
    double residual_norm = 0.0;
    bool stalled = false;
};

// The stall rule of every solve. Where a solve recomputes the true residual b - A x, that may
// refute the residual it carries by recursion: the carried one met the tolerance but the true
// one does not, or the two differ by half the true one or more (rounding_dominates: the
// residual gap, which bounds what the method can still reach, has caught up with the
// residual). A refutation ends the solve as stalled unless the true residual fell by half since
// the previous refutation: it sits at the rounding floor of b - A x, which the tolerance lies
// below. Far from that floor the gap is a tiny share of the residual, so a converging solve is
// never refuted.
struct StallWatch {
    double refuted_norm = std::numeric_limits<double>::infinity();  // true residual at the last refutation
};
// Whether a residual gap of gap_norm refutes the carried residual beside a true one of true_norm.
bool rounding_dominates(double true_norm, double gap_norm);
// Records a refutation with the true residual's norm; true when the solve has stalled.
bool residual_stalled(StallWatch& watch, double true_norm);

// The power of two s by which a solve multiplies its vectors (b, x, and with them r, p, A p)
// so that their squared norms and dot products stay inside the range of double: 1 when the
// largest magnitude of rhs and of the start residual lies in [2^-256, 2^256] (or is 0, or either
// holds a NaN or an inf), or when s x would leave the range of double; else the one that brings
// it into [1, 2). Multiplying by s is exact, so the scaled solve takes the steps of the unscaled
// one, times s, wherever the unscaled one stays in range: ordinary systems are not scaled.
double balancing_scale(std::span<const double> rhs, std::span<const double> residual, std::span<const double> sol);

// A solution multiplied by a power of two for the time of a solve: by `scale` on construction,
// back by 1 / scale (exact) on destruction, also when the solve throws (a breakdown, an interrupt).
struct ScaledSolution {
    std::span<double> sol;
    double scale;

    ScaledSolution(std::span<double> values, double factor);
    ~ScaledSolution();
    ScaledSolution(const ScaledSolution&) = delete;
    ScaledSolution& operator=(const ScaledSolution&) = delete;
};

// Conjugate gradients on mat * sol = rhs from the current sol, on the system scaled by
// balancing_scale (sol is scaled back before the call returns or throws). A breakdown (a
// residual or curvature that is zero or not finite where the method needs it, or a step that
// overflows) panics with "conjugate gradients broke down at iteration i: ...", leaving the last
// finite iterate in sol. Running out of iterations returns with converged = false. check_interrupt()
// runs before every iteration, so an interrupt leaves the last iterate in sol.
CgReport cg_solve(const SprMat& mat, std::span<double> sol, std::span<const double> rhs, const CgOptions& options);

// The model's solve: at most n iterations, tol absolute, confirmation below tol^2 = 1e-20,
// no stop on a stalled residual.
CgReport cg_solve(const SprMat& mat, std::vector<double>& sol, const std::vector<double>& rhs, double tol);

// ||rhs - mat * sol||^2, recomputed from its definition.
double residual_norm_sq(const SprMat& mat, std::span<const double> sol, std::span<const double> rhs);

// ||rhs - mat * sol||, recomputed from its definition without under- or overflow (norm2).
double true_residual_norm(const SprMat& mat, std::span<const double> sol, std::span<const double> rhs);

// The period of the solver's residual refresh: sqrt(n) rounded half away from zero,
// saturated to the unsigned range; 0 only for n = 0.
std::uint64_t refresh_period(std::uint64_t n);

}  // namespace quarvex
