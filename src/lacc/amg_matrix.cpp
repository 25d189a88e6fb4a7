// Products, transpose and matrix product of the run-format level operators. A row's runs are
// kept in increasing column order and never touch (a run ends at least one column before the
// next begins), as in the model's own matrix.
#include "lacc/amg_matrix.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>

#include "base/failure.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#endif

namespace quarvex {
namespace {

// Matrices with fewer stored values run their products on the calling thread: waking the
// workers costs more than the work.
constexpr std::size_t kSerialBelow = 16384;
// The product asks for the values this many bytes past the current run (as mul_vec does).
constexpr std::size_t kPrefetchBytes = 3072;

[[noreturn]] void refuse_size(const std::string& what) { panic("matrix too large: " + what); }

void check_product(const SprMat& mat, std::size_t x_size, std::size_t y_size) {
    if (mat.cols != x_size || mat.rows != y_size)
        panic("level product: a " + std::to_string(mat.rows) + " x " + std::to_string(mat.cols) +
              " matrix met vectors of " + std::to_string(x_size) + " and " + std::to_string(y_size) + " entries");
}

// Dot product of m float values with m doubles, in double: four lanes of fused multiply-adds
// (the last partial group through masked loads), summed (a0 + a1) + (a2 + a3).
inline double mixed_dot(const float* v, const double* w, std::size_t m) {
#if defined(__AVX2__) && defined(__FMA__)
    __m256d lanes = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) lanes = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(v + i)), _mm256_loadu_pd(w + i), lanes);
    if (i < m) {
        const __m128i mask = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(m - i)), _mm_set_epi32(3, 2, 1, 0));
        const __m256d values = _mm256_cvtps_pd(_mm_maskload_ps(v + i, mask));
        lanes = _mm256_fmadd_pd(values, _mm256_maskload_pd(w + i, _mm256_cvtepi32_epi64(mask)), lanes);
    }
    const __m128d pairs = _mm_add_pd(_mm256_castpd256_pd128(lanes), _mm256_extractf128_pd(lanes, 1));
    return _mm_cvtsd_f64(_mm_add_sd(pairs, _mm_unpackhi_pd(pairs, pairs)));
#else
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
        a0 = std::fma(static_cast<double>(v[i]), w[i], a0);
        a1 = std::fma(static_cast<double>(v[i + 1]), w[i + 1], a1);
        a2 = std::fma(static_cast<double>(v[i + 2]), w[i + 2], a2);
        a3 = std::fma(static_cast<double>(v[i + 3]), w[i + 3], a3);
    }
    for (; i < m; ++i) a0 = std::fma(static_cast<double>(v[i]), w[i], a0);
    return (a0 + a1) + (a2 + a3);
#endif
}

inline double row_dot(const double* v, const double* w, std::size_t m) { return lane_dot(v, w, m); }
inline double row_dot(const float* v, const double* w, std::size_t m) { return mixed_dot(v, w, m); }

// out(r, row r of mat x) for every row, in parallel over rows, with the values `vals`.
template <class Value, class Out>
void product_rows(const SprMat& mat, std::span<const Value> vals, const double* x, Out&& out) {
    const std::int32_t* const row_runs = mat.row_runs.data();
    const Run* const runs = mat.runs.data();
    const Value* const values = vals.data();
    const std::size_t value_count = vals.size();
    if (value_count != mat.runs.back().off)
        panic("level product: " + std::to_string(value_count) + " values for a structure of " +
              std::to_string(mat.runs.back().off));
    const auto rows = [&](std::size_t begin, std::size_t end) {
        std::size_t run = static_cast<std::size_t>(row_runs[begin]);
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t row_end = static_cast<std::size_t>(row_runs[r + 1]);
            double s = 0.0;
            for (; run < row_end; ++run) {
                const Run here = runs[run];
                __builtin_prefetch(values + std::min<std::size_t>(here.off + kPrefetchBytes / sizeof(Value), value_count));
                s = s + row_dot(values + here.off, x + here.col, runs[run + 1].off - here.off);
            }
            out(r, s);
        }
    };
    if (value_count < kSerialBelow)
        rows(0, static_cast<std::size_t>(mat.rows));
    else
        parallel_ranges(mat.rows, rows);
}

// Counts and run layout of a structure being built: entries and runs of every row.
struct RowCounts {
    std::vector<std::uint64_t> entries;
    std::vector<std::uint32_t> runs;
};

// row_runs, the run offsets and the value count from per-row counts; refuses sizes the
// format cannot index.
SprMat allocate_structure(std::size_t rows, std::size_t cols, const RowCounts& counts) {
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
    mat.vals.assign(value_total, 0.0);
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

void level_mul(const SprMat& mat, std::span<const double> x, std::span<double> y) {
    check_product(mat, x.size(), y.size());
    product_rows(mat, std::span<const double>(mat.vals), x.data(), [&](std::size_t r, double s) { y[r] = s; });
}

void level_residual(const SprMat& mat, std::span<const double> x, std::span<const double> rhs,
                    std::span<double> residual) {
    check_product(mat, x.size(), residual.size());
    check_product(mat, x.size(), rhs.size());
    product_rows(mat, std::span<const double>(mat.vals), x.data(),
                 [&](std::size_t r, double s) { residual[r] = rhs[r] - s; });
}

void level_mul(const SprMat& mat, std::span<const float> values, std::span<const double> x, std::span<double> y) {
    check_product(mat, x.size(), y.size());
    product_rows(mat, values, x.data(), [&](std::size_t r, double s) { y[r] = s; });
}

void level_mul_add(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                   std::span<double> y) {
    check_product(mat, x.size(), y.size());
    product_rows(mat, values, x.data(), [&](std::size_t r, double s) { y[r] = y[r] + s; });
}

void level_residual(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                    std::span<const double> rhs, std::span<double> residual) {
    check_product(mat, x.size(), residual.size());
    check_product(mat, x.size(), rhs.size());
    product_rows(mat, values, x.data(), [&](std::size_t r, double s) { residual[r] = rhs[r] - s; });
}

void level_mul_sub(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                   std::span<double> residual) {
    check_product(mat, x.size(), residual.size());
    product_rows(mat, values, x.data(), [&](std::size_t r, double s) { residual[r] = residual[r] - s; });
}

std::vector<float> float_values(const SprMat& mat) {
    std::vector<float> values(mat.vals.size());
    parallel_ranges(values.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) values[k] = static_cast<float>(mat.vals[k]);
    });
    return values;
}

std::size_t matrix_bytes(const SprMat& mat) {
    return mat.vals.size() * sizeof(double) + mat.runs.size() * sizeof(Run) +
           mat.row_runs.size() * sizeof(std::int32_t);
}

SprMat build_block_structure(const NodeRanges& row_nodes, const NodeRanges& col_nodes,
                             FunctionRef<void(std::size_t, NodeSet&)> node_cols) {
    const std::size_t rows = static_cast<std::size_t>(row_nodes.starts.back());
    const std::size_t cols = static_cast<std::size_t>(col_nodes.starts.back());
    const std::int32_t* const starts = col_nodes.starts.data();
    const auto new_set = [&] { return NodeSet{std::vector<std::int32_t>(node_count(col_nodes), -1), {}, -1}; };
    // Row node I's distinct column nodes, sorted, in set.list.
    const auto collect = [&](std::size_t node, NodeSet& set) -> const std::vector<std::int32_t>& {
        set.list.clear();
        set.owner = static_cast<std::int32_t>(node);
        node_cols(node, set);
        std::sort(set.list.begin(), set.list.end());
        return set.list;
    };
    RowCounts counts{std::vector<std::uint64_t>(rows, 0), std::vector<std::uint32_t>(rows, 0)};
    parallel_ranges(node_count(row_nodes), [&](std::size_t begin, std::size_t end) {
        NodeSet set = new_set();
        for (std::size_t node = begin; node < end; ++node) {
            const std::vector<std::int32_t>& list = collect(node, set);
            std::uint64_t entries = 0;
            std::uint32_t runs = 0;
            std::int32_t last_end = -1;
            for (const std::int32_t v : list) {
                if (starts[v] != last_end) ++runs;
                entries += static_cast<std::uint64_t>(starts[v + 1] - starts[v]);
                last_end = starts[v + 1];
            }
            for (std::int32_t r = row_nodes.starts[node]; r < row_nodes.starts[node + 1]; ++r) {
                counts.entries[static_cast<std::size_t>(r)] = entries;
                counts.runs[static_cast<std::size_t>(r)] = runs;
            }
        }
    });
    SprMat mat = allocate_structure(rows, cols, counts);
    const std::vector<std::uint64_t> first_value = value_starts(counts);
    parallel_ranges(node_count(row_nodes), [&](std::size_t begin, std::size_t end) {
        NodeSet set = new_set();
        for (std::size_t node = begin; node < end; ++node) {
            const std::vector<std::int32_t>& list = collect(node, set);
            for (std::int32_t r = row_nodes.starts[node]; r < row_nodes.starts[node + 1]; ++r) {
                std::size_t run = static_cast<std::size_t>(mat.row_runs[static_cast<std::size_t>(r)]);
                std::uint64_t off = first_value[static_cast<std::size_t>(r)];
                std::int32_t last_end = -1;
                for (const std::int32_t v : list) {
                    if (starts[v] != last_end) mat.runs[run++] = Run{starts[v], static_cast<std::uint32_t>(off)};
                    off += static_cast<std::uint64_t>(starts[v + 1] - starts[v]);
                    last_end = starts[v + 1];
                }
            }
        }
    });
    return mat;
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
                ok = col_nodes.starts[static_cast<std::size_t>(col_nodes.node_of[col])] == static_cast<std::int32_t>(col) &&
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

SprMat multiply(const SprMat& a, const SprMat& b, const NodeRanges& a_rows, const NodeRanges& a_cols,
                const NodeRanges& b_cols) {
    if (a.cols != b.rows || static_cast<std::uint64_t>(b_cols.starts.back()) != b.cols)
        panic("matrix product: " + std::to_string(a.rows) + " x " + std::to_string(a.cols) + " times " +
              std::to_string(b.rows) + " x " + std::to_string(b.cols));
    const std::int32_t* const node_of = b_cols.node_of.data();
    SprMat c = build_block_structure(a_rows, b_cols, [&](std::size_t node, NodeSet& set) {
        for_each_block(a, static_cast<std::size_t>(a_rows.starts[node]), a_cols, [&](std::size_t j_node, std::size_t) {
            const std::size_t row = static_cast<std::size_t>(a_cols.starts[j_node]);
            for (std::size_t u = static_cast<std::size_t>(b.row_runs[row]); u < static_cast<std::size_t>(b.row_runs[row + 1]);
                 ++u) {
                const std::int32_t col = b.runs[u].col;
                const std::int32_t len = static_cast<std::int32_t>(b.runs[u + 1].off - b.runs[u].off);
                for (std::int32_t v = node_of[col]; v <= node_of[col + len - 1]; ++v) set.add(v);
            }
        });
    });
    multiply_values(a, b, a_rows, a_cols, b_cols, c);
    return c;
}

namespace {

// c(m, k) += sum_l a(m, l) b(l, k) for a block a of bi x bj, b of bj x bk and c of bi x bk,
// rows `stride` apart in each. Fixed sizes (all > 0) let the compiler keep the block in
// registers and vectorise along k; sizes 0 mean sizes known at run time.
template <std::size_t BI, std::size_t BJ, std::size_t BK>
void block_product(const double* __restrict a, std::size_t a_stride, const double* __restrict b, std::size_t b_stride,
                   double* __restrict c, std::size_t c_stride, std::size_t bi, std::size_t bj, std::size_t bk) {
    if constexpr (BI > 0) {
        for (std::size_t m = 0; m < BI; ++m)
            for (std::size_t k = 0; k < BK; ++k) {
                double sum = c[m * c_stride + k];
                for (std::size_t l = 0; l < BJ; ++l) sum = std::fma(a[m * a_stride + l], b[l * b_stride + k], sum);
                c[m * c_stride + k] = sum;
            }
    } else {
        for (std::size_t m = 0; m < bi; ++m)
            for (std::size_t l = 0; l < bj; ++l) {
                const double factor = a[m * a_stride + l];
                for (std::size_t k = 0; k < bk; ++k)
                    c[m * c_stride + k] = std::fma(factor, b[l * b_stride + k], c[m * c_stride + k]);
            }
    }
}

using BlockProduct = void (*)(const double*, std::size_t, const double*, std::size_t, double*, std::size_t,
                              std::size_t, std::size_t, std::size_t);

// The kernel for blocks of sizes bi, bj, bk: fixed sizes for the node sizes of elasticity
// (3 unknowns per mesh node, 6 per coarse node).
BlockProduct block_kernel(std::size_t bi, std::size_t bj, std::size_t bk) {
    if (bk == 6) {
        if (bi == 3 && bj == 3) return block_product<3, 3, 6>;
        if (bi == 6 && bj == 3) return block_product<6, 3, 6>;
        if (bi == 3 && bj == 6) return block_product<3, 6, 6>;
        if (bi == 6 && bj == 6) return block_product<6, 6, 6>;
    }
    return block_product<0, 0, 0>;
}

}  // namespace

// Row node I of c = sum over the column nodes J of I in a: A_IJ (bI x bJ) times the rows of
// node J of b, added run by run of b into c's rows at the columns' places in c's row.
void multiply_values(const SprMat& a, const SprMat& b, const NodeRanges& a_rows, const NodeRanges& a_cols,
                     const NodeRanges& b_cols, SprMat& c) {
    parallel_ranges(node_count(a_rows), [&](std::size_t begin, std::size_t end) {
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
            for_each_block(a, first, a_cols, [&](std::size_t j_node, std::size_t a_position) {
                const std::size_t b_first = static_cast<std::size_t>(a_cols.starts[j_node]);
                const std::size_t j_size = static_cast<std::size_t>(node_size(a_cols, j_node));
                const std::size_t b_len = row_end(b, b_first) - row_begin(b, b_first);
                const double* const b_row = b.vals.data() + row_begin(b, b_first);
                // c_IK += A_IJ B_JK for every column node K of b's row node J.
                for_each_block(b, b_first, b_cols, [&](std::size_t k_node, std::size_t b_position) {
                    const std::size_t k_size = static_cast<std::size_t>(node_size(b_cols, k_node));
                    block_kernel(size, j_size, k_size)(a_block + a_position, a_len, b_row + b_position, b_len,
                                                       c_block + place[k_node], c_len, size, j_size, k_size);
                });
            });
        }
    });
}

SprMat transpose(const SprMat& mat) {
    const std::size_t rows = mat.rows;
    const std::size_t cols = mat.cols;
    // Rows are cut into fixed blocks; block b's entries of column c follow those of the
    // blocks before it, so every row of the transpose lists its columns in order.
    const std::size_t block_count = std::max<std::size_t>(1, std::min(rows, 4 * worker_count()));
    const auto block_first = [&](std::size_t b) { return b * rows / block_count; };
    std::vector<std::uint64_t> cursor(block_count * cols, 0);
    parallel_for(block_count, [&](std::size_t b) {
        std::uint64_t* const count = cursor.data() + b * cols;
        for (std::size_t r = block_first(b); r < block_first(b + 1); ++r)
            for_each_entry(mat, r, [&](std::size_t col, std::size_t) { ++count[col]; });
    });
    std::vector<std::uint64_t> col_start(cols + 1, 0);
    for (std::size_t col = 0; col < cols; ++col) {
        std::uint64_t position = col_start[col];
        for (std::size_t b = 0; b < block_count; ++b) {
            const std::uint64_t count = cursor[b * cols + col];
            cursor[b * cols + col] = position;
            position += count;
        }
        col_start[col + 1] = position;
    }
    std::vector<std::int32_t> source_row(mat.vals.size());
    std::vector<double> values(mat.vals.size());
    parallel_for(block_count, [&](std::size_t b) {
        std::uint64_t* const next = cursor.data() + b * cols;
        for (std::size_t r = block_first(b); r < block_first(b + 1); ++r)
            for_each_entry(mat, r, [&](std::size_t col, std::size_t pos) {
                const std::uint64_t target = next[col]++;
                source_row[target] = static_cast<std::int32_t>(r);
                values[target] = mat.vals[pos];
            });
    });
    cursor = {};
    // Runs of the transpose: stretches of consecutive source rows.
    RowCounts counts{std::vector<std::uint64_t>(cols, 0), std::vector<std::uint32_t>(cols, 0)};
    parallel_ranges(cols, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::uint32_t runs = 0;
            for (std::uint64_t k = col_start[c]; k < col_start[c + 1]; ++k)
                if (k == col_start[c] || source_row[k] != source_row[k - 1] + 1) ++runs;
            counts.entries[c] = col_start[c + 1] - col_start[c];
            counts.runs[c] = runs;
        }
    });
    SprMat result = allocate_structure(cols, rows, counts);
    parallel_ranges(cols, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::size_t run = static_cast<std::size_t>(result.row_runs[c]);
            for (std::uint64_t k = col_start[c]; k < col_start[c + 1]; ++k)
                if (k == col_start[c] || source_row[k] != source_row[k - 1] + 1)
                    result.runs[run++] = Run{source_row[k], static_cast<std::uint32_t>(k)};
        }
    });
    result.vals = std::move(values);
    return result;
}

}  // namespace quarvex
