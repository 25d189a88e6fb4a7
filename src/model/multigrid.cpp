#include "model/multigrid.hpp"

#include "base/interrupt.hpp"
#include "lacc/amg_pcg.hpp"
#include "model/dof_nodes.hpp"

namespace quarvex {

AmgHierarchy multigrid_setup(const Nexus& model, const AmgOptions& options) {
    const DofNodes nodes = dof_nodes(model);
    check_interrupt();
    return amg_setup(model.mat, rigid_body_modes(nodes.coordinates, nodes.components), options);
}

void multigrid_refresh(AmgHierarchy& hierarchy, const Nexus& model) { amg_refresh(hierarchy, model.mat); }

SolveReport solve_multigrid(Nexus& model, const AmgHierarchy& hierarchy, double rtol, double atol,
                            std::uint64_t max_iterations, bool keep_history) {
    SolveReport result;
    result.warnings = material_warnings(model);
    AmgReport report = amg_pcg(model.mat, hierarchy, model.sol, model.rhs, rtol, atol, max_iterations, keep_history);
    result.iterations = report.iterations;
    result.residual_norm = report.residual_norm;
    result.rhs_norm = report.rhs_norm;
    result.converged = report.converged;
    result.stalled = report.stalled;
    result.history = std::move(report.history);
    return result;
}

}  // namespace quarvex
