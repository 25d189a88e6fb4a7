// Structures in node blocks: block indexes, the lists of column nodes that give a new
// structure, the transpose and the product of matrices in node blocks.
#include "amg/blocks.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <string>

#include "amg/kernels.hpp"
#include "base/failure.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

[[noreturn]] void refuse_size(const std::string& what) {
    panic("matrix too large: " + what);
}

// Counts and run layout of a structure being built: entries and runs of every row.
struct RowCounts {
    std::vector<std::uint64_t> entries;
    std::vector<std::uint32_t> runs;
};

// row_runs, the run offsets and (with_values) zero values from per-row counts; refuses sizes
// the format cannot index.
SprMat allocate_structure(std::size_t rows, std::size_t cols, const RowCounts& counts, bool with_values = true) {
    SprMat mat;
    mat.rows = rows;
    mat.cols = cols;
    if (cols > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        refuse_size(std::to_string(cols) + " columns");
    mat.row_runs.assign(rows + 1, 1);
    std::uint64_t run_total = 1;
    std::uint64_t value_total = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        mat.row_runs[r] = static_cast<std::int32_t>(run_total);
        run_total += counts.runs[r];
        value_total += counts.entries[r];
        if (run_total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) - 1)
            refuse_size(std::to_string(run_total) + " runs");
        if (value_total > std::numeric_limits<std::uint32_t>::max())
            refuse_size(std::to_string(value_total) + " stored values");
    }
    mat.row_runs[rows] = static_cast<std::int32_t>(run_total);
    mat.runs.assign(run_total + 1, Run{});
    mat.runs[run_total] = Run{0, static_cast<std::uint32_t>(value_total)};
    if (with_values) mat.vals.assign(value_total, 0.0);
    return mat;
}

// Positions of every row's first value, from the counts (row r starts at value_start[r]).
std::vector<std::uint64_t> value_starts(const RowCounts& counts) {
    std::vector<std::uint64_t> start(counts.entries.size() + 1, 0);
    for (std::size_t r = 0; r < counts.entries.size(); ++r) start[r + 1] = start[r] + counts.entries[r];
    return start;
}

}  // namespace

NodeRanges node_ranges_from_sizes(std::span<const std::int32_t> sizes) {
    NodeRanges nodes;
    nodes.starts.resize(sizes.size() + 1);
    std::int64_t total = 0;
    for (std::size_t v = 0; v < sizes.size(); ++v) {
        nodes.starts[v] = static_cast<std::int32_t>(total);
        total += sizes[v];
        if (total > std::numeric_limits<std::int32_t>::max()) refuse_size(std::to_string(total) + " unknowns");
    }
    nodes.starts[sizes.size()] = static_cast<std::int32_t>(total);
    nodes.node_of.resize(static_cast<std::size_t>(total));
    for (std::size_t v = 0; v < sizes.size(); ++v)
        std::fill(nodes.node_of.begin() + nodes.starts[v], nodes.node_of.begin() + nodes.starts[v + 1],
                  static_cast<std::int32_t>(v));
    return nodes;
}

NodeLists node_lists(std::size_t row_count, std::size_t col_count, FunctionRef<void(std::size_t, NodeSet&)> node_cols) {
    // Gathered per piece of row nodes, joined in order.
    struct PieceLists {
        std::size_t begin = 0;
        std::vector<std::int64_t> count;
        std::vector<std::int32_t> nodes;
    };
    std::vector<PieceLists> pieces;
    std::mutex pieces_lock;
    parallel_ranges(row_count, [&](std::size_t begin, std::size_t end) {
        PieceLists piece;
        piece.begin = begin;
        NodeSet set{std::vector<std::int32_t>(col_count, -1), {}, -1};
        for (std::size_t node = begin; node < end; ++node) {
            set.list.clear();
            set.owner = static_cast<std::int32_t>(node);
            node_cols(node, set);
            std::sort(set.list.begin(), set.list.end());
            piece.nodes.insert(piece.nodes.end(), set.list.begin(), set.list.end());
            piece.count.push_back(static_cast<std::int64_t>(set.list.size()));
        }
        const std::lock_guard<std::mutex> guard(pieces_lock);
        pieces.push_back(std::move(piece));
    });
    std::sort(pieces.begin(), pieces.end(), [](const PieceLists& a, const PieceLists& b) { return a.begin < b.begin; });
    NodeLists lists;
    lists.first.assign(row_count + 1, 0);
    for (const PieceLists& piece : pieces)
        for (std::size_t k = 0; k < piece.count.size(); ++k)
            lists.first[piece.begin + k + 1] = lists.first[piece.begin + k] + piece.count[k];
    lists.nodes.resize(static_cast<std::size_t>(lists.first[row_count]));
    parallel_for(pieces.size(), [&](std::size_t p) {
        std::copy(pieces[p].nodes.begin(), pieces[p].nodes.end(), lists.nodes.begin() + lists.first[pieces[p].begin]);
    });
    return lists;
}

SprMat structure_from_lists(const NodeRanges& row_nodes, const NodeRanges& col_nodes, const NodeLists& lists,
                            bool with_values) {
    const std::size_t rows = static_cast<std::size_t>(row_nodes.starts.back());
    const std::size_t cols = static_cast<std::size_t>(col_nodes.starts.back());
    const std::int32_t* const starts = col_nodes.starts.data();
    // Calls run(column, entries so far) at every new run of row node I, returns its entries.
    const auto walk = [&](std::size_t node, auto&& run) {
        std::uint64_t entries = 0;
        std::int32_t last_end = -1;
        for (std::int64_t e = lists.first[node]; e < lists.first[node + 1]; ++e) {
            const std::int32_t v = lists.nodes[static_cast<std::size_t>(e)];
            if (starts[v] != last_end) run(starts[v], entries);
            entries += static_cast<std::uint64_t>(starts[v + 1] - starts[v]);
            last_end = starts[v + 1];
        }
        return entries;
    };
    RowCounts counts{std::vector<std::uint64_t>(rows, 0), std::vector<std::uint32_t>(rows, 0)};
    parallel_batches(node_count(row_nodes), kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        for (std::size_t node = begin; node < end; ++node) {
            std::uint32_t runs = 0;
            const std::uint64_t entries = walk(node, [&](std::int32_t, std::uint64_t) { ++runs; });
            for (std::int32_t r = row_nodes.starts[node]; r < row_nodes.starts[node + 1]; ++r) {
                counts.entries[static_cast<std::size_t>(r)] = entries;
                counts.runs[static_cast<std::size_t>(r)] = runs;
            }
        }
    });
    SprMat mat = allocate_structure(rows, cols, counts, with_values);
    const std::vector<std::uint64_t> first_value = value_starts(counts);
    parallel_batches(node_count(row_nodes), kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        for (std::size_t node = begin; node < end; ++node)
            for (std::int32_t r = row_nodes.starts[node]; r < row_nodes.starts[node + 1]; ++r) {
                std::size_t run = static_cast<std::size_t>(mat.row_runs[static_cast<std::size_t>(r)]);
                const std::uint64_t first = first_value[static_cast<std::size_t>(r)];
                walk(node, [&](std::int32_t col, std::uint64_t entries) {
                    mat.runs[run++] = Run{col, static_cast<std::uint32_t>(first + entries)};
                });
            }
    });
    return mat;
}

SprMat build_block_structure(const NodeRanges& row_nodes, const NodeRanges& col_nodes,
                             FunctionRef<void(std::size_t, NodeSet&)> node_cols, bool with_values) {
    return structure_from_lists(row_nodes, col_nodes,
                                node_lists(node_count(row_nodes), node_count(col_nodes), node_cols), with_values);
}

BlockIndex block_index(const SprMat& mat, const NodeRanges& row_nodes, const NodeRanges& col_nodes) {
    const std::size_t count = node_count(row_nodes);
    BlockIndex index;
    index.first.assign(count + 1, 0);
    parallel_ranges(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t node = begin; node < end; ++node) {
            std::int64_t blocks = 0;
            for_each_block(mat, static_cast<std::size_t>(row_nodes.starts[node]), col_nodes,
                           [&](std::size_t, std::size_t) { ++blocks; });
            index.first[node + 1] = blocks;
        }
    });
    for (std::size_t node = 0; node < count; ++node) index.first[node + 1] += index.first[node];
    index.col_node.resize(static_cast<std::size_t>(index.first[count]));
    index.position.resize(index.col_node.size());
    parallel_ranges(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t node = begin; node < end; ++node) {
            std::size_t e = static_cast<std::size_t>(index.first[node]);
            for_each_block(mat, static_cast<std::size_t>(row_nodes.starts[node]), col_nodes,
                           [&](std::size_t col_node, std::size_t position) {
                               index.col_node[e] = static_cast<std::int32_t>(col_node);
                               index.position[e] = static_cast<std::int32_t>(position);
                               ++e;
                           });
        }
    });
    return index;
}

BlockIndex transposed_index(const BlockIndex& index, std::size_t col_count) {
    BlockIndex result;
    result.first.assign(col_count + 1, 0);
    for (const std::int32_t k_node : index.col_node) ++result.first[static_cast<std::size_t>(k_node) + 1];
    for (std::size_t k = 0; k < col_count; ++k) result.first[k + 1] += result.first[k];
    result.col_node.resize(index.col_node.size());
    result.position.resize(index.col_node.size());
    std::vector<std::int64_t> next(result.first.begin(), result.first.end() - 1);
    for (std::size_t node = 0; node + 1 < index.first.size(); ++node)
        for (std::int64_t e = index.first[node]; e < index.first[node + 1]; ++e) {
            const std::size_t target = static_cast<std::size_t>(next[static_cast<std::size_t>(index.col_node[e])]++);
            result.col_node[target] = static_cast<std::int32_t>(node);
            result.position[target] = index.position[static_cast<std::size_t>(e)];
        }
    return result;
}

SprMat transpose_blocks(const SprMat& mat, std::span<const float> values, const NodeRanges& row_nodes,
                        const NodeRanges& col_nodes, std::vector<float>& transposed_values) {
    const std::size_t col_count = node_count(col_nodes);
    const BlockIndex by_column = transposed_index(block_index(mat, row_nodes, col_nodes), col_count);
    SprMat result = build_block_structure(
        col_nodes, row_nodes,
        [&](std::size_t k_node, NodeSet& set) {
            for (std::int64_t f = by_column.first[k_node]; f < by_column.first[k_node + 1]; ++f)
                set.add(by_column.col_node[static_cast<std::size_t>(f)]);
        },
        false);
    transposed_values.assign(values.size(), 0.0f);
    // result(K rows, I columns) = mat(I rows, K columns)^T, block by block in row-node order.
    parallel_batches(col_count, kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k_node = begin; k_node < end; ++k_node) {
            const std::size_t k_first = static_cast<std::size_t>(col_nodes.starts[k_node]);
            const std::size_t k_size = static_cast<std::size_t>(node_size(col_nodes, k_node));
            const std::size_t out_len = row_end(result, k_first) - row_begin(result, k_first);
            float* const out = transposed_values.data() + row_begin(result, k_first);
            std::size_t out_position = 0;
            for (std::int64_t f = by_column.first[k_node]; f < by_column.first[k_node + 1]; ++f) {
                const std::size_t i_node = static_cast<std::size_t>(by_column.col_node[static_cast<std::size_t>(f)]);
                const std::size_t i_first = static_cast<std::size_t>(row_nodes.starts[i_node]);
                const std::size_t i_size = static_cast<std::size_t>(node_size(row_nodes, i_node));
                const std::size_t in_len = row_end(mat, i_first) - row_begin(mat, i_first);
                const float* const in =
                    values.data() + row_begin(mat, i_first) + by_column.position[static_cast<std::size_t>(f)];
                for (std::size_t m = 0; m < k_size; ++m)
                    for (std::size_t l = 0; l < i_size; ++l) out[m * out_len + out_position + l] = in[l * in_len + m];
                out_position += i_size;
            }
        }
    });
    return result;
}

bool has_node_blocks(const SprMat& mat, const NodeRanges& row_nodes, const NodeRanges& col_nodes) {
    if (static_cast<std::uint64_t>(row_nodes.starts.back()) != mat.rows ||
        static_cast<std::uint64_t>(col_nodes.starts.back()) != mat.cols)
        return false;
    std::atomic<bool> blocked{true};
    parallel_ranges(node_count(row_nodes), [&](std::size_t begin, std::size_t end) {
        for (std::size_t node = begin; node < end && blocked.load(std::memory_order_relaxed); ++node) {
            const std::size_t first = static_cast<std::size_t>(row_nodes.starts[node]);
            const std::size_t first_runs = static_cast<std::size_t>(mat.row_runs[first]);
            const std::size_t run_count = static_cast<std::size_t>(mat.row_runs[first + 1]) - first_runs;
            const std::size_t length = row_end(mat, first) - row_begin(mat, first);
            bool ok = true;
            // Runs cover whole column nodes.
            for (std::size_t t = first_runs; t < first_runs + run_count && ok; ++t) {
                const std::size_t col = static_cast<std::size_t>(mat.runs[t].col);
                const std::size_t end_col = col + (mat.runs[t + 1].off - mat.runs[t].off);
                const std::size_t first_node = static_cast<std::size_t>(col_nodes.node_of[col]);
                ok = col_nodes.starts[first_node] == static_cast<std::int32_t>(col) &&
                     col_nodes.starts[static_cast<std::size_t>(col_nodes.node_of[end_col - 1]) + 1] ==
                         static_cast<std::int32_t>(end_col);
            }
            // The other rows of the node repeat the first row's columns.
            for (std::size_t r = first + 1; r < static_cast<std::size_t>(row_nodes.starts[node + 1]) && ok; ++r) {
                const std::size_t runs = static_cast<std::size_t>(mat.row_runs[r]);
                ok = static_cast<std::size_t>(mat.row_runs[r + 1]) - runs == run_count &&
                     row_end(mat, r) - row_begin(mat, r) == length;
                for (std::size_t t = 0; t < run_count && ok; ++t)
                    ok = mat.runs[runs + t].col == mat.runs[first_runs + t].col &&
                         mat.runs[runs + t + 1].off - mat.runs[runs + t].off ==
                             mat.runs[first_runs + t + 1].off - mat.runs[first_runs + t].off;
            }
            if (!ok) blocked.store(false, std::memory_order_relaxed);
        }
    });
    return blocked.load();
}

SprMat multiply(const SprMat& a, const BlockIndex& a_index, const SprMat& b, const NodeRanges& a_rows,
                const NodeRanges& a_cols, const NodeRanges& b_cols) {
    if (a.cols != b.rows || static_cast<std::uint64_t>(b_cols.starts.back()) != b.cols)
        panic("matrix product: " + std::to_string(a.rows) + " x " + std::to_string(a.cols) + " times " +
              std::to_string(b.rows) + " x " + std::to_string(b.cols));
    const BlockIndex b_index = block_index(b, a_cols, b_cols);
    SprMat c = build_block_structure(a_rows, b_cols, [&](std::size_t node, NodeSet& set) {
        for (std::int64_t e = a_index.first[node]; e < a_index.first[node + 1]; ++e) {
            const std::size_t j_node = static_cast<std::size_t>(a_index.col_node[static_cast<std::size_t>(e)]);
            for (std::int64_t f = b_index.first[j_node]; f < b_index.first[j_node + 1]; ++f)
                set.add(b_index.col_node[static_cast<std::size_t>(f)]);
        }
    });
    multiply_values(a, a_index, b, a_rows, a_cols, b_cols, c);
    return c;
}

namespace {

// c_IK += A_IJ B_JK over the blocks K of b's row node J, with A_IJ of bi x bj at `a`; fixed
// sizes (BI, BJ > 0) for the common node sizes (3 and 6; 9 with the plate-bending modes).
template <std::size_t BI, std::size_t BJ>
void add_block_row(const double* a, std::size_t a_stride, const double* b, std::size_t b_stride,
                   const BlockIndex& b_index, std::size_t j_node, const NodeRanges& b_cols, const std::int32_t* place,
                   double* c, std::size_t c_stride, std::size_t bi, std::size_t bj) {
    const std::int32_t* const starts = b_cols.starts.data();
    for (std::int64_t f = b_index.first[j_node]; f < b_index.first[j_node + 1]; ++f) {
        const std::size_t k_node = static_cast<std::size_t>(b_index.col_node[static_cast<std::size_t>(f)]);
        const std::size_t k_size = static_cast<std::size_t>(starts[k_node + 1] - starts[k_node]);
        const double* const b_block = b + b_index.position[static_cast<std::size_t>(f)];
        double* const c_block = c + place[k_node];
        if (BI > 0 && k_size == 6)
            block_product<BI, BJ, 6>(a, a_stride, b_block, b_stride, c_block, c_stride, bi, bj, 6);
        else if (BI > 0 && k_size == 9)
            block_product<BI, BJ, 9>(a, a_stride, b_block, b_stride, c_block, c_stride, bi, bj, 9);
        else
            block_product<0, 0, 0>(a, a_stride, b_block, b_stride, c_block, c_stride, bi, bj, k_size);
    }
}

}  // namespace

// Row node I of c = sum over the column nodes J of I in a: A_IJ (bI x bJ) times the blocks of
// b's row node J, each added at its column node's place in c's row.
void multiply_values(const SprMat& a, const BlockIndex& a_index, const SprMat& b, const NodeRanges& a_rows,
                     const NodeRanges& a_cols, const NodeRanges& b_cols, SprMat& c) {
    const BlockIndex b_index = block_index(b, a_cols, b_cols);
    parallel_batches(node_count(a_rows), kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        std::vector<std::int32_t> place(node_count(b_cols), 0);  // position of a column node in c's row
        for (std::size_t node = begin; node < end; ++node) {
            const std::size_t first = static_cast<std::size_t>(a_rows.starts[node]);
            const std::size_t size = static_cast<std::size_t>(node_size(a_rows, node));
            const std::size_t c_len = row_end(c, first) - row_begin(c, first);
            double* const c_block = c.vals.data() + row_begin(c, first);
            std::fill(c_block, c_block + size * c_len, 0.0);
            for_each_block(c, first, b_cols, [&](std::size_t k_node, std::size_t position) {
                place[k_node] = static_cast<std::int32_t>(position);
            });
            const std::size_t a_len = row_end(a, first) - row_begin(a, first);
            const double* const a_block = a.vals.data() + row_begin(a, first);
            for (std::int64_t e = a_index.first[node]; e < a_index.first[node + 1]; ++e) {
                const std::size_t j_node = static_cast<std::size_t>(a_index.col_node[static_cast<std::size_t>(e)]);
                const std::size_t j_size = static_cast<std::size_t>(node_size(a_cols, j_node));
                const std::size_t b_first = static_cast<std::size_t>(a_cols.starts[j_node]);
                const std::size_t b_len = row_end(b, b_first) - row_begin(b, b_first);
                const double* const a_at = a_block + a_index.position[static_cast<std::size_t>(e)];
                const double* const b_row = b.vals.data() + row_begin(b, b_first);
                const auto add = [&](auto kernel) {
                    kernel(a_at, a_len, b_row, b_len, b_index, j_node, b_cols, place.data(), c_block, c_len, size,
                           j_size);
                };
                if (size == 3 && j_size == 3)
                    add(add_block_row<3, 3>);
                else if (size == 6 && j_size == 3)
                    add(add_block_row<6, 3>);
                else if (size == 3 && j_size == 6)
                    add(add_block_row<3, 6>);
                else if (size == 6 && j_size == 6)
                    add(add_block_row<6, 6>);
                else if (size == 9 && j_size == 9)
                    add(add_block_row<9, 9>);
                else
                    add(add_block_row<0, 0>);
            }
        }
    });
}

}  // namespace quarvex
