// Matrices in node blocks. Unknowns come in nodes, ranges of consecutive unknowns (the three
// displacements of a mesh node, the unknowns of a coarse aggregate); a matrix is in node blocks
// when the rows of a row node share one column structure made of whole column nodes, so that
// every (row node, column node) coupling is a dense block. The set-up builds, multiplies and
// transposes the level operators block by block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "amg/matrix.hpp"
#include "lacc/pool.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

// Nodes per batch of the set-up's long node loops, between which Ctrl-C is checked (a few
// milliseconds of work each on two cores).
constexpr std::size_t kInterruptBatch = 8192;

// Unknowns grouped into nodes: node v owns the unknowns starts[v] .. starts[v + 1] - 1, and
// node_of[i] is the node of unknown i.
struct NodeRanges {
    std::vector<std::int32_t> starts = std::vector<std::int32_t>(1, 0);
    std::vector<std::int32_t> node_of;
};

// Node ranges from the sizes of the nodes in order.
NodeRanges node_ranges_from_sizes(std::span<const std::int32_t> sizes);

inline std::size_t node_count(const NodeRanges& nodes) {
    return nodes.starts.size() - 1;
}
inline std::int32_t node_size(const NodeRanges& nodes, std::size_t v) {
    return nodes.starts[v + 1] - nodes.starts[v];
}

// Node blocks. A matrix has node blocks over (row_nodes, col_nodes) when the rows of every
// row node share one column structure and every run covers whole column nodes: the entries of
// row node I and column node J then form a dense block, and the values of row node I lie
// row after row, each row `row length` long.
bool has_node_blocks(const SprMat& mat, const NodeRanges& row_nodes, const NodeRanges& col_nodes);

// The blocks of a matrix in node blocks, row node by row node: row node I holds the blocks of
// column nodes col_node[first[I]] .. col_node[first[I + 1] - 1], in column order, starting at
// `position` within each of its rows.
struct BlockIndex {
    std::vector<std::int64_t> first;
    std::vector<std::int32_t> col_node;
    std::vector<std::int32_t> position;
};
BlockIndex block_index(const SprMat& mat, const NodeRanges& row_nodes, const NodeRanges& col_nodes);

// The blocks of a matrix in node blocks over (row_nodes, col_nodes), column node by column node:
// column node K's blocks lie in the row nodes col_node[first[K]] .. (increasing), at `position`
// within each of their rows (a block index of the transpose, pointing into the matrix).
BlockIndex transposed_index(const BlockIndex& index, std::size_t col_count);

// The transpose of a matrix in node blocks over (row_nodes, col_nodes) whose values are
// `values`: the structure, in node blocks over (col_nodes, row_nodes), with its vals left
// empty, and the transposed values in `transposed_values`.
SprMat transpose_blocks(const SprMat& mat, std::span<const float> values, const NodeRanges& row_nodes,
                        const NodeRanges& col_nodes, std::vector<float>& transposed_values);

// c = a b, with a in node blocks over (a_rows, a_cols) (a_index its block index) and b over
// (a_cols, b_cols); c comes in node blocks over (a_rows, b_cols): row node I holds every column
// node that b reaches from a column node of I.
SprMat multiply(const SprMat& a, const BlockIndex& a_index, const SprMat& b, const NodeRanges& a_rows,
                const NodeRanges& a_cols, const NodeRanges& b_cols);
// The values of a b into c, whose structure came from multiply with the same structures.
void multiply_values(const SprMat& a, const BlockIndex& a_index, const SprMat& b, const NodeRanges& a_rows,
                     const NodeRanges& a_cols, const NodeRanges& b_cols, SprMat& c);

// The distinct nodes met while scanning one row node, in the order first met. `seen_in`
// holds, per node, the last row node that added it.
struct NodeSet {
    std::vector<std::int32_t> seen_in;
    std::vector<std::int32_t> list;
    std::int32_t owner = -1;
    void add(std::int32_t v) {
        if (seen_in[static_cast<std::size_t>(v)] == owner) return;
        seen_in[static_cast<std::size_t>(v)] = owner;
        list.push_back(v);
    }
};

// Sorted lists of column nodes, one per row node: row node I's are nodes[first[I]] ..
// nodes[first[I + 1] - 1].
struct NodeLists {
    std::vector<std::int64_t> first;
    std::vector<std::int32_t> nodes;
};

// The lists of row_count row nodes over col_count column nodes: node_cols(I, set) adds the
// column nodes of row node I to `set` (in any order, repeats allowed), touching no shared state.
NodeLists node_lists(std::size_t row_count, std::size_t col_count, FunctionRef<void(std::size_t, NodeSet&)> node_cols);

// The structure of a matrix in node blocks over (row_nodes, col_nodes) whose row node I holds
// the column nodes of list I; its values zero, or left empty unless with_values.
SprMat structure_from_lists(const NodeRanges& row_nodes, const NodeRanges& col_nodes, const NodeLists& lists,
                            bool with_values = true);

// The same from node_cols as in node_lists.
SprMat build_block_structure(const NodeRanges& row_nodes, const NodeRanges& col_nodes,
                             FunctionRef<void(std::size_t, NodeSet&)> node_cols, bool with_values = true);

// Calls visit(J, position of the block within the row) for every column node J of `row`,
// in column order; the runs of the row must cover whole column nodes.
template <class Visit>
void for_each_block(const SprMat& mat, std::size_t row, const NodeRanges& col_nodes, Visit&& visit) {
    const std::size_t base = row_begin(mat, row);
    const std::size_t last = static_cast<std::size_t>(mat.row_runs[row + 1]);
    for (std::size_t t = static_cast<std::size_t>(mat.row_runs[row]); t < last; ++t) {
        std::size_t col = static_cast<std::size_t>(mat.runs[t].col);
        std::size_t position = mat.runs[t].off - base;
        const std::size_t end = col + (mat.runs[t + 1].off - mat.runs[t].off);
        while (col < end) {
            const std::int32_t node = col_nodes.node_of[col];
            visit(static_cast<std::size_t>(node), position);
            const std::size_t size = static_cast<std::size_t>(node_size(col_nodes, static_cast<std::size_t>(node)));
            col += size;
            position += size;
        }
    }
}

}  // namespace quarvex
