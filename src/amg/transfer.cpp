// Tentative prolongator by aggregate-wise QR, and its Jacobi smoothing node by node.
#include "amg/transfer.hpp"

#include <algorithm>
#include <cmath>

#include "lacc/pool.hpp"

namespace quarvex {
namespace {

constexpr double kDependentBelow = 1e-8;  // relative norm left after projection that drops a mode

// Orthonormalises the columns of the m x k row-major block in place (modified Gram-Schmidt,
// each column projected twice); the independent ones are packed to the front in order.
// R (rank x k, row-major) gets Q^T B. Returns the rank.
std::size_t orthonormalise(std::vector<double>& block, std::size_t m, std::size_t k, std::vector<double>& r_factor) {
    const std::vector<double> original = block;
    const auto column_dot = [&](std::size_t a, std::size_t b) {
        double sum = 0.0;
        for (std::size_t i = 0; i < m; ++i) sum += block[i * k + a] * block[i * k + b];
        return sum;
    };
    std::size_t rank = 0;
    for (std::size_t j = 0; j < k; ++j) {
        const double norm0 = std::sqrt(column_dot(j, j));
        for (int pass = 0; pass < 2; ++pass)
            for (std::size_t q = 0; q < rank; ++q) {
                const double projection = column_dot(q, j);
                for (std::size_t i = 0; i < m; ++i) block[i * k + j] -= projection * block[i * k + q];
            }
        const double norm = std::sqrt(column_dot(j, j));
        if (!(norm0 > 0.0) || !(norm > kDependentBelow * norm0) || !std::isfinite(norm)) continue;
        for (std::size_t i = 0; i < m; ++i) block[i * k + rank] = block[i * k + j] / norm;
        ++rank;
    }
    r_factor.assign(rank * k, 0.0);
    for (std::size_t q = 0; q < rank; ++q)
        for (std::size_t j = 0; j < k; ++j) {
            double sum = 0.0;
            for (std::size_t i = 0; i < m; ++i) sum += block[i * k + q] * original[i * k + j];
            r_factor[q * k + j] = sum;
        }
    return rank;
}

}  // namespace

Tentative tentative_prolongator(const NodeRanges& nodes, const Aggregates& aggregates, std::span<const double> modes,
                                std::size_t k) {
    const std::size_t count = node_count(nodes);
    const std::size_t unknowns = static_cast<std::size_t>(nodes.starts.back());
    const std::size_t aggregate_count = static_cast<std::size_t>(aggregates.count);
    // Members of aggregate a: member[member_first[a]] .. in node order.
    std::vector<std::int64_t> member_first(aggregate_count + 1, 0);
    for (std::size_t v = 0; v < count; ++v) ++member_first[static_cast<std::size_t>(aggregates.of[v]) + 1];
    for (std::size_t a = 0; a < aggregate_count; ++a) member_first[a + 1] += member_first[a];
    std::vector<std::int32_t> member(count);
    {
        std::vector<std::int64_t> next(member_first.begin(), member_first.end() - 1);
        for (std::size_t v = 0; v < count; ++v)
            member[static_cast<std::size_t>(next[static_cast<std::size_t>(aggregates.of[v])]++)] =
                static_cast<std::int32_t>(v);
    }
    // Q rows per fine unknown (first `rank` of k entries used) and R per aggregate.
    std::vector<double> q_rows(unknowns * k, 0.0);
    std::vector<double> r_blocks(aggregate_count * k * k, 0.0);
    std::vector<std::int32_t> rank(aggregate_count, 0);
    parallel_batches(aggregate_count, kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        std::vector<double> block, r_factor;
        std::vector<std::size_t> rows;
        for (std::size_t a = begin; a < end; ++a) {
            rows.clear();
            for (std::int64_t e = member_first[a]; e < member_first[a + 1]; ++e) {
                const std::size_t v = static_cast<std::size_t>(member[static_cast<std::size_t>(e)]);
                for (std::int32_t i = nodes.starts[v]; i < nodes.starts[v + 1]; ++i)
                    rows.push_back(static_cast<std::size_t>(i));
            }
            const std::size_t m = rows.size();
            block.resize(m * k);
            for (std::size_t i = 0; i < m; ++i) std::copy_n(modes.data() + rows[i] * k, k, block.data() + i * k);
            const std::size_t r = orthonormalise(block, m, k, r_factor);
            rank[a] = static_cast<std::int32_t>(r);
            for (std::size_t i = 0; i < m; ++i) std::copy_n(block.data() + i * k, r, q_rows.data() + rows[i] * k);
            std::copy(r_factor.begin(), r_factor.end(), r_blocks.data() + a * k * k);
        }
    });
    // Aggregates without an independent mode get no coarse node: coarse_of[a] = -1.
    std::vector<std::int32_t> coarse_of(aggregate_count, -1);
    std::vector<std::int32_t> coarse_sizes;
    for (std::size_t a = 0; a < aggregate_count; ++a)
        if (rank[a] > 0) {
            coarse_of[a] = static_cast<std::int32_t>(coarse_sizes.size());
            coarse_sizes.push_back(rank[a]);
        }
    Tentative result;
    result.coarse_nodes = node_ranges_from_sizes(coarse_sizes);
    const NodeRanges& coarse = result.coarse_nodes;
    result.matrix = build_block_structure(nodes, coarse, [&](std::size_t v, NodeSet& set) {
        const std::int32_t node = coarse_of[static_cast<std::size_t>(aggregates.of[v])];
        if (node >= 0) set.add(node);
    });
    SprMat& t = result.matrix;
    parallel_batches(unknowns, kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            std::copy(q_rows.data() + i * k, q_rows.data() + i * k + (row_end(t, i) - row_begin(t, i)),
                      t.vals.data() + row_begin(t, i));
    });
    const std::size_t coarse_unknowns = static_cast<std::size_t>(coarse.starts.back());
    result.coarse_modes.assign(coarse_unknowns * k, 0.0);
    for (std::size_t a = 0; a < aggregate_count; ++a)
        if (coarse_of[a] >= 0) {
            const std::size_t first = static_cast<std::size_t>(coarse.starts[static_cast<std::size_t>(coarse_of[a])]);
            std::copy_n(r_blocks.data() + a * k * k, static_cast<std::size_t>(rank[a]) * k,
                        result.coarse_modes.data() + first * k);
        }
    return result;
}

namespace {

// P holds A T on entry; row node v becomes T_v - weight M_v (A T)_v, M_v the node's block of M.
void apply_jacobi_step(const NodeRanges& nodes, const Smoother& base, const SprMat& tentative,
                       const NodeRanges& coarse_nodes, double weight, SprMat& prolongator) {
    parallel_batches(node_count(nodes), kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        std::vector<double> product;  // (A T)_v, row-major
        for (std::size_t v = begin; v < end; ++v) {
            const std::size_t first = static_cast<std::size_t>(nodes.starts[v]);
            const std::size_t size = static_cast<std::size_t>(node_size(nodes, v));
            const std::size_t len = row_end(prolongator, first) - row_begin(prolongator, first);
            double* const block = prolongator.vals.data() + row_begin(prolongator, first);
            product.assign(block, block + size * len);
            for (std::size_t i = 0; i < size; ++i)
                for (std::size_t c = 0; c < len; ++c) {
                    double smoothed = 0.0;
                    if (base.blocks) {
                        const double* const inverse = base.inverse.data() + base.block_first[v] + i * size;
                        for (std::size_t m = 0; m < size; ++m)
                            smoothed = std::fma(inverse[m], product[m * len + c], smoothed);
                    } else {
                        smoothed = base.inverse[first + i] * product[i * len + c];
                    }
                    block[i * len + c] = -weight * smoothed;
                }
            // Add T_v at the place of its aggregate's coarse node.
            const std::size_t t_len = row_end(tentative, first) - row_begin(tentative, first);
            if (t_len == 0) continue;
            const std::int32_t aggregate = coarse_nodes.node_of[static_cast<std::size_t>(
                tentative.runs[static_cast<std::size_t>(tentative.row_runs[first])].col)];
            std::size_t place = 0;
            for_each_block(prolongator, first, coarse_nodes, [&](std::size_t k_node, std::size_t position) {
                if (k_node == static_cast<std::size_t>(aggregate)) place = position;
            });
            for (std::size_t i = 0; i < size; ++i) {
                const double* const t_row = tentative.vals.data() + row_begin(tentative, first + i);
                for (std::size_t c = 0; c < t_len; ++c) block[i * len + place + c] += t_row[c];
            }
        }
    });
}

}  // namespace

SprMat smoothed_prolongator(const SprMat& mat, const BlockIndex& mat_index, const NodeRanges& nodes,
                            const Smoother& base, const SprMat& tentative, const NodeRanges& coarse_nodes,
                            double weight) {
    SprMat prolongator = multiply(mat, mat_index, tentative, nodes, nodes, coarse_nodes);  // A T
    apply_jacobi_step(nodes, base, tentative, coarse_nodes, weight, prolongator);
    return prolongator;
}

void smooth_prolongator(const SprMat& mat, const BlockIndex& mat_index, const NodeRanges& nodes, const Smoother& base,
                        const SprMat& tentative, const NodeRanges& coarse_nodes, double weight, SprMat& prolongator) {
    multiply_values(mat, mat_index, tentative, nodes, nodes, coarse_nodes, prolongator);  // A T
    apply_jacobi_step(nodes, base, tentative, coarse_nodes, weight, prolongator);
}

}  // namespace quarvex
