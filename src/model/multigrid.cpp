#include "model/multigrid.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "amg/pcg.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"
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
    clear_decoupled_modes(near_null, mat);
}

// A body is a thin wall when its smallest extent is at most this share of the middle one.
constexpr double kThinWall = 0.1;
// The strength threshold on a thin wall at least: the through-thickness couplings of its flat
// elements dwarf the in-plane ones, and aggregates held to the stronger of those solved the
// 1:50 and 1:500 plates in the fewest iterations.
constexpr double kThinWallStrength = 0.05;

// The axis (0, 1, 2) of the smallest extent of the unknowns' nodes when the body is a thin
// wall along it, else -1. Two smallest extents alike (a beam) make no wall.
int thin_axis(const std::vector<double>& coordinates) {
    double low[3] = {0.0, 0.0, 0.0}, high[3] = {0.0, 0.0, 0.0};
    for (std::size_t i = 0; i + 2 < coordinates.size(); i += 3)
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const double value = coordinates[i + axis];
            low[axis] = i == 0 ? value : std::min(low[axis], value);
            high[axis] = i == 0 ? value : std::max(high[axis], value);
        }
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int p, int q) { return high[p] - low[p] < high[q] - low[q]; });
    const double thickness = high[order[0]] - low[order[0]];
    const double width = high[order[1]] - low[order[1]];
    return width > 0.0 && thickness <= kThinWall * width ? order[0] : -1;
}

}  // namespace

AmgHierarchy multigrid_setup(const Nexus& model, std::span<const NodeFrame> frames, const AmgOptions& options) {
    const DofNodes nodes = dof_nodes(model);
    check_interrupt();
    const int normal = thin_axis(nodes.coordinates);
    NearNullSpace near_null = normal < 0 ? rigid_body_modes(nodes.coordinates, nodes.components)
                                         : plate_modes(nodes.coordinates, nodes.components, normal);
    check_interrupt();
    constrain_modes(near_null, model.mat, frames);
    AmgOptions used = options;
    if (normal >= 0) used.strength_threshold = std::max(options.strength_threshold, kThinWallStrength);
    return amg_setup(model.mat, near_null, used);
}

void multigrid_refresh(AmgHierarchy& hierarchy, const Nexus& model) {
    amg_refresh(hierarchy, model.mat);
}

namespace {

SolveReport solve_report(AmgReport&& report) {
    SolveReport result;
    result.iterations = report.iterations;
    result.residual_norm = report.residual_norm;
    result.rhs_norm = report.rhs_norm;
    result.converged = report.converged;
    result.stalled = report.stalled;
    result.history = std::move(report.history);
    return result;
}

}  // namespace

SolveReport solve_multigrid(Nexus& model, const AmgHierarchy& hierarchy, double rtol, double atol,
                            std::uint64_t max_iterations, bool keep_history) {
    std::vector<std::string> warnings = material_warnings(model);
    SolveReport result =
        solve_report(amg_pcg(model.mat, hierarchy, model.sol, model.rhs, rtol, atol, max_iterations, keep_history));
    result.warnings = std::move(warnings);
    return result;
}

std::vector<SolveReport> solve_multigrid_many(const Nexus& model, const AmgHierarchy& hierarchy,
                                              std::span<const double> loads, std::size_t count,
                                              std::span<double> solutions, double rtol, double atol,
                                              std::uint64_t max_iterations, bool keep_history) {
    const std::size_t n = model.sol.size();
    if (loads.size() != n * count || solutions.size() != n * count)
        panic("multigrid: " + std::to_string(count) + " loads of " + std::to_string(n) + " unknowns met arrays of " +
              std::to_string(loads.size()) + " and " + std::to_string(solutions.size()) + " entries");
    std::vector<std::string> warnings = material_warnings(model);
    for (std::size_t k = 0; k < count; ++k)
        std::copy(model.sol.begin(), model.sol.end(), solutions.begin() + static_cast<std::ptrdiff_t>(k * n));
    std::vector<AmgReport> reports =
        amg_pcg_many(model.mat, hierarchy, solutions, loads, count, rtol, atol, max_iterations, keep_history);
    std::vector<SolveReport> results;
    results.reserve(count);
    for (AmgReport& report : reports) results.push_back(solve_report(std::move(report)));
    if (!results.empty()) results.front().warnings = std::move(warnings);
    return results;
}

}  // namespace quarvex
