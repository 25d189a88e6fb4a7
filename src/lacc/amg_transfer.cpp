// Tentative prolongator by aggregate-wise QR, and its Jacobi smoothing node by node.
#include "lacc/amg_transfer.hpp"

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
    parallel_ranges(aggregate_count, [&](std::size_t begin, std::size_t end) {
        std::vector<double> block, r_factor;
        std::vector<std::size_t> rows;
        for (std::size_t a = begin; a < end; ++a) {
            rows.clear();
            for (std::int64_t e = member_first[a]; e < member_first[a + 1]; ++e) {
                const std::size_t v = static_cast<std::size_t>(member[static_cast<std::size_t>(e)]);
                for (std::int32_t i = nodes.starts[v]; i < nodes.starts[v + 1]; ++i) rows.push_back(static_cast<std::size_t>(i));
            }
            const std::size_t m = rows.size();
            block.resize(m * k);
            for (std::size_t i = 0; i < m; ++i)
                std::copy_n(modes.data() + rows[i] * k, k, block.data() + i * k);
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
    result.matrix = build_node_structure(unknowns, coarse, [&](std::size_t i, NodeSet& set) {
        const std::int32_t node = coarse_of[static_cast<std::size_t>(aggregates.of[static_cast<std::size_t>(nodes.node_of[i])])];
        if (node >= 0) set.add(node);
    });
    SprMat& t = result.matrix;
    parallel_ranges(unknowns, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            std::copy(q_rows.data() + i * k, q_rows.data() + i * k + (row_end(t, i) - row_begin(t, i)),
                      t.vals.data() + row_begin(t, i));
    });
    const std::size_t coarse_unknowns = static_cast<std::size_t>(coarse.starts.back());
    result.coarse_modes.assign(coarse_unknowns * k, 0.0);
    for (std::size_t a = 0; a < aggregate_count; ++a)
        if (coarse_of[a] >= 0)
            std::copy_n(r_blocks.data() + a * k * k, static_cast<std::size_t>(rank[a]) * k,
                        result.coarse_modes.data() + static_cast<std::size_t>(coarse.starts[static_cast<std::size_t>(coarse_of[a])]) * k);
    return result;
}

SprMat prolongator_structure(const SprMat& mat, const NodeRanges& nodes, const SprMat& tentative,
                             const NodeRanges& coarse_nodes) {
    return build_node_structure(mat.rows, coarse_nodes, [&](std::size_t i, NodeSet& set) {
        const std::size_t v = static_cast<std::size_t>(nodes.node_of[i]);
        for (std::int32_t row = nodes.starts[v]; row < nodes.starts[v + 1]; ++row)
            for_each_entry(mat, static_cast<std::size_t>(row), [&](std::size_t j, std::size_t) {
                const std::size_t first = static_cast<std::size_t>(tentative.row_runs[j]);
                const std::size_t last = static_cast<std::size_t>(tentative.row_runs[j + 1]);
                for (std::size_t t = first; t < last; ++t) {
                    const std::int32_t col = tentative.runs[t].col;
                    const std::int32_t len = static_cast<std::int32_t>(tentative.runs[t + 1].off - tentative.runs[t].off);
                    for (std::int32_t w = coarse_nodes.node_of[col]; w <= coarse_nodes.node_of[col + len - 1]; ++w)
                        set.add(w);
                }
            });
    });
}

void smooth_prolongator(const SprMat& mat, const NodeRanges& nodes, const Smoother& base, const SprMat& tentative,
                        double weight, SprMat& prolongator) {
    const std::size_t cols = prolongator.cols;
    parallel_ranges(node_count(nodes), [&](std::size_t begin, std::size_t end) {
        std::vector<std::vector<double>> acc;  // row m of the node: (A T)(m, :), scattered
        for (std::size_t v = begin; v < end; ++v) {
            const std::size_t s = static_cast<std::size_t>(nodes.starts[v]);
            const std::size_t b = static_cast<std::size_t>(node_size(nodes, v));
            while (acc.size() < b) acc.emplace_back(cols, 0.0);
            for (std::size_t m = 0; m < b; ++m) {
                double* const row_acc = acc[m].data();
                for_each_entry(mat, s + m, [&](std::size_t j, std::size_t a_pos) {
                    const double factor = mat.vals[a_pos];
                    for_each_entry(tentative, j, [&](std::size_t col, std::size_t t_pos) {
                        row_acc[col] = std::fma(factor, tentative.vals[t_pos], row_acc[col]);
                    });
                });
            }
            // P(i, c) = T(i, c) - weight sum_m M(i, m) (A T)(m, c), with M the node's block of M.
            for (std::size_t i = 0; i < b; ++i) {
                const std::size_t row = s + i;
                const std::size_t t_first = row_begin(tentative, row);
                const std::size_t t_len = row_end(tentative, row) - t_first;
                const std::size_t t_col = t_len > 0 ? static_cast<std::size_t>(tentative.runs[tentative.row_runs[row]].col) : 0;
                for_each_entry(prolongator, row, [&](std::size_t col, std::size_t p_pos) {
                    double smoothed = 0.0;
                    if (base.blocks) {
                        const double* const block = base.inverse.data() + base.block_first[v] + i * b;
                        for (std::size_t m = 0; m < b; ++m) smoothed = std::fma(block[m], acc[m][col], smoothed);
                    } else {
                        smoothed = base.inverse[row] * acc[i][col];
                    }
                    const double t_value = col >= t_col && col < t_col + t_len ? tentative.vals[t_first + col - t_col] : 0.0;
                    prolongator.vals[p_pos] = t_value - weight * smoothed;
                });
            }
            // Every row of the node has the same structure, which covers what was scattered.
            for_each_entry(prolongator, s, [&](std::size_t col, std::size_t) {
                for (std::size_t m = 0; m < b; ++m) acc[m][col] = 0.0;
            });
        }
    });
}

}  // namespace quarvex
