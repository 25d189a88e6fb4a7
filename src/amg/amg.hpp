// Smoothed-aggregation algebraic multigrid for symmetric positive definite systems such as
// linear elasticity. A hierarchy is a list of levels: level 0 works on the caller's matrix
// (not copied), level l + 1 on the Galerkin product R A_l P of level l; the last level is
// solved exactly by a dense Cholesky factor. Every level's operators are run-format matrices
// (matrix.hpp) whose products run on the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "amg/blocks.hpp"
#include "amg/dense.hpp"
#include "amg/smoother.hpp"
#include "lacc/pool.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

// The method's parameters; amg_setup refuses values outside the ranges in the comments.
// The highest Chebyshev degree a smoother may take.
inline constexpr int kMaxSmootherDegree = 16;

struct AmgOptions {
    // Strong couplings: |A_vw| >= threshold sqrt(|A_vv| |A_ww|) (Frobenius norms of node blocks); [0, 1].
    double strength_threshold = 0.02;
    int smoother_degree = 2;                // Chebyshev degree of the pre- and the post-smoother; [1, 16]
    double smoother_ratio = 30.0;           // it damps the eigenvalues of M A in [upper / ratio, upper]; [1.5, 1e6]
    bool block_smoother = true;             // M from the inverses of the node blocks, else of the diagonal
    double prolongator_weight = 4.0 / 3.0;  // P = (I - w / rho(M A) M A) T; [0, 2]
    int eigen_steps = 10;                   // Lanczos steps of the estimate of rho(M A); [1, 100]
    double eigen_margin = 1.1;              // upper = margin * estimate (which lies below rho); [1, 10]
    std::size_t coarse_size = 1000;         // a level this small is solved densely; [1, 8000]
    int max_levels = 12;                    // [1, 32]
};

// The near null space of the matrix: mode_count vectors of the matrix's length, row-major
// (unknown i holds modes[i * mode_count .. i * mode_count + mode_count - 1]), and the nodes
// that aggregation moves as one (the unknowns of one mesh node).
struct NearNullSpace {
    NodeRanges nodes;
    std::size_t mode_count = 0;
    std::vector<double> modes;
};

// The six rigid-body modes (translations x, y, z; rotations about x, y, z through the centroid)
// from each unknown's node coordinates (n x 3, row-major) and displacement component (0, 1, 2).
// A node is a stretch of consecutive unknowns with equal coordinates and increasing components.
NearNullSpace rigid_body_modes(std::span<const double> coordinates, std::span<const std::int32_t> components);

// The rigid-body modes and three bending modes of a plate whose thickness runs along
// `normal` (0, 1, 2), modes 6 .. 8: with (a, b, n) the coordinates relative to the centroid
// along the two other axes and the normal, u_a = -a n, u_n = a^2 / 2; u_b = -b n, u_n = b^2 / 2;
// u_a = -b n, u_b = -a n, u_n = a b. Their strains are in-plane and linear in n, so their energy
// falls as the cube of the thickness, far below that of the piecewise rigid motions of a thin
// plate's aggregates.
NearNullSpace plate_modes(std::span<const double> coordinates, std::span<const std::int32_t> components, int normal);

// Explicit modes (n x mode_count, row-major) with nodes of node_size consecutive unknowns.
NearNullSpace explicit_modes(std::span<const double> modes, std::size_t mode_count, std::size_t node_size);

// Sets the modes to 0 on every unknown whose row of `matrix` couples to no other (a constrained
// or prescribed unknown kept as a row of its own): the smoother solves those exactly, and a mode
// that moved them would keep their aggregates on every level.
void clear_decoupled_modes(NearNullSpace& near_null, const SprMat& matrix);

// A level's operators as the cycle reads them: the structure of a run-format matrix and its
// values rounded to float. The set-up holds their values in double only while it needs them.
struct AmgLevel {
    SprMat matrix;                     // the level's operator; level 0 uses the caller's matrix
    std::vector<float> matrix_values;  // its values, level 0 included
    NodeRanges nodes;                  // its unknowns grouped into nodes
    Smoother smoother;
    // Transfer to the next level (empty on the last level):
    SprMat tentative;    // T, orthonormal columns per aggregate, kept for amg_refresh
    SprMat prolongator;  // P = (I - w / rho M A) T: next-level unknowns -> this level's
    std::vector<float> prolongator_values;
    SprMat restrictor;  // R = P^T
    std::vector<float> restrictor_values;
};

struct AmgHierarchy {
    AmgOptions options;
    std::vector<AmgLevel> levels;  // levels.back() is solved by `coarse`
    DenseCholesky coarse;
    std::uint64_t fine_rows = 0;       // the level-0 matrix the hierarchy was built for:
    std::uint64_t fine_structure = 0;  // a hash of its structure
    bool ready = false;                // false while a refresh runs and after one that failed
};

// Builds the hierarchy for the symmetric positive definite `matrix`. Throws Panic on a
// non-finite entry, a diagonal entry or block that is not positive definite, near-null-space
// data of the wrong length, or a coarsest matrix that is not positive definite.
// check_interrupt() runs on the calling thread between the steps of every level of the
// set-up (never on a worker); what it throws ends the set-up.
AmgHierarchy amg_setup(const SprMat& matrix, const NearNullSpace& near_null, const AmgOptions& options);

// Recomputes every value of the hierarchy for a matrix with the structure the hierarchy was
// built for (a reassembled matrix), keeping the aggregates and the tentative prolongators.
// Throws Panic when the structure differs. A refresh that throws (a refused matrix, an
// interrupt) leaves the hierarchy not ready: the cycle refuses it until a refresh succeeds.
void amg_refresh(AmgHierarchy& hierarchy, const SprMat& matrix);

// Whether `matrix` has the structure the hierarchy was built for (rows and a hash of row_runs
// and runs).
bool amg_matches(const AmgHierarchy& hierarchy, const SprMat& matrix);

struct AmgStats {
    std::vector<std::size_t> rows;     // unknowns per level
    std::vector<std::size_t> values;   // stored values of each level's operator
    double operator_complexity = 0.0;  // sum of values over the levels / values of level 0
    std::size_t bytes = 0;             // held by the hierarchy (level 0's matrix not counted)
    std::size_t fine_bytes = 0;        // held by level 0's matrix
};
AmgStats amg_stats(const AmgHierarchy& hierarchy, const SprMat& matrix);

}  // namespace quarvex
