#include "model/multigrid.hpp"

#include <algorithm>

#include "base/interrupt.hpp"
#include "lacc/amg_pcg.hpp"
#include "lacc/pool.hpp"
#include "model/dof_nodes.hpp"

namespace quarvex {

namespace {

// Modes of the constrained system: m' = R m on each frame's unknowns, 0 on decoupled rows.
void constrain_modes(NearNullSpace& near_null, const SprMat& mat, std::span<const NodeFrame> frames) {
    check_frames(mat, frames);
    const std::size_t count = near_null.mode_count;
    double* const modes = near_null.modes.data();
    for (const NodeFrame& frame : frames)
        for (std::size_t mode = 0; mode < count; ++mode) {
            double turned[3] = {0.0, 0.0, 0.0};
            for (std::size_t k = 0; k < 3; ++k)
                for (std::size_t m = 0; m < 3; ++m)
                    turned[k] += frame.axes[3 * k + m] * modes[(frame.first + m) * count + mode];
            for (std::size_t k = 0; k < 3; ++k) modes[(frame.first + k) * count + mode] = turned[k];
        }
    parallel_ranges(mat.rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            bool coupled = false;
            for_each_entry(mat, r, [&](std::size_t col, std::size_t position) {
                coupled = coupled || (col != r && mat.vals[position] != 0.0);
            });
            if (!coupled) std::fill_n(modes + r * count, count, 0.0);
        }
    });
}

}  // namespace

AmgHierarchy multigrid_setup(const Nexus& model, std::span<const NodeFrame> frames, const AmgOptions& options) {
    const DofNodes nodes = dof_nodes(model);
    check_interrupt();
    NearNullSpace near_null = rigid_body_modes(nodes.coordinates, nodes.components);
    check_interrupt();
    constrain_modes(near_null, model.mat, frames);
    return amg_setup(model.mat, near_null, options);
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
