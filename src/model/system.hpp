// The linear system of a model: set_solver sizes it and builds the matrix structure, solve
// runs conjugate gradients on it, nullify clears the assembled values.
#pragma once

#include <cstdint>
#include <vector>

#include "model/nexus.hpp"

namespace quarvex {

void set_solver(Nexus& model, std::uint64_t pos_dof, std::vector<double> bc);
void solve(Nexus& model, double tol);
void nullify(Nexus& model);

}  // namespace quarvex
