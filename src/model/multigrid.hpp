// Multigrid for a model's assembled matrix: a smoothed-aggregation hierarchy whose near null
// space is the six rigid-body modes of the model's numbering (and three plate-bending ones on a
// thin wall), and conjugate gradients preconditioned by it. Both call check_interrupt() between their steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "amg/amg.hpp"
#include "lacc/constrain.hpp"
#include "model/nexus.hpp"
#include "model/system.hpp"

namespace quarvex {

// The hierarchy for the model's current matrix. Every free number must belong to a node with
// three consecutive unknowns (x, y, z), as a numbering of whole nodes gives. The modes are the
// rigid-body ones; on a thin wall (the nodes' smallest extent along an axis at most a tenth of
// the middle one) also the three plate-bending modes about that axis, with a strength threshold
// of at least 0.05. They are turned into the frames the system was turned into
// (model/constraints.hpp), and vanish on every unknown whose row couples to no other (a
// constrained one): the smoother solves those exactly, and a mode that moved them would fight
// the constraint.
AmgHierarchy multigrid_setup(const Nexus& model, std::span<const NodeFrame> frames = {},
                             const AmgOptions& options = {});

// New values for a reassembled matrix of the same structure, keeping the aggregation.
void multigrid_refresh(AmgHierarchy& hierarchy, const Nexus& model);

// Preconditioned conjugate gradients from the current solution to ||b - A x|| <= max(rtol ||b||,
// atol), at most max_iterations; the report as for solve_to. A matrix of another structure
// than the hierarchy's is refused.
SolveReport solve_multigrid(Nexus& model, const AmgHierarchy& hierarchy, double rtol, double atol,
                            std::uint64_t max_iterations, bool keep_history);

// The same solve for `count` loads of the model's matrix at once (loads: count vectors of the
// model's length, one after another), every one from the model's current solution; the
// solutions go to `solutions` (the same layout). The model's own vectors stay as they are. One
// report per load, in their order; the material's warnings come with the first.
std::vector<SolveReport> solve_multigrid_many(const Nexus& model, const AmgHierarchy& hierarchy,
                                              std::span<const double> loads, std::size_t count,
                                              std::span<double> solutions, double rtol, double atol,
                                              std::uint64_t max_iterations, bool keep_history);

}  // namespace quarvex
