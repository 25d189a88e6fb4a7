// A free row is written only under its row lock; the coupling of a free row with prescribed
// values moves to the right-hand side.
#include "model/assembly.hpp"

#include <algorithm>
#include <vector>

#include "base/failure.hpp"
#include "lacc/pool.hpp"
#include "model/element_system.hpp"

namespace quarvex {
namespace {

// One range of an element's degrees of freedom and its first local index.
struct LocalRange {
    DofRange range;
    std::size_t local = 0;
};

// Refuses a model that the scatter could not address: a matrix built for an older
// numbering, an element with more than 30 degrees of freedom, or a prescribed number
// without a value in bc. Runs before anything is added, so a refused model is unchanged.
void check_assembly_input(const Nexus& model) {
    if (model.mat_version != model.dof_version) fail_stale_numbering();
    const std::uint64_t rows = model.mat.rows;
    const std::uint64_t prescribed = model.bc.size();
    parallel_for(model.tets.size(), [&](std::size_t e) {
        const Tet& tet = model.tets[e];
        const std::int64_t count = expanded_count(tet);
        if (count > std::int64_t{kLocalDofs}) fail_too_many_dofs(e, count);
        for_each_dof(tet, [&](std::int64_t d) {
            if (d >= 0) check_index(static_cast<std::uint64_t>(d), rows);
            else check_index(static_cast<std::uint64_t>(-d), prescribed);
        });
    });
}

// Adds one element's matrix and vector into the rows of its free degrees of freedom.
// `free_ranges` are the element's free ranges sorted by first column, so each row's runs
// are walked once from the left.
void scatter_element(Nexus& model, const Tet& tet, std::span<const LocalRange> free_ranges,
                     std::span<const LocalRange> fixed_ranges, std::span<const double, kElementMatrixSize> element_matrix,
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

void assemble(Nexus& model) {
    check_assembly_input(model);
    for_each_chunk(chunking(model.tets.size()), make_scratch, [&](const Chunk& chunk, AssemblyScratch& scratch) {
        const std::span<double, kElementMatrixSize> element_matrix(scratch.element_matrix);
        const std::span<double, kLocalDofs> element_vector(scratch.element_vector);
        for (std::size_t e = chunk.begin; e < chunk.end; ++e) {
            const Tet& tet = model.tets[e];
            tet_element(tet, element_matrix, element_vector, model.cmat, model.loads, scratch.load_values);
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

}  // namespace quarvex
