// Products of the run-format level operators, with double or float values, in parallel over
// rows. A row's runs are kept in increasing column order and never touch, as in the model's
// own matrix.
#include "amg/matrix.hpp"

#include <algorithm>
#include <cmath>
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
        for (std::size_t r = begin; r < end; ++r)
            out(r, row_product(runs, static_cast<std::size_t>(row_runs[r]), static_cast<std::size_t>(row_runs[r + 1]),
                               values, x, value_count));
    };
    if (value_count < kSerialBelow)
        rows(0, static_cast<std::size_t>(mat.rows));
    else
        parallel_ranges(mat.rows, rows);
}

// Row r of a product with Groups * 4 interleaved columns (x row-major, cols x width): one
// broadcast value times a row of x per stored entry, the sums kept in vector registers.
template <std::size_t Groups, class Value>
inline void wide_row(const Run* runs, std::size_t first, std::size_t last, const Value* values, const double* x,
                     double* sums, std::size_t value_count) {
    constexpr std::size_t kWidth = 4 * Groups;
#if defined(__AVX2__) && defined(__FMA__)
    // Entries alternate between kSets sets of sums, so that the latency of one fused
    // multiply-add does not hold up the next on the same register.
    constexpr std::size_t kSets = Groups == 1 ? 4 : 2;
    __m256d lanes[kSets][Groups];
    for (std::size_t k = 0; k < kSets; ++k)
        for (std::size_t g = 0; g < Groups; ++g) lanes[k][g] = _mm256_setzero_pd();
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t off = runs[t].off, len = runs[t + 1].off - off;
        const Value* const v = values + off;
        const double* const w = x + static_cast<std::size_t>(runs[t].col) * kWidth;
        __builtin_prefetch(values + std::min<std::size_t>(off + kPrefetchBytes / sizeof(Value), value_count));
        std::size_t i = 0;
        for (; i + kSets <= len; i += kSets)
            for (std::size_t k = 0; k < kSets; ++k) {
                const __m256d factor = _mm256_set1_pd(static_cast<double>(v[i + k]));
                for (std::size_t g = 0; g < Groups; ++g)
                    lanes[k][g] = _mm256_fmadd_pd(factor, _mm256_loadu_pd(w + (i + k) * kWidth + 4 * g), lanes[k][g]);
            }
        for (std::size_t k = 0; i < len; ++i, ++k) {
            const __m256d factor = _mm256_set1_pd(static_cast<double>(v[i]));
            for (std::size_t g = 0; g < Groups; ++g)
                lanes[k][g] = _mm256_fmadd_pd(factor, _mm256_loadu_pd(w + i * kWidth + 4 * g), lanes[k][g]);
        }
    }
    for (std::size_t g = 0; g < Groups; ++g) {
        __m256d total = lanes[0][g];
        for (std::size_t k = 1; k < kSets; ++k) total = _mm256_add_pd(total, lanes[k][g]);
        _mm256_storeu_pd(sums + 4 * g, total);
    }
#else
    std::fill(sums, sums + kWidth, 0.0);
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t off = runs[t].off, len = runs[t + 1].off - off;
        const double* const w = x + static_cast<std::size_t>(runs[t].col) * kWidth;
        for (std::size_t i = 0; i < len; ++i)
            for (std::size_t c = 0; c < kWidth; ++c)
                sums[c] = std::fma(static_cast<double>(values[off + i]), w[i * kWidth + c], sums[c]);
    }
    (void)value_count;
#endif
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

// Rows r, r + 1, r + 2 of one structure (same_structure) at once, Groups * 4 columns: each row
// of x is loaded once for the three rows. sums holds the three rows' sums one after another.
template <std::size_t Groups, class Value>
inline void wide_triple(const std::int32_t* row_runs, const Run* runs, std::size_t r, const Value* values,
                        const double* x, double* sums, std::size_t value_count) {
    constexpr std::size_t kWidth = 4 * Groups;
    const std::size_t first = static_cast<std::size_t>(row_runs[r]);
    const std::size_t count = static_cast<std::size_t>(row_runs[r + 1]) - first;
    const std::size_t second = static_cast<std::size_t>(row_runs[r + 1]);
    const std::size_t third = static_cast<std::size_t>(row_runs[r + 2]);
#if defined(__AVX2__) && defined(__FMA__)
    __m256d lanes[3][Groups];
    for (std::size_t k = 0; k < 3; ++k)
        for (std::size_t g = 0; g < Groups; ++g) lanes[k][g] = _mm256_setzero_pd();
    for (std::size_t t = 0; t < count; ++t) {
        const std::size_t off = runs[first + t].off, len = runs[first + t + 1].off - off;
        const Value* const v0 = values + off;
        const Value* const v1 = values + runs[second + t].off;
        const Value* const v2 = values + runs[third + t].off;
        const double* const w = x + static_cast<std::size_t>(runs[first + t].col) * kWidth;
        __builtin_prefetch(values + std::min<std::size_t>(off + kPrefetchBytes / sizeof(Value), value_count));
        for (std::size_t i = 0; i < len; ++i) {
            const __m256d f0 = _mm256_set1_pd(static_cast<double>(v0[i]));
            const __m256d f1 = _mm256_set1_pd(static_cast<double>(v1[i]));
            const __m256d f2 = _mm256_set1_pd(static_cast<double>(v2[i]));
            for (std::size_t g = 0; g < Groups; ++g) {
                const __m256d column = _mm256_loadu_pd(w + i * kWidth + 4 * g);
                lanes[0][g] = _mm256_fmadd_pd(f0, column, lanes[0][g]);
                lanes[1][g] = _mm256_fmadd_pd(f1, column, lanes[1][g]);
                lanes[2][g] = _mm256_fmadd_pd(f2, column, lanes[2][g]);
            }
        }
    }
    for (std::size_t k = 0; k < 3; ++k)
        for (std::size_t g = 0; g < Groups; ++g) _mm256_storeu_pd(sums + k * kWidth + 4 * g, lanes[k][g]);
#else
    const std::size_t starts[3] = {first, second, third};
    std::fill(sums, sums + 3 * kWidth, 0.0);
    for (std::size_t k = 0; k < 3; ++k)
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t off = runs[starts[k] + t].off, len = runs[first + t + 1].off - runs[first + t].off;
            const double* const w = x + static_cast<std::size_t>(runs[first + t].col) * kWidth;
            for (std::size_t i = 0; i < len; ++i)
                for (std::size_t c = 0; c < kWidth; ++c)
                    sums[k * kWidth + c] =
                        std::fma(static_cast<double>(values[off + i]), w[i * kWidth + c], sums[k * kWidth + c]);
        }
    (void)value_count;
#endif
}

// The same for any width up to kMaxWidth.
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
void each_row(const SprMat& mat, std::span<const Value> vals, const double* x, std::size_t width, Out&& out) {
    if (width == 1) {
        product_rows(mat, vals, x, [&](std::size_t r, double s) { out(r, &s, std::size_t{1}); });
        return;
    }
    const std::int32_t* const row_runs = mat.row_runs.data();
    const Run* const runs = mat.runs.data();
    const Value* const values = vals.data();
    const std::size_t value_count = vals.size();
    if (value_count != mat.runs.back().off)
        panic("level product: " + std::to_string(value_count) + " values for a structure of " +
              std::to_string(mat.runs.back().off));
    const auto rows = [&](std::size_t begin, std::size_t end) {
        alignas(32) double sums[3 * kMaxWidth] = {};
        for (std::size_t r = begin; r < end; ++r) {
            if (width % 4 == 0 && r + 3 <= end && same_structure(row_runs, runs, r, r + 1) &&
                same_structure(row_runs, runs, r, r + 2)) {
                switch (width) {
                    case 4:
                        wide_triple<1>(row_runs, runs, r, values, x, sums, value_count);
                        break;
                    case 8:
                        wide_triple<2>(row_runs, runs, r, values, x, sums, value_count);
                        break;
                    case 12:
                        wide_triple<3>(row_runs, runs, r, values, x, sums, value_count);
                        break;
                    default:
                        wide_triple<4>(row_runs, runs, r, values, x, sums, value_count);
                }
                for (std::size_t k = 0; k < 3; ++k) out(r + k, static_cast<const double*>(sums) + k * width, width);
                r += 2;
                continue;
            }
            const std::size_t first = static_cast<std::size_t>(row_runs[r]);
            const std::size_t last = static_cast<std::size_t>(row_runs[r + 1]);
            switch (width) {
                case 4:
                    wide_row<1>(runs, first, last, values, x, sums, value_count);
                    break;
                case 8:
                    wide_row<2>(runs, first, last, values, x, sums, value_count);
                    break;
                case 12:
                    wide_row<3>(runs, first, last, values, x, sums, value_count);
                    break;
                case 16:
                    wide_row<4>(runs, first, last, values, x, sums, value_count);
                    break;
                default:
                    any_wide_row(runs, first, last, values, x, width, sums);
            }
            out(r, static_cast<const double*>(sums), width);
        }
    };
    if (value_count * width < kSerialBelow)
        rows(0, static_cast<std::size_t>(mat.rows));
    else
        parallel_ranges(mat.rows, rows);
}

}  // namespace

void level_mul(const SprMat& mat, std::span<const double> x, std::span<double> y, std::size_t width) {
    check_product(mat, x.size(), y.size(), width);
    each_row(mat, std::span<const double>(mat.vals), x.data(), width,
             [&](std::size_t r, const double* s, std::size_t w) {
                 for (std::size_t c = 0; c < w; ++c) y[r * w + c] = s[c];
             });
}

void level_residual(const SprMat& mat, std::span<const double> x, std::span<const double> rhs,
                    std::span<double> residual, std::size_t width) {
    check_product(mat, x.size(), residual.size(), width);
    check_product(mat, x.size(), rhs.size(), width);
    each_row(mat, std::span<const double>(mat.vals), x.data(), width,
             [&](std::size_t r, const double* s, std::size_t w) {
                 for (std::size_t c = 0; c < w; ++c) residual[r * w + c] = rhs[r * w + c] - s[c];
             });
}

void level_mul(const SprMat& mat, std::span<const float> values, std::span<const double> x, std::span<double> y,
               std::size_t width) {
    check_product(mat, x.size(), y.size(), width);
    each_row(mat, values, x.data(), width, [&](std::size_t r, const double* s, std::size_t w) {
        for (std::size_t c = 0; c < w; ++c) y[r * w + c] = s[c];
    });
}

void level_mul_add(const SprMat& mat, std::span<const float> values, std::span<const double> x, std::span<double> y,
                   std::size_t width) {
    check_product(mat, x.size(), y.size(), width);
    each_row(mat, values, x.data(), width, [&](std::size_t r, const double* s, std::size_t w) {
        for (std::size_t c = 0; c < w; ++c) y[r * w + c] = y[r * w + c] + s[c];
    });
}

void level_residual(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                    std::span<const double> rhs, std::span<double> residual, std::size_t width) {
    check_product(mat, x.size(), residual.size(), width);
    check_product(mat, x.size(), rhs.size(), width);
    each_row(mat, values, x.data(), width, [&](std::size_t r, const double* s, std::size_t w) {
        for (std::size_t c = 0; c < w; ++c) residual[r * w + c] = rhs[r * w + c] - s[c];
    });
}

void level_mul_sub(const SprMat& mat, std::span<const float> values, std::span<const double> x,
                   std::span<double> residual, std::size_t width) {
    check_product(mat, x.size(), residual.size(), width);
    each_row(mat, values, x.data(), width, [&](std::size_t r, const double* s, std::size_t w) {
        for (std::size_t c = 0; c < w; ++c) residual[r * w + c] = residual[r * w + c] - s[c];
    });
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

}  // namespace quarvex
