// The vector kernels of the solver. Each is one chunked parallel loop: the first operand of
// length n is cut into chunks of c = chunk_len(n) entries, chunk k = [k c, min((k + 1) c, n)),
// and chunk k of a second operand (cut with the same c) is paired with it; a loop over two
// vectors runs over as many pairs as the shorter one has chunks.
#include "lacc/lav.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/failure.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// Vectors shorter than this run their chunks on the calling thread, with the same chunks
// and the same sums: waking the workers costs more than the work (on two cores the pool
// starts to pay at about 5000 entries).
constexpr std::size_t kSerialBelow = 4096;

// A sum of squares at least this large lost nothing to underflow that rounding would keep: a
// square below the smallest normal double (2^-1022) lies 2^-122 below it.
constexpr double kSumOfSquaresFloor = 0x1p-900;

// Chunks of a loop whose first operand has first_size entries, paired with the chunks (cut
// with the same length) of a second operand of second_size entries.
Chunking paired_chunks(std::size_t first_size, std::size_t second_size) {
    Chunking chunks = chunking(first_size);
    chunks.count = std::min(chunks.count, chunk_count(second_size, chunks.len));
    chunks.on_caller = first_size < kSerialBelow;
    return chunks;
}

// Number of entries of chunk k of a vector of `size` entries.
std::size_t chunk_size(std::size_t size, const Chunk& chunk) {
    return std::min(chunk.end - chunk.begin, size - chunk.begin);
}

// Runs kernel(y_chunk, x_chunk, m) over the paired chunks of y and x, m the shorter length.
template <class Kernel>
void for_each_pair(std::span<double> y, std::span<const double> x, Kernel kernel) {
    for_each_chunk(paired_chunks(y.size(), x.size()), [&](const Chunk& chunk) {
        const std::size_t m = std::min(chunk_size(y.size(), chunk), chunk_size(x.size(), chunk));
        kernel(y.data() + chunk.begin, x.data() + chunk.begin, m);
    });
}

// The general-factor kernels. Groups of four and a final pair take one fused multiply-add per
// entry; the single trailing entry of an odd-length chunk rounds its product before the add.
void axpy_chunk(double* y, double a, const double* x, std::size_t m) {  // y = a x + y
    const std::size_t fused = m & ~std::size_t{1};
    for (std::size_t i = 0; i < fused; ++i) y[i] = std::fma(a, x[i], y[i]);
    if (fused < m) y[fused] = a * x[fused] + y[fused];
}

void axmy_chunk(double* y, double a, const double* x, std::size_t m) {  // y = y - a x
    const std::size_t fused = m & ~std::size_t{1};
    for (std::size_t i = 0; i < fused; ++i) y[i] = std::fma(-a, x[i], y[i]);
    if (fused < m) y[fused] = y[fused] - a * x[fused];
}

void aypx_chunk(double* y, double a, const double* x, std::size_t m) {  // y = a y + x
    const std::size_t fused = m & ~std::size_t{1};
    for (std::size_t i = 0; i < fused; ++i) y[i] = std::fma(a, y[i], x[i]);
    if (fused < m) y[fused] = a * y[fused] + x[fused];
}

void add_chunk(double* y, const double* x, std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) y[i] = y[i] + x[i];
}

void subtract_chunk(double* y, const double* x, std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) y[i] = y[i] - x[i];
}

void copy_chunk(double* y, const double* x, std::size_t m) {
    std::copy_n(x, m, y);
}

}  // namespace

double dot(std::span<const double> a, std::span<const double> b) {
    check_equal(a.size(), b.size());
    return sum_chunks(paired_chunks(a.size(), b.size()), [&](const Chunk& chunk) {
        return lane_dot(a.data() + chunk.begin, b.data() + chunk.begin, chunk_size(a.size(), chunk));
    });
}

double norm_sq(std::span<const double> a) {
    return sum_chunks(paired_chunks(a.size(), a.size()), [&](const Chunk& chunk) {
        return lane_sumsq(a.data() + chunk.begin, chunk_size(a.size(), chunk));
    });
}

double max_abs(std::span<const double> a) {
    const Chunking chunks = paired_chunks(a.size(), a.size());
    std::vector<double> largest(chunks.count, 0.0);
    for_each_chunk(chunks, [&](const Chunk& chunk) {
        double most = 0.0;
        for (std::size_t i = chunk.begin; i < chunk.begin + chunk_size(a.size(), chunk); ++i) {
            const double magnitude = std::fabs(a[i]);
            if (std::isnan(magnitude)) {
                most = magnitude;
                break;
            }
            most = std::max(most, magnitude);
        }
        largest[chunk.index] = most;
    });
    double most = 0.0;
    for (const double value : largest) {
        if (std::isnan(value)) return value;
        most = std::max(most, value);
    }
    return most;
}

double norm2(std::span<const double> a) {
    const double sum = norm_sq(a);
    if (std::isfinite(sum) && sum >= kSumOfSquaresFloor) return std::sqrt(sum);
    const double largest = max_abs(a);
    if (!(largest > 0.0) || !std::isfinite(largest)) return largest;  // 0, NaN or inf
    // ||a|| = 2^e ||2^-e a|| with 2^-e max |a| in [1, 2) (or, for a subnormal, well above the
    // smallest normal double): no square under- or overflows, and 2^-e is a normal double.
    const int exponent = std::max(std::ilogb(largest), -1000);
    const double scale = std::ldexp(1.0, -exponent);
    const double scaled_sum = sum_chunks(paired_chunks(a.size(), a.size()), [&](const Chunk& chunk) {
        double part = 0.0;
        for (std::size_t i = chunk.begin; i < chunk.begin + chunk_size(a.size(), chunk); ++i) {
            const double value = scale * a[i];
            part = std::fma(value, value, part);
        }
        return part;
    });
    return std::ldexp(std::sqrt(scaled_sum), exponent);
}

void axpy(std::span<double> y, double a, std::span<const double> x) {
    if (a == 0.0) return;
    if (a == 1.0) {
        for_each_pair(y, x, add_chunk);
        return;
    }
    for_each_pair(y, x,
                  [a](double* y_chunk, const double* x_chunk, std::size_t m) { axpy_chunk(y_chunk, a, x_chunk, m); });
}

void axmy(std::span<double> y, double a, std::span<const double> x) {
    if (a == 0.0) return;
    if (a == 1.0) {
        for_each_pair(y, x, subtract_chunk);
        return;
    }
    for_each_pair(y, x,
                  [a](double* y_chunk, const double* x_chunk, std::size_t m) { axmy_chunk(y_chunk, a, x_chunk, m); });
}

void aypx(std::span<double> y, double a, std::span<const double> x) {
    check_equal(y.size(), x.size());
    if (a == 0.0) {
        for_each_pair(y, x, copy_chunk);
    } else if (a == 1.0) {
        for_each_pair(y, x, add_chunk);
    } else {
        for_each_pair(
            y, x, [a](double* y_chunk, const double* x_chunk, std::size_t m) { aypx_chunk(y_chunk, a, x_chunk, m); });
    }
}

void copy_into(std::span<double> y, std::span<const double> x) {
    for_each_pair(y, x, copy_chunk);
}

void sub_into(std::span<double> y, std::span<const double> x) {
    for_each_pair(y, x, subtract_chunk);
}

void scale_by(std::span<double> y, double a) {
    for_each_chunk(paired_chunks(y.size(), y.size()), [&](const Chunk& chunk) {
        for (std::size_t i = chunk.begin; i < chunk.begin + chunk_size(y.size(), chunk); ++i) y[i] = a * y[i];
    });
}

void fill_zero(std::span<double> y) {
    for_each_chunk(paired_chunks(y.size(), y.size()),
                   [&](const Chunk& chunk) { std::fill_n(y.data() + chunk.begin, chunk_size(y.size(), chunk), 0.0); });
}

}  // namespace quarvex
