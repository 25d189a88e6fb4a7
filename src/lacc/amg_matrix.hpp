// The operators of the multigrid levels: run-format matrices (SprMat, here also rectangular,
// rows x cols) whose columns come in nodes, ranges of consecutive columns that a product keeps
// whole. Products y = M x, y += M x and r = b - M x run in parallel over rows like mul_vec;
// the transpose and the matrix product build their structure in two parallel passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lacc/pool.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

// Unknowns grouped into nodes: node v owns the unknowns starts[v] .. starts[v + 1] - 1, and
// node_of[i] is the node of unknown i.
struct NodeRanges {
    std::vector<std::int32_t> starts = std::vector<std::int32_t>(1, 0);
    std::vector<std::int32_t> node_of;
};

// Node ranges from the sizes of the nodes in order.
NodeRanges node_ranges_from_sizes(std::span<const std::int32_t> sizes);

inline std::size_t node_count(const NodeRanges& nodes) { return nodes.starts.size() - 1; }
inline std::int32_t node_size(const NodeRanges& nodes, std::size_t v) {
    return nodes.starts[v + 1] - nodes.starts[v];
}

// y = mat x; y has mat.rows entries, x mat.cols.
void level_mul(const SprMat& mat, std::span<const double> x, std::span<double> y);
// y = y + mat x.
void level_mul_add(const SprMat& mat, std::span<const double> x, std::span<double> y);
// residual = rhs - mat x.
void level_residual(const SprMat& mat, std::span<const double> x, std::span<const double> rhs,
                    std::span<double> residual);
// residual = residual - mat x.
void level_mul_sub(const SprMat& mat, std::span<const double> x, std::span<double> residual);

// The transpose, values included; rows of the result list their columns in increasing order.
SprMat transpose(const SprMat& mat);

// c = a b with the structure of whole column nodes of b: row i of c holds every column of
// each node of `col_nodes` that some b row j with a(i, j) stored reaches.
SprMat multiply(const SprMat& a, const SprMat& b, const NodeRanges& col_nodes);
// The values of a b into c, whose structure came from multiply(a, b, ...) with the same
// structures of a and b.
void multiply_values(const SprMat& a, const SprMat& b, SprMat& c);

// The first and one-past-last position in vals of row r.
inline std::size_t row_begin(const SprMat& mat, std::size_t r) {
    return mat.runs[static_cast<std::size_t>(mat.row_runs[r])].off;
}
inline std::size_t row_end(const SprMat& mat, std::size_t r) {
    return mat.runs[static_cast<std::size_t>(mat.row_runs[r + 1])].off;
}

// Calls visit(column, position in vals) for every stored entry of row r, in column order.
template <class Visit>
void for_each_entry(const SprMat& mat, std::size_t r, Visit&& visit) {
    const std::size_t first = static_cast<std::size_t>(mat.row_runs[r]);
    const std::size_t last = static_cast<std::size_t>(mat.row_runs[r + 1]);
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t off = mat.runs[t].off;
        const std::size_t len = mat.runs[t + 1].off - off;
        for (std::size_t k = 0; k < len; ++k) visit(static_cast<std::size_t>(mat.runs[t].col) + k, off + k);
    }
}

// Bytes held by the matrix's values and structure.
std::size_t matrix_bytes(const SprMat& mat);

// The distinct nodes met while scanning one row, in the order first met. `seen_in` holds,
// per node, the last row that added it.
struct NodeSet {
    std::vector<std::int32_t> seen_in;
    std::vector<std::int32_t> list;
    std::int32_t row = -1;
    void add(std::int32_t v) {
        if (seen_in[static_cast<std::size_t>(v)] == row) return;
        seen_in[static_cast<std::size_t>(v)] = row;
        list.push_back(v);
    }
};

// Builds the structure (values zero) of a rows x cols matrix whose row r holds whole nodes of
// `col_nodes`: row_nodes(r, set) adds row r's nodes to `set`, touching no shared state; it is
// called twice per row.
SprMat build_node_structure(std::size_t rows, const NodeRanges& col_nodes,
                            FunctionRef<void(std::size_t, NodeSet&)> row_nodes);

}  // namespace quarvex
