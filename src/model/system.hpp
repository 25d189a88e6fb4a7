// The linear system of a model: set_solver sizes it and builds the matrix structure, solve
// runs conjugate gradients on it, nullify clears the assembled values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/nexus.hpp"

namespace quarvex {

// Stores bc, then builds the matrix structure for pos_dof free numbers and sizes rhs and sol.
// When no set_dof came since the last set_solver and pos_dof is the same, the structure it
// would build is the one the matrix has: the matrix keeps it and its storage, values zeroed.
// A failure (or an interrupt) leaves the new bc and the previous matrix and vectors.
void set_solver(Nexus& model, std::uint64_t pos_dof, std::vector<double> bc);

// Conjugate gradients from the current sol (see cg_solve). Returns warnings for the caller to
// pass on: a material matrix without major symmetry (the method needs a symmetric matrix),
// and a solve that ran out of iterations before meeting the tolerance.
std::vector<std::string> solve(Nexus& model, double tol);

// A solve to ||b - A x|| < max(rtol ||b||, atol) in at most max_iterations, every passing test
// confirmed on a recomputed residual, stopping early (stalled) where the residual no longer
// falls (residual_stalled). The residual norm reported is recomputed from its definition; the
// history (when kept) holds the norm at the start and after every iteration, its last entry
// the recomputed one. Norms are computed without under- or overflow (norm2). `warnings` as for
// solve, but for the iteration limit, which the report states.
struct SolveReport {
    std::uint64_t iterations = 0;
    double residual_norm = 0.0;
    double rhs_norm = 0.0;
    bool converged = false;
    bool stalled = false;  // stopped before the step limit: the residual no longer falls
    std::vector<double> history;
    std::vector<std::string> warnings;
};
// The warning about a material matrix without major symmetry, if it lacks it.
std::vector<std::string> material_warnings(const Nexus& model);

SolveReport solve_to(Nexus& model, double rtol, double atol, std::uint64_t max_iterations, bool keep_history);

void nullify(Nexus& model);

}  // namespace quarvex
