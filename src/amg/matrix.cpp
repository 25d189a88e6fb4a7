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

void check_product(const SprMat& mat, std::size_t x_size, std::size_t y_size) {
    if (mat.cols != x_size || mat.rows != y_size)
        panic("level product: a " + std::to_string(mat.rows) + " x " + std::to_string(mat.cols) +
              " matrix met vectors of " + std::to_string(x_size) + " and " + std::to_string(y_size) + " entries");
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

}  // namespace

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

void level_mul_add(const SprMat& mat, std::span<const float> values, std::span<const double> x, std::span<double> y) {
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

}  // namespace quarvex
