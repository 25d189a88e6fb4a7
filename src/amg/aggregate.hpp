// Aggregation of a level's nodes for smoothed aggregation. Two nodes are strongly coupled when
// the Frobenius norm of their coupling block reaches `threshold` times the geometric mean of
// the norms of their diagonal blocks; aggregates are grown greedily over the strong graph.
// Aggregate of[v] of node v is numbered in order of creation.
#pragma once

#include <cstdint>
#include <vector>

#include "amg/blocks.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

struct Aggregates {
    std::vector<std::int32_t> of;  // aggregate of every node
    std::int32_t count = 0;
};

// The strong graph of the nodes: node v's strong neighbours are neighbours[first[v]] ..
// neighbours[first[v + 1] - 1] (v itself excluded), each with its strength
// |A_vw|_F / sqrt(|A_vv|_F |A_ww|_F).
struct StrongGraph {
    std::vector<std::int64_t> first;
    std::vector<std::int32_t> neighbours;
    std::vector<float> strength;
};

// The matrix comes in node blocks over (nodes, nodes), with block index mat_index.
StrongGraph strong_graph(const SprMat& mat, const BlockIndex& mat_index, const NodeRanges& nodes, double threshold);

// Three passes over the nodes in order: (1) a node whose strong neighbours are all free
// founds an aggregate with them; (2) a node still free joins the aggregate of its strongest
// neighbour placed in pass 1; (3) a node still free founds an aggregate with its free strong
// neighbours (alone if it has none).
Aggregates aggregate_nodes(const StrongGraph& graph);

}  // namespace quarvex
