// A free row is written only under its row lock; the coupling of a free row with prescribed
// values moves to the right-hand side.
#include "model/assembly.hpp"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "elems/tet_element.hpp"
#include "lacc/pool.hpp"
#include "model/curved_system.hpp"
#include "model/dofs.hpp"
#include "model/element_system.hpp"

namespace quarvex {
namespace {

// One range of an element's degrees of freedom and its first local index.
struct LocalRange {
    DofRange range;
    std::size_t local = 0;
};

// The checks of one element, each throwing its failure: more than 30 degrees of freedom, a
// free number without a row, a prescribed number without a value in bc.
void check_element_dofs(const Nexus& model, std::size_t e) {
    const Tet& tet = model.tets[e];
    const std::int64_t count = expanded_count(tet);
    if (count > std::int64_t{kLocalDofs}) fail_too_many_dofs(e, count);
    for_each_dof(tet, [&](std::int64_t d) {
        if (d >= 0)
            check_index(static_cast<std::uint64_t>(d), model.mat.rows);
        else
            check_index(static_cast<std::uint64_t>(-d), model.bc.size());
    });
}

bool has_free_row(const Tet& tet) {
    return std::any_of(tet.dofs.begin(), tet.dofs.end(),
                       [](DofRange range) { return range.start >= 0 && range.count > 0; });
}

// Lowers `first` to e unless it already holds a lower index.
void lower_to(std::atomic<std::size_t>& first, std::size_t e) {
    std::size_t seen = first.load(std::memory_order_relaxed);
    while (e < seen && !first.compare_exchange_weak(seen, e, std::memory_order_relaxed)) {}
}

// Refuses a model that the scatter could not address, before anything is added, so a
// refused model is unchanged: a matrix built for an older numbering, then the first element
// (in element order, whatever the scheduling) whose numbers the system cannot hold, then the
// first degenerate element (a curved one: folded) that reaches a free row. An element without
// a free row adds nothing and is passed over. Returns the warning about the first element that
// found one of its edges only under the reversed key, or "".
std::string check_assembly_input(const Nexus& model, const CurvedElements& curved) {
    if (model.mat_version != model.dof_version) fail_stale_numbering();
    const std::size_t n = model.tets.size();
    std::atomic<std::size_t> first_bad_dofs{n};
    std::atomic<std::size_t> first_degenerate{n};
    const auto refused_shape = [&](std::size_t e) {
        const Tet& tet = model.tets[e];
        if (is_curved(curved, e)) {
            const EdgePoints& edges = curved.edge_points[static_cast<std::size_t>(curved.slot[e])];
            return first_folded_point(curved_geometry(node_points(tet, edges))) < kQuadPoints;
        }
        return !is_nondegenerate(element_geometry(tet));
    };
    for_each_chunk(chunking(n), [&](const Chunk& chunk) {
        for (std::size_t e = chunk.begin; e < chunk.end; ++e) {
            try {
                check_element_dofs(model, e);
            } catch (const Panic&) {
                lower_to(first_bad_dofs, e);
                return;  // later elements of the chunk cannot be first
            }
            if (e < first_degenerate.load(std::memory_order_relaxed) && has_free_row(model.tets[e]) && refused_shape(e))
                lower_to(first_degenerate, e);
        }
    });
    if (first_bad_dofs.load() < n) check_element_dofs(model, first_bad_dofs.load());
    if (const std::size_t e = first_degenerate.load(); e < n) {
        const Tet& tet = model.tets[e];
        if (is_curved(curved, e)) {
            const EdgePoints& edges = curved.edge_points[static_cast<std::size_t>(curved.slot[e])];
            check_unfolded(e, curved_geometry(node_points(tet, edges)));
        }
        check_nondegenerate(tet, element_geometry(tet));
    }
    return reversed_edge_warning(model);
}

// Adds one element's matrix and vector into the rows of its free degrees of freedom.
// `free_ranges` are the element's free ranges sorted by first column, so each row's runs
// are walked once from the left.
void scatter_element(Nexus& model, const Tet& tet, std::span<const LocalRange> free_ranges,
                     std::span<const LocalRange> fixed_ranges,
                     std::span<const double, kElementMatrixSize> element_matrix,
                     std::span<const double, kLocalDofs> element_vector) {
    SprMat& mat = model.mat;
    int h = 0;
    for (const DofRange row_range : tet.dofs) {
        for (std::int32_t k = 0; k < row_range.count; ++k, ++h) {
            if (row_range.start < 0) continue;  // a prescribed row has no equation
            const std::size_t r = static_cast<std::size_t>(dof_at(row_range, k));
            const double* element_row = element_matrix.data() + static_cast<std::size_t>(h) * kLocalDofs;
            lock_row(mat, r);
            double& load = model.rhs[r];
            load = element_vector[static_cast<std::size_t>(h)] + load;
            for (const LocalRange& fixed : fixed_ranges) {
                // rhs[r] -= sum_k K[h][q + k] * bc[-start + k]
                const double* coupling = element_row + fixed.local;
                const double* values = model.bc.data() - std::int64_t{fixed.range.start};
                double sum = 0.0;
                for (std::int32_t j = 0; j < fixed.range.count; ++j) sum += coupling[j] * values[j];
                load -= sum;
            }
            const std::size_t end = static_cast<std::size_t>(row_start(mat, r + 1));
            std::size_t run = static_cast<std::size_t>(row_start(mat, r));
            for (const LocalRange& free : free_ranges) {
                while (run + 1 < end && mat.runs[run + 1].col <= free.range.start) ++run;
                double* target = mat.vals.data() + mat.runs[run].off + (free.range.start - mat.runs[run].col);
                const double* source = element_row + free.local;
                for (std::int32_t j = 0; j < free.range.count; ++j) target[j] += source[j];
            }
            unlock_row(mat, r);
        }
    }
}

// Per-chunk scratch: the element buffers, the range lists and the loads' evaluation state.
struct AssemblyScratch {
    std::vector<double> element_matrix = std::vector<double>(kElementMatrixSize);
    std::vector<double> element_vector = std::vector<double>(kLocalDofs);
    std::vector<LocalRange> free_ranges;
    std::vector<LocalRange> fixed_ranges;
    LoadValues load_values;
};

AssemblyScratch make_scratch() {
    AssemblyScratch scratch;
    scratch.free_ranges.reserve(16);
    scratch.fixed_ranges.reserve(16);
    return scratch;
}

}  // namespace

// Elements a chunk handles between two interrupt checks: about 0.02 s of work per worker.
constexpr std::size_t kElementsPerRound = 8192;

std::string assemble(Nexus& model) {
    return assemble(model, CurvedElements{});
}

std::string assemble(Nexus& model, const CurvedElements& curved) {
    if (!curved.slot.empty()) check_equal(curved.slot.size(), model.tets.size());
    std::string warning = check_assembly_input(model, curved);
    // Every chunk keeps its scratch across rounds, so each element sees the same evaluation
    // state whether or not the work is cut into rounds; rounds only make room for checks.
    const Chunking chunks = chunking(model.tets.size());
    std::vector<AssemblyScratch> scratches;
    scratches.reserve(chunks.count);
    for (std::size_t k = 0; k < chunks.count; ++k) scratches.push_back(make_scratch());
    for (std::size_t offset = 0; offset < chunks.len; offset += kElementsPerRound) {
        check_interrupt();
        for_each_chunk(chunks, [&](const Chunk& chunk) {
            AssemblyScratch& scratch = scratches[chunk.index];
            const std::span<double, kElementMatrixSize> element_matrix(scratch.element_matrix);
            const std::span<double, kLocalDofs> element_vector(scratch.element_vector);
            const std::size_t end = std::min(chunk.end, chunk.begin + offset + kElementsPerRound);
            for (std::size_t e = chunk.begin + offset; e < end; ++e) {
                const Tet& tet = model.tets[e];
                if (!has_free_row(tet)) continue;  // nothing of it reaches the system
                if (is_curved(curved, e)) {
                    curved_tet_element(e, tet, curved.edge_points[static_cast<std::size_t>(curved.slot[e])],
                                       element_matrix, element_vector, model.cmat, model.loads, scratch.load_values);
                } else {
                    tet_element(tet, element_matrix, element_vector, model.cmat, model.loads, scratch.load_values);
                }
                scratch.free_ranges.clear();
                scratch.fixed_ranges.clear();
                std::size_t local = 0;
                for (const DofRange range : tet.dofs) {
                    if (range.count <= 0) continue;
                    (range.start >= 0 ? scratch.free_ranges : scratch.fixed_ranges).push_back(LocalRange{range, local});
                    local += static_cast<std::size_t>(range.count);
                }
                std::sort(scratch.free_ranges.begin(), scratch.free_ranges.end(),
                          [](const LocalRange& x, const LocalRange& y) { return x.range.start < y.range.start; });
                scatter_element(model, tet, scratch.free_ranges, scratch.fixed_ranges, element_matrix, element_vector);
            }
        });
    }
    return warning;
}

}  // namespace quarvex
