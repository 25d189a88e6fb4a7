// Products of the run-format level operators, with double or float values, in parallel over
// rows. A row's runs are kept in increasing column order and never touch, as in the model's
// own matrix.
#include "amg/matrix.hpp"

#include "amg/columns.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>

#include "base/failure.hpp"
#include "base/interrupt.hpp"
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
// Rows of a product of several columns between two checks for Ctrl-C.
constexpr std::size_t kBatchRows = 65536;
// The product asks for the values this many bytes past the current run (as mul_vec does).
constexpr std::size_t kPrefetchBytes = 3072;

void check_product(const SprMat& mat, std::size_t x_size, std::size_t y_size, std::size_t width) {
    if (width == 0 || width > kMaxWidth)
        panic("level product: " + std::to_string(width) + " columns (1 .. " + std::to_string(kMaxWidth) + " allowed)");
    if (mat.cols * width != x_size || mat.rows * width != y_size)
        panic("level product: a " + std::to_string(mat.rows) + " x " + std::to_string(mat.cols) + " matrix met " +
              std::to_string(width) + "-column vectors of " + std::to_string(x_size) + " and " +
              std::to_string(y_size) + " entries");
}

// Row r of a product with float values: the runs' products summed in double, in vector lanes
// kept across the runs of the row (the last partial group of a run through masked loads) and
// added up once at the row's end.
inline double float_row(const Run* runs, std::size_t first, std::size_t last, const float* values, const double* x,
                        std::size_t value_count) {
#if defined(__AVX2__) && defined(__FMA__)
    __m256d lanes = _mm256_setzero_pd();
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t off = runs[t].off, len = runs[t + 1].off - off;
        const float* const v = values + off;
        const double* const w = x + runs[t].col;
        __builtin_prefetch(values + std::min<std::size_t>(off + kPrefetchBytes / sizeof(float), value_count));
        std::size_t i = 0;
        for (; i + 4 <= len; i += 4)
            lanes = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(v + i)), _mm256_loadu_pd(w + i), lanes);
        if (i < len) {
            const __m128i mask = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(len - i)), _mm_set_epi32(3, 2, 1, 0));
            lanes = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_maskload_ps(v + i, mask)),
                                    _mm256_maskload_pd(w + i, _mm256_cvtepi32_epi64(mask)), lanes);
        }
    }
    const __m128d pairs = _mm_add_pd(_mm256_castpd256_pd128(lanes), _mm256_extractf128_pd(lanes, 1));
    return _mm_cvtsd_f64(_mm_add_sd(pairs, _mm_unpackhi_pd(pairs, pairs)));
#else
    double sum = 0.0;
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t off = runs[t].off, len = runs[t + 1].off - off;
        for (std::size_t i = 0; i < len; ++i)
            sum = std::fma(static_cast<double>(values[off + i]), x[runs[t].col + i], sum);
    }
    (void)value_count;
    return sum;
#endif
}

// Row r of a product with double values: lane_dot per run, as mul_vec.
inline double double_row(const Run* runs, std::size_t first, std::size_t last, const double* values, const double* x,
                         std::size_t value_count) {
    double s = 0.0;
    for (std::size_t t = first; t < last; ++t) {
        const Run here = runs[t];
        __builtin_prefetch(values + std::min<std::size_t>(here.off + kPrefetchBytes / sizeof(double), value_count));
        s = s + lane_dot(values + here.off, x + here.col, runs[t + 1].off - here.off);
    }
    return s;
}

inline double row_product(const Run* runs, std::size_t first, std::size_t last, const float* values, const double* x,
                          std::size_t value_count) {
    return float_row(runs, first, last, values, x, value_count);
}
inline double row_product(const Run* runs, std::size_t first, std::size_t last, const double* values, const double* x,
                          std::size_t value_count) {
    return double_row(runs, first, last, values, x, value_count);
}

// Values of a product must be as many as the structure stores.
void check_values(const SprMat& mat, std::size_t value_count) {
    if (value_count != mat.runs.back().off)
        panic("level product: " + std::to_string(value_count) + " values for a structure of " +
              std::to_string(mat.runs.back().off));
}

// out(r, row r of mat x) for every row, in parallel over rows, with the values `vals`.
template <class Value, class Out>
void product_rows(const SprMat& mat, std::span<const Value> vals, const double* x, Out&& out) {
    const std::int32_t* const row_runs = mat.row_runs.data();
    const Run* const runs = mat.runs.data();
    const Value* const values = vals.data();
    const std::size_t value_count = vals.size();
    check_values(mat, value_count);
    const auto rows = [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r)
            out(r, row_product(runs, static_cast<std::size_t>(row_runs[r]), static_cast<std::size_t>(row_runs[r + 1]),
                               values, x, value_count));
    };
    if (value_count < kSerialBelow)
        rows(0, static_cast<std::size_t>(mat.rows));
    else
        parallel_ranges(mat.rows, rows);
}

// Whether rows r and q store the same columns in the same runs (the rows of one mesh node do).
inline bool same_structure(const std::int32_t* row_runs, const Run* runs, std::size_t r, std::size_t q) {
    const std::size_t first_r = static_cast<std::size_t>(row_runs[r]);
    const std::size_t first_q = static_cast<std::size_t>(row_runs[q]);
    const std::size_t count = static_cast<std::size_t>(row_runs[r + 1]) - first_r;
    if (static_cast<std::size_t>(row_runs[q + 1]) - first_q != count) return false;
    for (std::size_t t = 0; t < count; ++t) {
        const Run& a = runs[first_r + t];
        const Run& b = runs[first_q + t];
        if (a.col != b.col || runs[first_r + t + 1].off - a.off != runs[first_q + t + 1].off - b.off) return false;
    }
    return true;
}

// Rows r .. r + Rows - 1, all of one structure (same_structure), times Groups * 4 + (Half ? 2 : 0)
// interleaved columns of x: each row of x is loaded once for all the rows, and every row's sums
// stay in vector registers. sums holds the rows' sums one row after another.
template <std::size_t Rows, std::size_t Groups, bool Half, class Value>
inline void wide_rows(const std::int32_t* row_runs, const Run* runs, std::size_t r, const Value* values,
                      const double* x, double* sums, std::size_t value_count) {
    constexpr std::size_t kWidth = 4 * Groups + (Half ? 2 : 0);
    std::size_t firsts[Rows];
    for (std::size_t k = 0; k < Rows; ++k) firsts[k] = static_cast<std::size_t>(row_runs[r + k]);
    const std::size_t count = static_cast<std::size_t>(row_runs[r + 1]) - firsts[0];
#if defined(__AVX2__) && defined(__FMA__)
    __m256d lanes[Rows][Groups > 0 ? Groups : 1];
    __m128d tails[Rows];
    for (std::size_t k = 0; k < Rows; ++k) {
        for (std::size_t g = 0; g < Groups; ++g) lanes[k][g] = _mm256_setzero_pd();
        tails[k] = _mm_setzero_pd();
    }
    for (std::size_t t = 0; t < count; ++t) {
        const std::size_t off = runs[firsts[0] + t].off, len = runs[firsts[0] + t + 1].off - off;
        const double* const w = x + static_cast<std::size_t>(runs[firsts[0] + t].col) * kWidth;
        const Value* rows[Rows];
        for (std::size_t k = 0; k < Rows; ++k) rows[k] = values + runs[firsts[k] + t].off;
        __builtin_prefetch(values + std::min<std::size_t>(off + kPrefetchBytes / sizeof(Value), value_count));
        for (std::size_t i = 0; i < len; ++i) {
            __m256d columns[Groups > 0 ? Groups : 1];
            for (std::size_t g = 0; g < Groups; ++g) columns[g] = _mm256_loadu_pd(w + i * kWidth + 4 * g);
            const __m128d tail = Half ? _mm_loadu_pd(w + i * kWidth + 4 * Groups) : _mm_setzero_pd();
            for (std::size_t k = 0; k < Rows; ++k) {
                const __m256d factor = _mm256_set1_pd(static_cast<double>(rows[k][i]));
                for (std::size_t g = 0; g < Groups; ++g) lanes[k][g] = _mm256_fmadd_pd(factor, columns[g], lanes[k][g]);
                if constexpr (Half) tails[k] = _mm_fmadd_pd(_mm256_castpd256_pd128(factor), tail, tails[k]);
            }
        }
    }
    for (std::size_t k = 0; k < Rows; ++k) {
        for (std::size_t g = 0; g < Groups; ++g) _mm256_storeu_pd(sums + k * kWidth + 4 * g, lanes[k][g]);
        if constexpr (Half) _mm_storeu_pd(sums + k * kWidth + 4 * Groups, tails[k]);
    }
#else
    std::fill(sums, sums + Rows * kWidth, 0.0);
    for (std::size_t k = 0; k < Rows; ++k)
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t off = runs[firsts[k] + t].off;
            const std::size_t len = runs[firsts[0] + t + 1].off - runs[firsts[0] + t].off;
            const double* const w = x + static_cast<std::size_t>(runs[firsts[0] + t].col) * kWidth;
            for (std::size_t i = 0; i < len; ++i)
                for (std::size_t c = 0; c < kWidth; ++c)
                    sums[k * kWidth + c] =
                        std::fma(static_cast<double>(values[off + i]), w[i * kWidth + c], sums[k * kWidth + c]);
        }
    (void)value_count;
#endif
}

// wide_rows for an even width up to kMaxWidth (with_width's constant widths); false for another.
template <std::size_t Rows, class Value>
inline bool even_wide_rows(std::size_t width, const std::int32_t* row_runs, const Run* runs, std::size_t r,
                           const Value* values, const double* x, double* sums, std::size_t value_count) {
    return with_width(width, [&](auto w) {
        if constexpr (std::is_same_v<decltype(w), std::size_t>) {
            return false;
        } else {
            wide_rows<Rows, w / 4, w % 4 == 2>(row_runs, runs, r, values, x, sums, value_count);
            return true;
        }
    });
}

// Row r for any width up to kMaxWidth.
template <class Value>
inline void any_wide_row(const Run* runs, std::size_t first, std::size_t last, const Value* values, const double* x,
                         std::size_t width, double* sums) {
    std::fill(sums, sums + width, 0.0);
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t off = runs[t].off, len = runs[t + 1].off - off;
        const double* const w = x + static_cast<std::size_t>(runs[t].col) * width;
        for (std::size_t i = 0; i < len; ++i)
            for (std::size_t c = 0; c < width; ++c)
                sums[c] = std::fma(static_cast<double>(values[off + i]), w[i * width + c], sums[c]);
    }
}

// out(r, sums, width) for every row, sums[c] the row's product with column c of x (width columns,
// interleaved), in parallel over rows. One column takes the one-vector rows above.
template <class Value, class Out>
void each_row(const SprMat& mat, std::span<const Value> vals, const double* x, std::size_t width,
              std::span<const std::int32_t> groups, Out&& out) {
    if (width == 1) {
        product_rows(mat, vals, x, [&](std::size_t r, double s) { out(r, &s, std::size_t{1}); });
        return;
    }
    const std::int32_t* const row_runs = mat.row_runs.data();
    const Run* const runs = mat.runs.data();
    const Value* const values = vals.data();
    const std::size_t value_count = vals.size();
    check_values(mat, value_count);
    if (!groups.empty() && static_cast<std::uint64_t>(groups.back()) != mat.rows)
        panic("level product: row groups of " + std::to_string(groups.back()) + " rows for a matrix of " +
              std::to_string(mat.rows));
    const auto triple = [&](std::size_t r, double* sums) {
        if (!even_wide_rows<3>(width, row_runs, runs, r, values, x, sums, value_count)) return false;
        for (std::size_t k = 0; k < 3; ++k) out(r + k, static_cast<const double*>(sums) + k * width, width);
        return true;
    };
    const auto single = [&](std::size_t r, double* sums) {
        if (!even_wide_rows<1>(width, row_runs, runs, r, values, x, sums, value_count))
            any_wide_row(runs, static_cast<std::size_t>(row_runs[r]), static_cast<std::size_t>(row_runs[r + 1]), values,
                         x, width, sums);
        out(r, static_cast<const double*>(sums), width);
    };
    // Without groups: three rows at once where they share a structure (checked), else row by row.
    const auto rows = [&](std::size_t begin, std::size_t end) {
        alignas(32) double sums[3 * kMaxWidth] = {};
        for (std::size_t r = begin; r < end; ++r) {
            if (r + 3 <= end && same_structure(row_runs, runs, r, r + 1) && same_structure(row_runs, runs, r, r + 2) &&
                triple(r, sums)) {
                r += 2;
                continue;
            }
            single(r, sums);
        }
    };
    // With groups (the rows of a group share one structure): three rows at a time, no check.
    const auto grouped = [&](std::size_t begin, std::size_t end) {
        alignas(32) double sums[3 * kMaxWidth] = {};
        for (std::size_t v = begin; v < end; ++v) {
            std::size_t r = static_cast<std::size_t>(groups[v]);
            const std::size_t last = static_cast<std::size_t>(groups[v + 1]);
            for (; r + 3 <= last && triple(r, sums); r += 3) {}
            for (; r < last; ++r) single(r, sums);
        }
    };
    // Large products run in batches of rows with a check for Ctrl-C before each (on the calling
    // thread): one product of many columns on a large model takes a good part of a second.
    const bool serial = value_count * width < kSerialBelow;
    if (groups.empty())
        serial ? rows(0, static_cast<std::size_t>(mat.rows)) : parallel_batches(mat.rows, kBatchRows, rows);
    else
        serial ? grouped(0, groups.size() - 1) : parallel_batches(groups.size() - 1, kBatchRows / 3, grouped);
}

}  // namespace

void level_mul(const SprMat& mat, std::span<const double> x, std::span<double> y, std::size_t width,
               std::span<const std::int32_t> groups) {
    check_product(mat, x.size(), y.size(), width);
    each_row(mat, std::span<const double>(mat.vals), x.data(), width, groups,
             [&](std::size_t r, const double* s, std::size_t w) {
                 for (std::size_t c = 0; c < w; ++c) y[r * w + c] = s[c];
             });
}

void level_residual(const SprMat& mat, std::span<const double> x, std::span<const double> rhs,
                    std::span<double> residual, std::size_t width, std::span<const std::int32_t> groups) {
    check_product(mat, x.size(), residual.size(), width);
    check_product(mat, x.size(), rhs.size(), width);
    each_row(mat, std::span<const double>(mat.vals), x.data(), width, groups,
             [&](std::size_t r, const double* s, std::size_t w) {
                 for (std::size_t c = 0; c < w; ++c) residual[r * w + c] = rhs[r * w + c] - s[c];
             });
}

void level_mul(const SprMat& mat, std::span<const float> values, std::span<const double> x, std::span<double> y,
               std::size_t width, std::span<const std::int32_t> groups) {
    check_product(mat, x.size(), y.size(), width);
    each_row(mat, values, x.data(), width, groups, [&](std::size_t r, const double* s, std::size_t w) {
        for (std::size_t c = 0; c < w; ++c) y[r * w + c] = s[c];
    });
}

void level_mul_add(const SprMat& mat, std::span<const float> values, std::span<const double> x, std::span<double> y,
                   std::size_t width, std::span<const std::int32_t> groups) {
    check_product(mat, x.size(), y.size(), width);
    each_row(mat, values, x.data(), width, groups, [&](std::size_t r, const double* s, std::size_t w) {
        for (std::size_t c = 0; c < w; ++c) y[r * w + c] = y[r * w + c] + s[c];
    });
}

void level_residual(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                    std::span<const double> rhs, std::span<double> residual, std::size_t width,
                    std::span<const std::int32_t> groups) {
    check_product(mat, x.size(), residual.size(), width);
    check_product(mat, x.size(), rhs.size(), width);
    each_row(mat, values, x.data(), width, groups, [&](std::size_t r, const double* s, std::size_t w) {
        for (std::size_t c = 0; c < w; ++c) residual[r * w + c] = rhs[r * w + c] - s[c];
    });
}

void level_mul_sub(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                   std::span<double> residual, std::size_t width, std::span<const std::int32_t> groups) {
    check_product(mat, x.size(), residual.size(), width);
    each_row(mat, values, x.data(), width, groups, [&](std::size_t r, const double* s, std::size_t w) {
        for (std::size_t c = 0; c < w; ++c) residual[r * w + c] = residual[r * w + c] - s[c];
    });
}

std::vector<float> interruptible_floats(std::size_t count) {
    std::vector<float> values;
    values.reserve(count);
    constexpr std::size_t kStep = std::size_t{1} << 24;  // the zeros of 64 MB between two checks
    while (values.size() < count) {
        check_interrupt();
        values.resize(std::min(count, values.size() + kStep));
    }
    return values;
}

std::vector<float> float_values(const SprMat& mat) {
    std::vector<float> values = interruptible_floats(mat.vals.size());
    parallel_batches(values.size(), kBatchRows * 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) values[k] = static_cast<float>(mat.vals[k]);
    });
    return values;
}

std::size_t matrix_bytes(const SprMat& mat) {
    return mat.vals.size() * sizeof(double) + mat.runs.size() * sizeof(Run) +
           mat.row_runs.size() * sizeof(std::int32_t);
}

}  // namespace quarvex
