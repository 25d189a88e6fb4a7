// Conjugate gradients preconditioned by a multigrid hierarchy, with a report of the run.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "amg/amg.hpp"
#include "lacc/pool.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

// How a solve ended.
struct AmgReport {
    std::size_t iterations = 0;
    double residual_norm = 0.0;  // |rhs - A sol| of the returned sol, recomputed
    double rhs_norm = 0.0;
    bool converged = false;       // residual_norm <= max(rtol rhs_norm, atol)
    bool stalled = false;         // stopped early: rounding keeps b - A x from falling further
    std::vector<double> history;  // residual norms from the start vector on (when recorded)
};

// Solves matrix sol = rhs from the current sol until |r| <= max(rtol |rhs|, atol) or maxiter
// iterations. A residual that passes on the recursion is confirmed by recomputing it; when the
// recomputed one fails twice without halving (residual_stalled, lacc/cg.hpp), the target lies
// below what rounding lets b - A x reach and the solve stops unconverged. A load far from 1 is
// solved scaled by a power of two (balancing_scale), so that no norm under- or overflows.
// Throws Panic when the hierarchy is not ready or was built for another structure
// (amg_matches), on non-finite input, or when p.Ap or r.z is not positive (matrix or
// preconditioner not definite). check_interrupt() runs on the calling thread before every
// iteration; what it throws ends the solve with the last iterate in sol.
AmgReport amg_pcg(const SprMat& matrix, const AmgHierarchy& hierarchy, std::vector<double>& sol,
                  const std::vector<double>& rhs, double rtol, double atol, std::size_t maxiter, bool record_history);

// The same solve for `count` right-hand sides of one matrix at once: rhs and sol hold count
// vectors of matrix.rows entries one after another, sol the start vectors on entry and the
// solutions on return. Each column runs the iteration above with its own step lengths, stop
// test, confirmation and stall rule; the columns share every product and every multigrid
// cycle (amg/matrix.hpp: each stored value is read once for all columns), which is where
// several loads solve faster than one after another. Columns go in batches of at most 12,
// padded with an empty one to an even number. A single right-hand side takes
// amg_pcg itself. The reports come in the order of the right-hand sides. The same failures
// as amg_pcg (a breakdown in any column ends the whole solve); an interrupt leaves sol as it
// was on entry for the batch it ends.
std::vector<AmgReport> amg_pcg_many(const SprMat& matrix, const AmgHierarchy& hierarchy, std::span<double> sol,
                                    std::span<const double> rhs, std::size_t count, double rtol, double atol,
                                    std::size_t maxiter, bool record_history);

}  // namespace quarvex
