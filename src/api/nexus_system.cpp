// The linear system of a model: set_solver sizes it and builds the matrix structure,
// solve runs conjugate gradients on it, nullify clears the assembled values.
#include "api/nexus.hpp"
#include "api/nexus_export.hpp"
#include "lacc/lav.hpp"
#include "lacc/pattern.hpp"

namespace quarvex {

void set_solver(Nexus& model, std::uint64_t pos_dof, std::vector<double> bc) {
    model.bc = std::move(bc);
    SprMat mat = build_pattern(model.tets, pos_dof);  // on failure the previous mat stays
    model.mat = std::move(mat);
    model.pattern_version = next_pattern_version();
    model.rhs.resize(model.mat.rows, 0.0);
    model.sol.resize(model.mat.rows, 0.0);
    model.mat_version = model.dof_version;
}

void solve(Nexus& model, double tol) { cg_solve(model.mat, model.sol, model.rhs, tol); }

void nullify(Nexus& model) {
    fill_zero(model.mat.vals);
    fill_zero(model.rhs);
}

}  // namespace quarvex
