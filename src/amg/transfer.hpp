// The transfer between two levels of smoothed aggregation. The tentative prolongator T maps
// the near-null-space modes of each aggregate onto the coarse unknowns of that aggregate
// (B_a = Q_a R_a, T = Q_a on the aggregate's rows, coarse modes R_a); the prolongator is T
// after one Jacobi step, P = (I - weight M A) T. All three matrices come in node blocks.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "amg/aggregate.hpp"
#include "amg/blocks.hpp"
#include "amg/smoother.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

struct Tentative {
    SprMat matrix;                     // T: fine unknowns x coarse unknowns
    NodeRanges coarse_nodes;           // aggregate a's coarse unknowns (one per independent mode)
    std::vector<double> coarse_modes;  // coarse unknowns x mode_count, row-major
};

// QR of the modes on every aggregate (modified Gram-Schmidt, twice). A mode that is, on an
// aggregate, a combination of the ones before it (to 1e-8 of its norm) gets no coarse unknown
// there, so the coarse matrix stays definite.
Tentative tentative_prolongator(const NodeRanges& nodes, const Aggregates& aggregates, std::span<const double> modes,
                                std::size_t mode_count);

// P = T - weight M A T, in node blocks over (nodes, coarse_nodes): row node v holds every
// coarse node that T reaches from a column node of v.
// mat_index is the block index of mat over (nodes, nodes).
SprMat smoothed_prolongator(const SprMat& mat, const BlockIndex& mat_index, const NodeRanges& nodes,
                            const Smoother& base, const SprMat& tentative, const NodeRanges& coarse_nodes,
                            double weight);

// The same values into `prolongator`, built by smoothed_prolongator for matrices of the same
// structure.
void smooth_prolongator(const SprMat& mat, const BlockIndex& mat_index, const NodeRanges& nodes, const Smoother& base,
                        const SprMat& tentative, const NodeRanges& coarse_nodes, double weight, SprMat& prolongator);

}  // namespace quarvex
