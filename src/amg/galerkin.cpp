// Chunked Galerkin product. For fine node I the row block (A P)_I = sum over the column nodes J
// of I of A_IJ P_J; coarse row node K then gets, for every fine node I with a block P_IK,
//   C_KL += P_IK^T (A P)_IL   for the column nodes L >= K of (A P)_I,
// and finally C_LK = C_KL^T for L < K.
#include "amg/galerkin.hpp"

#include <algorithm>
#include <string>

#include "amg/kernels.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// Fine nodes whose rows of A P are formed together.
constexpr std::size_t kChunkNodes = 4096;

// The column nodes of the rows of A P, per fine node, and the place of each within the row.
struct ProductColumns {
    NodeLists lists;
    std::vector<std::int32_t> place;   // parallel to lists.nodes
    std::vector<std::int32_t> length;  // row length of each fine node's rows of A P
};

ProductColumns product_columns(const BlockIndex& a_index, const BlockIndex& p_index, const NodeRanges& nodes,
                               const NodeRanges& coarse) {
    ProductColumns columns;
    columns.lists = node_lists(node_count(nodes), node_count(coarse), [&](std::size_t i_node, NodeSet& set) {
        for (std::int64_t e = a_index.first[i_node]; e < a_index.first[i_node + 1]; ++e) {
            const std::size_t j_node = static_cast<std::size_t>(a_index.col_node[static_cast<std::size_t>(e)]);
            for (std::int64_t f = p_index.first[j_node]; f < p_index.first[j_node + 1]; ++f)
                set.add(p_index.col_node[static_cast<std::size_t>(f)]);
        }
    });
    const NodeLists& lists = columns.lists;
    columns.place.resize(lists.nodes.size());
    columns.length.resize(node_count(nodes));
    parallel_ranges(node_count(nodes), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i_node = begin; i_node < end; ++i_node) {
            std::int32_t place = 0;
            for (std::int64_t e = lists.first[i_node]; e < lists.first[i_node + 1]; ++e) {
                columns.place[static_cast<std::size_t>(e)] = place;
                place += node_size(coarse, static_cast<std::size_t>(lists.nodes[static_cast<std::size_t>(e)]));
            }
            columns.length[i_node] = place;
        }
    });
    return columns;
}

void fill(const SprMat& a, const SprMat& p, const NodeRanges& nodes, const NodeRanges& coarse,
          const BlockIndex& a_index, const BlockIndex& p_index, const BlockIndex& r_index,
          const ProductColumns& columns, SprMat& c) {
    const BlockIndex c_index = block_index(c, coarse, coarse);
    const std::size_t fine_count = node_count(nodes), coarse_count = node_count(coarse);
    const NodeLists& lists = columns.lists;
    std::fill(c.vals.begin(), c.vals.end(), 0.0);
    std::vector<std::int64_t> cursor(r_index.first.begin(), r_index.first.end() - 1);  // next block P_IK of K
    std::vector<std::int64_t> offset;  // of fine node I's rows of A P in `product`
    std::vector<double> product;       // the rows of A P of one chunk, node after node
    std::vector<std::int32_t> seen(coarse_count, -1), receivers;
    for (std::size_t chunk_begin = 0; chunk_begin < fine_count; chunk_begin += kChunkNodes) {
        check_interrupt();  // the product is the longest step of a level: Ctrl-C between its chunks
        const std::size_t chunk_end = std::min(fine_count, chunk_begin + kChunkNodes);
        offset.assign(chunk_end - chunk_begin + 1, 0);
        for (std::size_t i_node = chunk_begin; i_node < chunk_end; ++i_node)
            offset[i_node - chunk_begin + 1] =
                offset[i_node - chunk_begin] +
                static_cast<std::int64_t>(node_size(nodes, i_node)) * columns.length[i_node];
        product.resize(static_cast<std::size_t>(offset.back()));
        // (A P)_I = sum_J A_IJ P_J, P_J's blocks added at their places in the row.
        parallel_ranges(chunk_end - chunk_begin, [&](std::size_t begin, std::size_t end) {
            std::vector<std::int32_t> place(coarse_count, 0);
            for (std::size_t i_node = chunk_begin + begin; i_node < chunk_begin + end; ++i_node) {
                double* const row = product.data() + offset[i_node - chunk_begin];
                const std::size_t i_first = static_cast<std::size_t>(nodes.starts[i_node]);
                const std::size_t i_size = static_cast<std::size_t>(node_size(nodes, i_node));
                const std::size_t length = static_cast<std::size_t>(columns.length[i_node]);
                std::fill(row, row + i_size * length, 0.0);
                for (std::int64_t e = lists.first[i_node]; e < lists.first[i_node + 1]; ++e)
                    place[static_cast<std::size_t>(lists.nodes[static_cast<std::size_t>(e)])] =
                        columns.place[static_cast<std::size_t>(e)];
                const std::size_t a_len = row_end(a, i_first) - row_begin(a, i_first);
                const double* const a_row = a.vals.data() + row_begin(a, i_first);
                for (std::int64_t e = a_index.first[i_node]; e < a_index.first[i_node + 1]; ++e) {
                    const std::size_t j_node = static_cast<std::size_t>(a_index.col_node[static_cast<std::size_t>(e)]);
                    const std::size_t j_first = static_cast<std::size_t>(nodes.starts[j_node]);
                    const std::size_t j_size = static_cast<std::size_t>(node_size(nodes, j_node));
                    const std::size_t p_len = row_end(p, j_first) - row_begin(p, j_first);
                    const double* const p_row = p.vals.data() + row_begin(p, j_first);
                    const double* const a_block = a_row + a_index.position[static_cast<std::size_t>(e)];
                    for (std::int64_t f = p_index.first[j_node]; f < p_index.first[j_node + 1]; ++f) {
                        const std::size_t k_node =
                            static_cast<std::size_t>(p_index.col_node[static_cast<std::size_t>(f)]);
                        add_block_product(i_size, j_size, static_cast<std::size_t>(node_size(coarse, k_node)), a_block,
                                          a_len, p_row + p_index.position[static_cast<std::size_t>(f)], p_len,
                                          row + place[k_node], length);
                    }
                }
            }
        });
        // The coarse nodes that receive from this chunk: those of P's blocks of its fine nodes.
        receivers.clear();
        for (std::size_t i_node = chunk_begin; i_node < chunk_end; ++i_node)
            for (std::int64_t f = p_index.first[i_node]; f < p_index.first[i_node + 1]; ++f) {
                const std::int32_t k_node = p_index.col_node[static_cast<std::size_t>(f)];
                const std::int32_t chunk = static_cast<std::int32_t>(chunk_begin / kChunkNodes);
                if (seen[static_cast<std::size_t>(k_node)] == chunk) continue;
                seen[static_cast<std::size_t>(k_node)] = chunk;
                receivers.push_back(k_node);
            }
        // C_KL += P_IK^T (A P)_IL for L >= K, over the chunk's fine nodes I with a block P_IK, in order.
        parallel_ranges(receivers.size(), [&](std::size_t begin, std::size_t end) {
            std::vector<std::int32_t> place(coarse_count, 0);
            for (std::size_t q = begin; q < end; ++q) {
                const std::size_t k_node = static_cast<std::size_t>(receivers[q]);
                const std::size_t k_first = static_cast<std::size_t>(coarse.starts[k_node]);
                const std::size_t k_size = static_cast<std::size_t>(node_size(coarse, k_node));
                const std::size_t c_len = row_end(c, k_first) - row_begin(c, k_first);
                double* const c_row = c.vals.data() + row_begin(c, k_first);
                for (std::int64_t e = c_index.first[k_node]; e < c_index.first[k_node + 1]; ++e)
                    place[static_cast<std::size_t>(c_index.col_node[static_cast<std::size_t>(e)])] =
                        c_index.position[static_cast<std::size_t>(e)];
                std::int64_t f = cursor[k_node];
                for (; f < r_index.first[k_node + 1] &&
                       static_cast<std::size_t>(r_index.col_node[static_cast<std::size_t>(f)]) < chunk_end;
                     ++f) {
                    const std::size_t i_node = static_cast<std::size_t>(r_index.col_node[static_cast<std::size_t>(f)]);
                    const std::size_t i_size = static_cast<std::size_t>(node_size(nodes, i_node));
                    const std::size_t length = static_cast<std::size_t>(columns.length[i_node]);
                    const double* const row = product.data() + offset[i_node - chunk_begin];
                    const std::size_t i_first = static_cast<std::size_t>(nodes.starts[i_node]);
                    const std::size_t p_len = row_end(p, i_first) - row_begin(p, i_first);
                    const double* const p_block =
                        p.vals.data() + row_begin(p, i_first) + r_index.position[static_cast<std::size_t>(f)];
                    const auto list_begin = lists.nodes.begin() + lists.first[i_node];
                    const auto list_end = lists.nodes.begin() + lists.first[i_node + 1];
                    const auto upper = std::lower_bound(list_begin, list_end, static_cast<std::int32_t>(k_node));
                    for (auto it = upper; it != list_end; ++it) {
                        const std::size_t l_node = static_cast<std::size_t>(*it);
                        const std::size_t e = static_cast<std::size_t>(it - lists.nodes.begin());
                        add_block_product<true>(k_size, i_size, static_cast<std::size_t>(node_size(coarse, l_node)),
                                                p_block, p_len, row + columns.place[e], length, c_row + place[l_node],
                                                c_len);
                    }
                }
                cursor[k_node] = f;
            }
        });
    }
    // C_LK = C_KL^T below the block diagonal, and below the diagonal within the diagonal blocks.
    parallel_ranges(coarse_count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k_node = begin; k_node < end; ++k_node) {
            const std::size_t k_first = static_cast<std::size_t>(coarse.starts[k_node]);
            const std::size_t k_size = static_cast<std::size_t>(node_size(coarse, k_node));
            const std::size_t c_len = row_end(c, k_first) - row_begin(c, k_first);
            double* const c_row = c.vals.data() + row_begin(c, k_first);
            for (std::int64_t e = c_index.first[k_node]; e < c_index.first[k_node + 1]; ++e) {
                const std::size_t l_node = static_cast<std::size_t>(c_index.col_node[static_cast<std::size_t>(e)]);
                if (l_node == k_node) {
                    double* const diagonal = c_row + c_index.position[static_cast<std::size_t>(e)];
                    for (std::size_t m = 1; m < k_size; ++m)
                        for (std::size_t q = 0; q < m; ++q) diagonal[m * c_len + q] = diagonal[q * c_len + m];
                }
                if (l_node >= k_node) break;
                const auto l_begin = c_index.col_node.begin() + c_index.first[l_node];
                const auto l_end = c_index.col_node.begin() + c_index.first[l_node + 1];
                const auto found = std::lower_bound(l_begin, l_end, static_cast<std::int32_t>(k_node));
                if (found == l_end || *found != static_cast<std::int32_t>(k_node))
                    panic("multigrid: the matrix's structure is not symmetric");
                const std::size_t l_first = static_cast<std::size_t>(coarse.starts[l_node]);
                const std::size_t l_size = static_cast<std::size_t>(node_size(coarse, l_node));
                const std::size_t l_len = row_end(c, l_first) - row_begin(c, l_first);
                const std::size_t found_at = static_cast<std::size_t>(found - c_index.col_node.begin());
                const double* const upper = c.vals.data() + row_begin(c, l_first) + c_index.position[found_at];
                double* const lower = c_row + c_index.position[static_cast<std::size_t>(e)];
                for (std::size_t m = 0; m < k_size; ++m)
                    for (std::size_t q = 0; q < l_size; ++q) lower[m * c_len + q] = upper[q * l_len + m];
            }
        }
    });
}

}  // namespace

SprMat galerkin_product(const SprMat& a, const BlockIndex& a_index, const SprMat& p, const NodeRanges& nodes,
                        const NodeRanges& coarse) {
    const BlockIndex p_index = block_index(p, nodes, coarse);
    const BlockIndex r_index = transposed_index(p_index, node_count(coarse));
    const ProductColumns columns = product_columns(a_index, p_index, nodes, coarse);
    SprMat c = build_block_structure(coarse, coarse, [&](std::size_t k_node, NodeSet& set) {
        for (std::int64_t f = r_index.first[k_node]; f < r_index.first[k_node + 1]; ++f) {
            const std::size_t i_node = static_cast<std::size_t>(r_index.col_node[static_cast<std::size_t>(f)]);
            for (std::int64_t e = columns.lists.first[i_node]; e < columns.lists.first[i_node + 1]; ++e)
                set.add(columns.lists.nodes[static_cast<std::size_t>(e)]);
        }
    });
    fill(a, p, nodes, coarse, a_index, p_index, r_index, columns, c);
    return c;
}

void galerkin_values(const SprMat& a, const BlockIndex& a_index, const SprMat& p, const NodeRanges& nodes,
                     const NodeRanges& coarse, SprMat& coarse_matrix) {
    const BlockIndex p_index = block_index(p, nodes, coarse);
    const BlockIndex r_index = transposed_index(p_index, node_count(coarse));
    fill(a, p, nodes, coarse, a_index, p_index, r_index, product_columns(a_index, p_index, nodes, coarse),
         coarse_matrix);
}

}  // namespace quarvex
