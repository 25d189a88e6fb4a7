// assemble: every element's stiffness and load are added into the shared matrix and load
// vector, chunk by chunk on the pool. A free row is written only under its row lock; the
// coupling of a free row with prescribed values moves to the right-hand side.
#include <algorithm>
#include <string>

#include "api/nexus.hpp"
#include "base/failure.hpp"
#include "elems/tet_element.hpp"
#include "lacc/misc.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// One range of an element's degrees of freedom and its first local index.
struct LocalRange {
    DofRange range;
    int local = 0;
};

// Refuses a model that the scatter could not address: a matrix built for an older
// numbering, an element with more than 30 degrees of freedom, or a prescribed number
// without a value in bc. Runs before anything is added, so a refused model is unchanged.
void check_assembly_input(const Nexus& model) {
    if (model.mat_version != model.dof_version) {
        panic("the degrees of freedom changed after the last set_solver: call set_solver before assemble");
    }
    const std::uint64_t rows = model.mat.rows;
    const std::uint64_t prescribed = model.bc.size();
    parallel_for(model.tets.size(), [&](std::size_t e) {
        const Tet& tet = model.tets[e];
        const std::int64_t count = expanded_count(tet);
        if (count > kLocalDofs) {
            panic("element " + std::to_string(e) + " has " + std::to_string(count) +
                  " degrees of freedom, more than the 30 of a quadratic tetrahedron");
        }
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
                     std::span<const double, kElementVectorSize> element_vector) {
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

}  // namespace

void assemble(Nexus& model) {
    check_assembly_input(model);
    const std::size_t n = model.tets.size();
    const std::size_t c = chunk_len(n);
    parallel_for(chunk_count(n, c), [&](std::size_t chunk) {
        LoadMap loads = model.loads;  // evaluating a load writes into its arena
        std::vector<double> element_matrix(kElementMatrixSize);
        std::vector<double> element_vector(kElementVectorSize);
        std::vector<LocalRange> free_ranges;
        std::vector<LocalRange> fixed_ranges;
        free_ranges.reserve(16);
        fixed_ranges.reserve(16);
        const std::size_t end = std::min(n, (chunk + 1) * c);
        for (std::size_t e = chunk * c; e < end; ++e) {
            const Tet& tet = model.tets[e];
            tet_element(tet, std::span<double, kElementMatrixSize>(element_matrix),
                        std::span<double, kElementVectorSize>(element_vector), model.cmat, loads);
            free_ranges.clear();
            fixed_ranges.clear();
            int local = 0;
            for (const DofRange range : tet.dofs) {
                if (range.count <= 0) continue;
                (range.start >= 0 ? free_ranges : fixed_ranges).push_back(LocalRange{range, local});
                local += range.count;
            }
            std::sort(free_ranges.begin(), free_ranges.end(),
                      [](const LocalRange& x, const LocalRange& y) { return x.range.start < y.range.start; });
            scatter_element(model, tet, free_ranges, fixed_ranges,
                            std::span<const double, kElementMatrixSize>(element_matrix),
                            std::span<const double, kElementVectorSize>(element_vector));
        }
    });
}

}  // namespace quarvex
