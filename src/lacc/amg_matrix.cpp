// Products, transpose and matrix product of the run-format level operators. A row's runs are
// kept in increasing column order and never touch (a run ends at least one column before the
// next begins), as in the model's own matrix.
#include "lacc/amg_matrix.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "base/failure.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// Matrices with fewer stored values run their products on the calling thread: waking the
// workers costs more than the work.
constexpr std::size_t kSerialBelow = 16384;
// The product asks for the values this many entries past the current run (as mul_vec does).
constexpr std::size_t kPrefetchAhead = 384;

[[noreturn]] void refuse_size(const std::string& what) { panic("matrix too large: " + what); }

void check_product(const SprMat& mat, std::size_t x_size, std::size_t y_size) {
    if (mat.cols != x_size || mat.rows != y_size)
        panic("level product: a " + std::to_string(mat.rows) + " x " + std::to_string(mat.cols) +
              " matrix met vectors of " + std::to_string(x_size) + " and " + std::to_string(y_size) + " entries");
}

// body(begin, end) over the rows, on the pool unless the matrix is small.
template <class Body>
void for_rows(const SprMat& mat, Body&& body) {
    if (mat.vals.size() < kSerialBelow)
        body(std::size_t{0}, static_cast<std::size_t>(mat.rows));
    else
        parallel_ranges(mat.rows, body);
}

// out(r, row r of mat x) for every row, in parallel over rows.
template <class Out>
void product_rows(const SprMat& mat, const double* x, Out&& out) {
    const std::int32_t* const row_runs = mat.row_runs.data();
    const Run* const runs = mat.runs.data();
    const double* const vals = mat.vals.data();
    const std::size_t value_count = mat.vals.size();
    for_rows(mat, [&](std::size_t begin, std::size_t end) {
        std::size_t run = static_cast<std::size_t>(row_runs[begin]);
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t row_end = static_cast<std::size_t>(row_runs[r + 1]);
            double s = 0.0;
            for (; run < row_end; ++run) {
                const Run here = runs[run];
                __builtin_prefetch(vals + std::min<std::size_t>(here.off + kPrefetchAhead, value_count));
                s = s + lane_dot(vals + here.off, x + here.col, runs[run + 1].off - here.off);
            }
            out(r, s);
        }
    });
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
    product_rows(mat, x.data(), [&](std::size_t r, double s) { y[r] = s; });
}

void level_mul_add(const SprMat& mat, std::span<const double> x, std::span<double> y) {
    check_product(mat, x.size(), y.size());
    product_rows(mat, x.data(), [&](std::size_t r, double s) { y[r] = y[r] + s; });
}

void level_residual(const SprMat& mat, std::span<const double> x, std::span<const double> rhs,
                    std::span<double> residual) {
    check_product(mat, x.size(), residual.size());
    check_product(mat, x.size(), rhs.size());
    product_rows(mat, x.data(), [&](std::size_t r, double s) { residual[r] = rhs[r] - s; });
}

void level_mul_sub(const SprMat& mat, std::span<const double> x, std::span<double> residual) {
    check_product(mat, x.size(), residual.size());
    product_rows(mat, x.data(), [&](std::size_t r, double s) { residual[r] = residual[r] - s; });
}

std::size_t matrix_bytes(const SprMat& mat) {
    return mat.vals.size() * sizeof(double) + mat.runs.size() * sizeof(Run) +
           mat.row_runs.size() * sizeof(std::int32_t);
}

SprMat build_node_structure(std::size_t rows, const NodeRanges& col_nodes,
                            FunctionRef<void(std::size_t, NodeSet&)> row_nodes) {
    const std::size_t cols = static_cast<std::size_t>(col_nodes.starts.back());
    const std::int32_t* const starts = col_nodes.starts.data();
    const auto new_set = [&] { return NodeSet{std::vector<std::int32_t>(node_count(col_nodes), -1), {}, -1}; };
    // Row r's distinct nodes, sorted, in set.list.
    const auto collect = [&](std::size_t r, NodeSet& set) -> const std::vector<std::int32_t>& {
        set.list.clear();
        set.row = static_cast<std::int32_t>(r);
        row_nodes(r, set);
        std::sort(set.list.begin(), set.list.end());
        return set.list;
    };
    RowCounts counts{std::vector<std::uint64_t>(rows, 0), std::vector<std::uint32_t>(rows, 0)};
    parallel_ranges(rows, [&](std::size_t begin, std::size_t end) {
        NodeSet set = new_set();
        for (std::size_t r = begin; r < end; ++r) {
            const std::vector<std::int32_t>& list = collect(r, set);
            std::uint64_t entries = 0;
            std::uint32_t runs = 0;
            std::int32_t last_end = -1;
            for (const std::int32_t v : list) {
                const std::int32_t size = starts[v + 1] - starts[v];
                if (size == 0) continue;
                if (starts[v] != last_end) ++runs;
                entries += static_cast<std::uint64_t>(size);
                last_end = starts[v + 1];
            }
            counts.entries[r] = entries;
            counts.runs[r] = runs;
        }
    });
    SprMat mat = allocate_structure(rows, cols, counts);
    const std::vector<std::uint64_t> first_value = value_starts(counts);
    parallel_ranges(rows, [&](std::size_t begin, std::size_t end) {
        NodeSet set = new_set();
        for (std::size_t r = begin; r < end; ++r) {
            const std::vector<std::int32_t>& list = collect(r, set);
            std::size_t run = static_cast<std::size_t>(mat.row_runs[r]);
            std::uint64_t off = first_value[r];
            std::int32_t last_end = -1;
            for (const std::int32_t v : list) {
                const std::int32_t size = starts[v + 1] - starts[v];
                if (size == 0) continue;
                if (starts[v] != last_end) mat.runs[run++] = Run{starts[v], static_cast<std::uint32_t>(off)};
                off += static_cast<std::uint64_t>(size);
                last_end = starts[v + 1];
            }
        }
    });
    return mat;
}

SprMat multiply(const SprMat& a, const SprMat& b, const NodeRanges& col_nodes) {
    if (a.cols != b.rows || static_cast<std::uint64_t>(col_nodes.starts.back()) != b.cols)
        panic("matrix product: " + std::to_string(a.rows) + " x " + std::to_string(a.cols) + " times " +
              std::to_string(b.rows) + " x " + std::to_string(b.cols));
    const std::int32_t* const node_of = col_nodes.node_of.data();
    SprMat c = build_node_structure(a.rows, col_nodes, [&](std::size_t i, NodeSet& set) {
        const std::size_t a_first = static_cast<std::size_t>(a.row_runs[i]);
        const std::size_t a_last = static_cast<std::size_t>(a.row_runs[i + 1]);
        for (std::size_t t = a_first; t < a_last; ++t) {
            const std::size_t j_first = static_cast<std::size_t>(a.runs[t].col);
            const std::size_t j_end = j_first + (a.runs[t + 1].off - a.runs[t].off);
            for (std::size_t j = j_first; j < j_end; ++j) {
                const std::size_t b_first = static_cast<std::size_t>(b.row_runs[j]);
                const std::size_t b_last = static_cast<std::size_t>(b.row_runs[j + 1]);
                for (std::size_t u = b_first; u < b_last; ++u) {
                    const std::int32_t col = b.runs[u].col;
                    const std::int32_t len = static_cast<std::int32_t>(b.runs[u + 1].off - b.runs[u].off);
                    for (std::int32_t v = node_of[col]; v <= node_of[col + len - 1]; ++v) set.add(v);
                }
            }
        }
    });
    multiply_values(a, b, c);
    return c;
}

void multiply_values(const SprMat& a, const SprMat& b, SprMat& c) {
    const std::size_t cols = c.cols;
    parallel_ranges(a.rows, [&](std::size_t begin, std::size_t end) {
        std::vector<double> acc(cols, 0.0);
        for (std::size_t i = begin; i < end; ++i) {
            // acc = row i of a b, scattered: acc[col] += a(i, j) b(j, col).
            for_each_entry(a, i, [&](std::size_t j, std::size_t a_pos) {
                const double factor = a.vals[a_pos];
                const std::size_t b_first = static_cast<std::size_t>(b.row_runs[j]);
                const std::size_t b_last = static_cast<std::size_t>(b.row_runs[j + 1]);
                for (std::size_t u = b_first; u < b_last; ++u) {
                    double* const target = acc.data() + b.runs[u].col;
                    const double* const source = b.vals.data() + b.runs[u].off;
                    const std::size_t len = b.runs[u + 1].off - b.runs[u].off;
                    for (std::size_t k = 0; k < len; ++k) target[k] = std::fma(factor, source[k], target[k]);
                }
            });
            // Gather along row i of c and clear what was gathered.
            for_each_entry(c, i, [&](std::size_t col, std::size_t c_pos) {
                c.vals[c_pos] = acc[col];
                acc[col] = 0.0;
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
