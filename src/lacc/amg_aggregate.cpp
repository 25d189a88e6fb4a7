// Strength of connection between nodes and the greedy aggregation. The node graph is read from
// the matrix in one parallel pass: every piece of nodes keeps its own lists, joined in node order.
#include "lacc/amg_aggregate.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// The couplings of a contiguous range of nodes (the matrix in node blocks): node begin + k couples with
// nodes[first[k]] .. nodes[first[k + 1] - 1] with squared block norms norm_sq[...].
struct NodeBlock {
    std::size_t begin = 0;
    std::vector<std::int64_t> first{0};
    std::vector<std::int32_t> nodes;
    std::vector<double> norm_sq;
};

// Squared Frobenius norms of every node's coupling blocks, the diagonal ones in `diagonal`.
std::vector<NodeBlock> coupling_norms(const SprMat& mat, const NodeRanges& nodes, std::vector<double>& diagonal) {
    const std::size_t count = node_count(nodes);
    diagonal.assign(count, 0.0);
    std::vector<NodeBlock> blocks;
    std::mutex blocks_lock;
    parallel_ranges(count, [&](std::size_t begin, std::size_t end) {
        NodeBlock block;
        block.begin = begin;
        for (std::size_t v = begin; v < end; ++v) {
            const std::size_t first = static_cast<std::size_t>(nodes.starts[v]);
            const std::size_t size = static_cast<std::size_t>(node_size(nodes, v));
            const std::size_t len = row_end(mat, first) - row_begin(mat, first);
            const double* const values = mat.vals.data() + row_begin(mat, first);
            for_each_block(mat, first, nodes, [&](std::size_t w, std::size_t position) {
                const std::size_t w_size = static_cast<std::size_t>(node_size(nodes, w));
                double sum = 0.0;
                for (std::size_t m = 0; m < size; ++m)
                    for (std::size_t l = 0; l < w_size; ++l) {
                        const double value = values[m * len + position + l];
                        sum += value * value;
                    }
                if (w == v) {
                    diagonal[v] = sum;
                } else {
                    block.nodes.push_back(static_cast<std::int32_t>(w));
                    block.norm_sq.push_back(sum);
                }
            });
            block.first.push_back(static_cast<std::int64_t>(block.nodes.size()));
        }
        const std::lock_guard<std::mutex> guard(blocks_lock);
        blocks.push_back(std::move(block));
    });
    std::sort(blocks.begin(), blocks.end(), [](const NodeBlock& a, const NodeBlock& b) { return a.begin < b.begin; });
    return blocks;
}

}  // namespace

StrongGraph strong_graph(const SprMat& mat, const NodeRanges& nodes, double threshold) {
    std::vector<double> diagonal;
    const std::vector<NodeBlock> blocks = coupling_norms(mat, nodes, diagonal);
    const std::size_t count = node_count(nodes);
    StrongGraph graph;
    graph.first.assign(count + 1, 0);
    // strength^2 = |A_vw|^2 / (|A_vv| |A_ww|) >= threshold^2
    const double threshold_sq = threshold * threshold;
    const auto strength_sq = [&](std::size_t v, std::int32_t w, double norm_sq) {
        const double scale = std::sqrt(diagonal[v] * diagonal[static_cast<std::size_t>(w)]);
        return scale > 0.0 ? norm_sq / scale : 0.0;
    };
    for (const NodeBlock& block : blocks)
        for (std::size_t k = 0; k + 1 < block.first.size(); ++k) {
            const std::size_t v = block.begin + k;
            std::int64_t strong = 0;
            for (std::int64_t e = block.first[k]; e < block.first[k + 1]; ++e)
                if (strength_sq(v, block.nodes[e], block.norm_sq[e]) >= threshold_sq && block.norm_sq[e] > 0.0)
                    ++strong;
            graph.first[v + 1] = strong;
        }
    for (std::size_t v = 0; v < count; ++v) graph.first[v + 1] += graph.first[v];
    graph.neighbours.resize(static_cast<std::size_t>(graph.first[count]));
    graph.strength.resize(graph.neighbours.size());
    parallel_for(blocks.size(), [&](std::size_t b) {
        const NodeBlock& block = blocks[b];
        for (std::size_t k = 0; k + 1 < block.first.size(); ++k) {
            const std::size_t v = block.begin + k;
            std::int64_t out = graph.first[v];
            for (std::int64_t e = block.first[k]; e < block.first[k + 1]; ++e) {
                const double s = strength_sq(v, block.nodes[e], block.norm_sq[e]);
                if (s >= threshold_sq && block.norm_sq[e] > 0.0) {
                    graph.neighbours[out] = block.nodes[e];
                    graph.strength[out] = static_cast<float>(std::sqrt(s));
                    ++out;
                }
            }
        }
    });
    return graph;
}

Aggregates aggregate_nodes(const StrongGraph& graph) {
    const std::size_t count = graph.first.size() - 1;
    Aggregates result;
    result.of.assign(count, -1);
    std::vector<std::int32_t>& of = result.of;
    const auto neighbours = [&](std::size_t v) {
        return std::span<const std::int32_t>(graph.neighbours.data() + graph.first[v],
                                             static_cast<std::size_t>(graph.first[v + 1] - graph.first[v]));
    };
    // Pass 1: roots whose whole strong neighbourhood is free.
    for (std::size_t v = 0; v < count; ++v) {
        if (of[v] >= 0 || graph.first[v + 1] == graph.first[v]) continue;
        const auto around = neighbours(v);
        if (std::any_of(around.begin(), around.end(), [&](std::int32_t w) { return of[w] >= 0; })) continue;
        of[v] = result.count;
        for (const std::int32_t w : around) of[w] = result.count;
        ++result.count;
    }
    // Pass 2: free nodes join the aggregate of their strongest neighbour placed in pass 1.
    const std::vector<std::int32_t> first_pass = of;
    for (std::size_t v = 0; v < count; ++v) {
        if (of[v] >= 0) continue;
        float best = -1.0f;
        for (std::int64_t e = graph.first[v]; e < graph.first[v + 1]; ++e) {
            const std::int32_t w = graph.neighbours[e];
            if (first_pass[w] >= 0 && graph.strength[e] > best) {
                best = graph.strength[e];
                of[v] = first_pass[w];
            }
        }
    }
    // Pass 3: the rest found aggregates with their free strong neighbours.
    for (std::size_t v = 0; v < count; ++v) {
        if (of[v] >= 0) continue;
        of[v] = result.count;
        for (const std::int32_t w : neighbours(v))
            if (of[w] < 0) of[w] = result.count;
        ++result.count;
    }
    return result;
}

}  // namespace quarvex
