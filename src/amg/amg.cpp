// Set-up of the multigrid hierarchy level by level (smoother, strength, aggregation, tentative
// and smoothed prolongators, Galerkin product), its refresh for new values, the near-null-space
// builders and the size report.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <string>

#include "amg/aggregate.hpp"
#include "amg/amg.hpp"
#include "amg/failure.hpp"
#include "amg/galerkin.hpp"
#include "amg/transfer.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"

namespace quarvex {
namespace {

// A level that shrinks by less than this factor ends the hierarchy.
constexpr double kStalledRatio = 0.9;
// The last level is factored densely up to this many unknowns, else only smoothed.
constexpr std::size_t kDenseLimit = 8000;
constexpr std::size_t kHashBlocks = 64;
constexpr int kMostLevels = 32;
// The float copies of the operators need entries in this range of magnitudes.
constexpr double kFloatLargest = 1e37;
constexpr double kFloatSmallest = 1e-30;

// A hash of the structure (row_runs and runs): a multiply-xorshift mix per word, in fixed blocks
// of rows combined in order.
std::uint64_t structure_hash(const SprMat& mat) {
    const std::size_t rows = mat.rows;
    std::vector<std::uint64_t> block_hash(kHashBlocks, 0);
    const auto mix = [](std::uint64_t h, std::uint64_t value) {
        h = (h ^ value) * 0x9e3779b97f4a7c15ull;
        return h ^ (h >> 29);
    };
    parallel_for(kHashBlocks, [&](std::size_t b) {
        std::uint64_t h = 0xcbf29ce484222325ull;
        for (std::size_t r = b * rows / kHashBlocks; r < (b + 1) * rows / kHashBlocks; ++r) {
            h = mix(h, static_cast<std::uint64_t>(mat.row_runs[r]));
            for (std::int32_t t = mat.row_runs[r]; t < mat.row_runs[r + 1]; ++t)
                h = mix(h, std::uint64_t{static_cast<std::uint32_t>(mat.runs[t].col)} << 32 | mat.runs[t].off);
        }
        block_hash[b] = h;
    });
    std::uint64_t h = mix(0xcbf29ce484222325ull, rows);
    h = mix(h, mat.vals.size());
    for (const std::uint64_t value : block_hash) h = mix(h, value);
    return h;
}

// The values in float, for the cycle. Throws Panic naming the first row that holds a value
// that is not finite, and when the entries do not fit the range of float.
std::vector<float> checked_float_values(const SprMat& mat) {
    std::vector<float> values = interruptible_floats(mat.vals.size());
    std::atomic<std::size_t> first_bad{SIZE_MAX};
    std::atomic<std::uint64_t> largest_bits{0};  // of the largest |entry|, a non-negative double
    parallel_batches(mat.rows, kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        double largest = 0.0;
        for (std::size_t r = begin; r < end; ++r) {
            bool finite = true;
            for (std::size_t pos = row_begin(mat, r); pos < row_end(mat, r); ++pos) {
                const double value = mat.vals[pos];
                finite &= std::isfinite(value);
                largest = std::max(largest, std::abs(value));
                values[pos] = static_cast<float>(value);
            }
            if (finite) continue;
            std::size_t seen = first_bad.load();
            while (r < seen && !first_bad.compare_exchange_weak(seen, r)) {}
            return;
        }
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(largest);
        std::uint64_t seen = largest_bits.load();
        while (bits > seen && !largest_bits.compare_exchange_weak(seen, bits)) {}
    });
    if (first_bad.load() != SIZE_MAX)
        panic("multigrid: the matrix holds a non-finite value in row " + std::to_string(first_bad.load()));
    const double largest = std::bit_cast<double>(largest_bits.load());
    if (largest > kFloatLargest || (largest > 0.0 && largest < kFloatSmallest))
        panic("multigrid: the matrix's entries (largest magnitude " + number_text(largest) +
              ") lie outside the range of single precision that the cycle computes in");
    return values;
}

const SprMat& level_matrix(const AmgHierarchy& hierarchy, const SprMat& fine, std::size_t l) {
    return l == 0 ? fine : hierarchy.levels[l].matrix;
}

// The matrix's values in float for the cycle; the double ones are released.
std::vector<float> release_values(SprMat& mat) {
    std::vector<float> values = float_values(mat);
    mat.vals = PageVector<double>();  // releases the memory; = {} would keep it
    return values;
}

// The smoother's Jacobi base and its Chebyshev interval, for the level's operator in float.
void prepare_smoother(AmgLevel& level, const SprMat& mat, const AmgOptions& options) {
    level.smoother = jacobi_base(mat, level.nodes, options.block_smoother);
    check_interrupt();
    level.smoother.eigen_max =
        estimate_eigen_max(mat, level.matrix_values, level.smoother, level.nodes, options.eigen_steps);
    level.smoother.upper = options.eigen_margin * level.smoother.eigen_max;
    level.smoother.lower = level.smoother.upper / options.smoother_ratio;
    level.smoother.degree = options.smoother_degree;
}

// P, the next level's matrix P^T A P (in double) and R = P^T; into the existing structures on
// a refresh (with room made for their double values). P and R end in float.
void galerkin(const AmgHierarchy& hierarchy, AmgLevel& level, const SprMat& mat, const BlockIndex& mat_index,
              const NodeRanges& coarse_nodes, SprMat& coarse_matrix, bool new_structure) {
    const double weight = hierarchy.options.prolongator_weight / level.smoother.eigen_max;
    if (new_structure) {
        level.prolongator =
            smoothed_prolongator(mat, mat_index, level.nodes, level.smoother, level.tentative, coarse_nodes, weight);
    } else {
        level.prolongator.vals.assign(level.prolongator.runs.back().off, 0.0);
        smooth_prolongator(mat, mat_index, level.nodes, level.smoother, level.tentative, coarse_nodes, weight,
                           level.prolongator);
    }
    check_interrupt();
    if (new_structure) {
        coarse_matrix = galerkin_product(mat, mat_index, level.prolongator, level.nodes, coarse_nodes);
    } else {
        coarse_matrix.vals.assign(coarse_matrix.runs.back().off, 0.0);
        galerkin_values(mat, mat_index, level.prolongator, level.nodes, coarse_nodes, coarse_matrix);
    }
    check_interrupt();
    level.prolongator_values = release_values(level.prolongator);
    level.restrictor = transpose_blocks(level.prolongator, level.prolongator_values, level.nodes, coarse_nodes,
                                        level.restrictor_values);
}

// The last level: a dense factor when small enough, else its smoother alone.
void finish_last_level(AmgHierarchy& hierarchy, const SprMat& mat) {
    AmgLevel& level = hierarchy.levels.back();
    hierarchy.coarse = DenseCholesky{};
    if (mat.rows <= kDenseLimit) {
        level.smoother = Smoother{};
        hierarchy.coarse = factor_dense(mat);
    } else {
        prepare_smoother(level, mat, hierarchy.options);
    }
}

// One level of the set-up (new_structure) or of a refresh, on level l's matrix in double.
// Returns false when level l is the last. The calling thread checks for an interrupt between
// the steps: on the first level of a large model each takes tenths of a second.
bool build_level(AmgHierarchy& hierarchy, const SprMat& fine, std::size_t l, std::vector<double>& modes,
                 std::size_t mode_count, bool new_structure) {
    const AmgOptions& options = hierarchy.options;
    AmgLevel& level = hierarchy.levels[l];
    const SprMat& mat = level_matrix(hierarchy, fine, l);
    level.matrix_values = l == 0 ? checked_float_values(mat) : float_values(mat);
    bool last = new_structure ? mat.rows <= options.coarse_size || l + 1 >= static_cast<std::size_t>(options.max_levels)
                              : l + 1 == hierarchy.levels.size();
    check_interrupt();
    if (!last) prepare_smoother(level, mat, options);
    check_interrupt();
    const BlockIndex mat_index = last ? BlockIndex{} : block_index(mat, level.nodes, level.nodes);
    if (!last && new_structure) {
        check_interrupt();
        const StrongGraph strong = strong_graph(mat, mat_index, level.nodes, options.strength_threshold);
        check_interrupt();
        const Aggregates aggregates = aggregate_nodes(strong);
        check_interrupt();
        Tentative tentative = tentative_prolongator(level.nodes, aggregates, modes, mode_count);
        const std::size_t coarse_rows = static_cast<std::size_t>(tentative.coarse_nodes.starts.back());
        if (coarse_rows == 0 || static_cast<double>(coarse_rows) > kStalledRatio * static_cast<double>(mat.rows)) {
            last = true;
        } else {
            level.tentative = std::move(tentative.matrix);
            AmgLevel next;
            next.nodes = std::move(tentative.coarse_nodes);
            modes = std::move(tentative.coarse_modes);
            hierarchy.levels.push_back(std::move(next));
        }
    }
    check_interrupt();
    if (last) {
        finish_last_level(hierarchy, mat);
    } else {
        AmgLevel& next = hierarchy.levels[l + 1];
        galerkin(hierarchy, level, mat, mat_index, next.nodes, next.matrix, new_structure);
    }
    if (l > 0) level.matrix.vals = PageVector<double>();  // the cycle reads matrix_values
    return !last;
}

// Refuses options outside the ranges the method is built for.
void check_options(const AmgOptions& options) {
    const auto check = [](const char* name, double value, double low, double high) {
        if (!(value >= low && value <= high))
            panic(std::string("multigrid: option ") + name + " = " + number_text(value) + " lies outside [" +
                  number_text(low) + ", " + number_text(high) + "]");
    };
    check("strength_threshold", options.strength_threshold, 0.0, 1.0);
    check("smoother_degree", options.smoother_degree, 1, kMaxSmootherDegree);
    check("smoother_ratio", options.smoother_ratio, 1.5, 1e6);
    check("prolongator_weight", options.prolongator_weight, 0.0, 2.0);
    check("eigen_steps", options.eigen_steps, 1, 100);
    check("eigen_margin", options.eigen_margin, 1.0, 10.0);
    check("coarse_size", static_cast<double>(options.coarse_size), 1, static_cast<double>(kDenseLimit));
    check("max_levels", options.max_levels, 1, kMostLevels);
}

void check_near_null(const SprMat& matrix, const NearNullSpace& near_null) {
    const std::size_t rows = matrix.rows;
    if (matrix.rows != matrix.cols)
        panic("multigrid: the matrix is not square (" + std::to_string(matrix.rows) + " x " +
              std::to_string(matrix.cols) + ")");
    if (static_cast<std::size_t>(near_null.nodes.starts.back()) != rows || near_null.mode_count == 0 ||
        near_null.modes.size() != rows * near_null.mode_count)
        panic("multigrid: near-null-space data for " + std::to_string(near_null.nodes.starts.back()) +
              " unknowns and " + std::to_string(near_null.mode_count) + " modes, but the matrix has " +
              std::to_string(rows) + " rows");
}

}  // namespace

NearNullSpace rigid_body_modes(std::span<const double> coordinates, std::span<const std::int32_t> components) {
    const std::size_t n = components.size();
    if (coordinates.size() != 3 * n)
        panic("multigrid: " + std::to_string(coordinates.size()) + " coordinates for " + std::to_string(n) +
              " unknowns (3 per unknown expected)");
    std::vector<std::int32_t> sizes;
    double centroid[3] = {0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t c = components[i];
        if (c < 0 || c > 2)
            panic("multigrid: component " + std::to_string(c) + " of unknown " + std::to_string(i) +
                  " is not 0, 1 or 2");
        const bool same_node = i > 0 && c > components[i - 1] && coordinates[3 * i] == coordinates[3 * i - 3] &&
                               coordinates[3 * i + 1] == coordinates[3 * i - 2] &&
                               coordinates[3 * i + 2] == coordinates[3 * i - 1];
        if (same_node)
            ++sizes.back();
        else
            sizes.push_back(1);
        for (int axis = 0; axis < 3; ++axis) centroid[axis] += coordinates[3 * i + axis];
    }
    for (double& value : centroid) value /= std::max<std::size_t>(n, 1);
    NearNullSpace result;
    result.nodes = node_ranges_from_sizes(sizes);
    result.mode_count = 6;
    result.modes.assign(6 * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = coordinates[3 * i] - centroid[0];
        const double y = coordinates[3 * i + 1] - centroid[1];
        const double z = coordinates[3 * i + 2] - centroid[2];
        double* const row = result.modes.data() + 6 * i;
        // Translation along the component, then the rotations (0, -z, y), (z, 0, -x), (-y, x, 0).
        switch (components[i]) {
            case 0:
                row[0] = 1.0;
                row[4] = z;
                row[5] = -y;
                break;
            case 1:
                row[1] = 1.0;
                row[3] = -z;
                row[5] = x;
                break;
            default:
                row[2] = 1.0;
                row[3] = y;
                row[4] = -x;
                break;
        }
    }
    return result;
}

NearNullSpace plate_modes(std::span<const double> coordinates, std::span<const std::int32_t> components, int normal) {
    if (normal < 0 || normal > 2) panic("multigrid: plate normal " + std::to_string(normal) + " is not 0, 1 or 2");
    const NearNullSpace rigid = rigid_body_modes(coordinates, components);
    const std::size_t n = components.size();
    double centroid[3] = {0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < n; ++i)
        for (int axis = 0; axis < 3; ++axis) centroid[axis] += coordinates[3 * i + axis];
    for (double& value : centroid) value /= std::max<std::size_t>(n, 1);
    // The in-plane axes follow the normal cyclically: (a, b, n) is a right-handed frame.
    const int axis_a = (normal + 1) % 3, axis_b = (normal + 2) % 3;
    constexpr std::size_t kModes = 9;
    NearNullSpace result;
    result.nodes = rigid.nodes;
    result.mode_count = kModes;
    result.modes.assign(kModes * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double* const rigid_row = rigid.modes.data() + 6 * i;
        double* const row = result.modes.data() + kModes * i;
        std::copy_n(rigid_row, 6, row);
        const double a = coordinates[3 * i + axis_a] - centroid[axis_a];
        const double b = coordinates[3 * i + axis_b] - centroid[axis_b];
        const double t = coordinates[3 * i + normal] - centroid[normal];
        const int component = components[i];
        if (component == axis_a) {
            row[6] = -a * t;
            row[8] = -b * t;
        } else if (component == axis_b) {
            row[7] = -b * t;
            row[8] = -a * t;
        } else {
            row[6] = 0.5 * a * a;
            row[7] = 0.5 * b * b;
            row[8] = a * b;
        }
    }
    return result;
}

NearNullSpace explicit_modes(std::span<const double> modes, std::size_t mode_count, std::size_t node_size) {
    if (mode_count == 0 || node_size == 0 || modes.size() % mode_count != 0 ||
        (modes.size() / mode_count) % node_size != 0)
        panic("multigrid: " + std::to_string(modes.size()) + " mode values do not make whole rows of " +
              std::to_string(mode_count) + " modes and whole nodes of " + std::to_string(node_size) + " unknowns");
    const std::size_t n = modes.size() / mode_count;
    NearNullSpace result;
    const std::vector<std::int32_t> sizes(n / node_size, static_cast<std::int32_t>(node_size));
    result.nodes = node_ranges_from_sizes(sizes);
    result.mode_count = mode_count;
    result.modes.assign(modes.begin(), modes.end());
    return result;
}

void clear_decoupled_modes(NearNullSpace& near_null, const SprMat& matrix) {
    const std::size_t count = near_null.mode_count;
    if (near_null.modes.size() != matrix.rows * count)
        panic("multigrid: " + std::to_string(near_null.modes.size()) + " mode values for " +
              std::to_string(matrix.rows) + " rows of " + std::to_string(count) + " modes");
    double* const modes = near_null.modes.data();
    parallel_ranges(matrix.rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            bool coupled = false;
            for_each_entry(matrix, r, [&](std::size_t col, std::size_t position) {
                coupled = coupled || (col != r && matrix.vals[position] != 0.0);
            });
            if (!coupled) std::fill_n(modes + r * count, count, 0.0);
        }
    });
}

AmgHierarchy amg_setup(const SprMat& matrix, const NearNullSpace& near_null, const AmgOptions& options) {
    check_options(options);
    check_near_null(matrix, near_null);
    AmgHierarchy hierarchy;
    hierarchy.options = options;
    hierarchy.fine_rows = matrix.rows;
    hierarchy.fine_structure = structure_hash(matrix);
    // Room for every level: build_level holds references into the list while it appends.
    hierarchy.levels.reserve(static_cast<std::size_t>(options.max_levels));
    hierarchy.levels.emplace_back();
    // The set-up works on node blocks; a matrix whose rows within a node differ in structure is
    // aggregated unknown by unknown.
    hierarchy.levels[0].nodes = near_null.nodes;
    if (!has_node_blocks(matrix, near_null.nodes, near_null.nodes))
        hierarchy.levels[0].nodes = node_ranges_from_sizes(std::vector<std::int32_t>(matrix.rows, 1));
    std::vector<double> modes = near_null.modes;
    for (std::size_t l = 0;; ++l) {
        check_interrupt();
        if (!build_level(hierarchy, matrix, l, modes, near_null.mode_count, true)) break;
    }
    hierarchy.ready = true;
    return hierarchy;
}

bool amg_matches(const AmgHierarchy& hierarchy, const SprMat& matrix) {
    return matrix.rows == hierarchy.fine_rows && structure_hash(matrix) == hierarchy.fine_structure;
}

void amg_refresh(AmgHierarchy& hierarchy, const SprMat& matrix) {
    if (!amg_matches(hierarchy, matrix)) refuse_other_structure();
    hierarchy.ready = false;
    std::vector<double> no_modes;
    for (std::size_t l = 0; l < hierarchy.levels.size(); ++l) {
        check_interrupt();
        if (!build_level(hierarchy, matrix, l, no_modes, 0, false)) break;
    }
    hierarchy.ready = true;
}

AmgStats amg_stats(const AmgHierarchy& hierarchy, const SprMat& matrix) {
    AmgStats stats;
    std::size_t total_values = 0;
    for (std::size_t l = 0; l < hierarchy.levels.size(); ++l) {
        const AmgLevel& level = hierarchy.levels[l];
        const SprMat& mat = level_matrix(hierarchy, matrix, l);
        stats.rows.push_back(mat.rows);
        stats.values.push_back(level.matrix_values.size());
        total_values += level.matrix_values.size();
        if (l > 0) stats.bytes += matrix_bytes(level.matrix);
        stats.bytes += matrix_bytes(level.tentative) + matrix_bytes(level.prolongator) +
                       matrix_bytes(level.restrictor) + smoother_bytes(level.smoother) +
                       (level.matrix_values.size() + level.prolongator_values.size() + level.restrictor_values.size()) *
                           sizeof(float) +
                       (level.nodes.starts.size() + level.nodes.node_of.size()) * sizeof(std::int32_t);
    }
    stats.bytes += hierarchy.coarse.lower.size() * sizeof(double);
    stats.fine_bytes = matrix_bytes(matrix);
    stats.operator_complexity =
        matrix.vals.empty() ? 0.0 : static_cast<double>(total_values) / static_cast<double>(matrix.vals.size());
    return stats;
}

}  // namespace quarvex
