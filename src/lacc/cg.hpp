// Unpreconditioned conjugate gradients on the run-format matrix, as the model's solve runs
// them: from the current solution, with a periodic refresh of the recurred residual.
#pragma once

#include <cstdint>
#include <vector>

#include "lacc/spr.hpp"

namespace quarvex {

// Conjugate gradients on mat * sol = rhs from the current sol, at most n iterations, until
// the squared residual norm falls below tol * tol.
void cg_solve(const SprMat& mat, std::vector<double>& sol, const std::vector<double>& rhs, double tol);

// The period of the solver's residual refresh: sqrt(n) rounded half away from zero,
// saturated to the unsigned range; 0 only for n = 0.
std::uint64_t refresh_period(std::uint64_t n);

}  // namespace quarvex
