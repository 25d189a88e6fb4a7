// Strength of connection between nodes and the greedy aggregation.
#include "amg/aggregate.hpp"

#include <algorithm>
#include <cmath>

#include "base/interrupt.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
StrongGraph strong_graph(const SprMat& mat, const BlockIndex& mat_index, const NodeRanges& nodes, double threshold) {
    const std::size_t count = node_count(nodes);
    // Frobenius norms: of every block (squared) and of every diagonal block.
    std::vector<double> norm_sq(mat_index.col_node.size(), 0.0);
    std::vector<double> diagonal(count, 0.0);
    parallel_batches(count, kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        for (std::size_t v = begin; v < end; ++v) {
            const std::size_t first = static_cast<std::size_t>(nodes.starts[v]);
            const std::size_t size = static_cast<std::size_t>(node_size(nodes, v));
            const std::size_t len = row_end(mat, first) - row_begin(mat, first);
            const double* const values = mat.vals.data() + row_begin(mat, first);
            for (std::int64_t e = mat_index.first[v]; e < mat_index.first[v + 1]; ++e) {
                const std::size_t w = static_cast<std::size_t>(mat_index.col_node[static_cast<std::size_t>(e)]);
                const std::size_t w_size = static_cast<std::size_t>(node_size(nodes, w));
                const double* const block = values + mat_index.position[static_cast<std::size_t>(e)];
                double sum = 0.0;
                for (std::size_t m = 0; m < size; ++m)
                    for (std::size_t l = 0; l < w_size; ++l) sum += block[m * len + l] * block[m * len + l];
                norm_sq[static_cast<std::size_t>(e)] = sum;
                if (w == v) diagonal[v] = std::sqrt(sum);
            }
        }
    });
    // strength^2 = |A_vw|^2 / (|A_vv| |A_ww|) >= threshold^2, for w != v and A_vw != 0.
    const double threshold_sq = threshold * threshold;
    const auto strength_sq = [&](std::size_t v, std::size_t e) {
        const std::size_t w = static_cast<std::size_t>(mat_index.col_node[e]);
        const double scale = diagonal[v] * diagonal[w];
        return w == v || !(norm_sq[e] > 0.0) || !(scale > 0.0) ? -1.0 : norm_sq[e] / scale;
    };
    StrongGraph graph;
    graph.first.assign(count + 1, 0);
    parallel_batches(count, kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        for (std::size_t v = begin; v < end; ++v) {
            std::int64_t strong = 0;
            for (std::int64_t e = mat_index.first[v]; e < mat_index.first[v + 1]; ++e)
                if (strength_sq(v, static_cast<std::size_t>(e)) >= threshold_sq) ++strong;
            graph.first[v + 1] = strong;
        }
    });
    for (std::size_t v = 0; v < count; ++v) graph.first[v + 1] += graph.first[v];
    graph.neighbours.resize(static_cast<std::size_t>(graph.first[count]));
    graph.strength.resize(graph.neighbours.size());
    parallel_batches(count, kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        for (std::size_t v = begin; v < end; ++v) {
            std::int64_t out = graph.first[v];
            for (std::int64_t e = mat_index.first[v]; e < mat_index.first[v + 1]; ++e) {
                const double s = strength_sq(v, static_cast<std::size_t>(e));
                if (s < threshold_sq) continue;
                graph.neighbours[static_cast<std::size_t>(out)] = mat_index.col_node[static_cast<std::size_t>(e)];
                graph.strength[static_cast<std::size_t>(out)] = static_cast<float>(std::sqrt(s));
                ++out;
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
        if (v % kInterruptBatch == 0) check_interrupt();  // the passes run on the calling thread
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
        if (v % kInterruptBatch == 0) check_interrupt();
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
        if (v % kInterruptBatch == 0) check_interrupt();
        if (of[v] >= 0) continue;
        of[v] = result.count;
        for (const std::int32_t w : neighbours(v))
            if (of[w] < 0) of[w] = result.count;
        ++result.count;
    }
    return result;
}

}  // namespace quarvex
