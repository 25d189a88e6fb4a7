// The vector kernels of the solver. Each is one chunked parallel loop: the first operand of
// length n is cut into chunks of c = chunk_len(n) entries, chunk k = [k c, min((k + 1) c, n)),
// and chunk k of a second operand (cut with the same c) is paired with it; a loop over two
// vectors runs over as many pairs as the shorter one has chunks.
#include "lacc/lav.hpp"

#include <algorithm>
#include <cmath>

#include "base/failure.hpp"
#include "lacc/misc.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// Vectors shorter than this run their chunks on the calling thread, with the same chunks
// and the same sums: waking the workers costs more than the work (on two cores the pool
// starts to pay at about 5000 entries).
constexpr std::size_t kSerialBelow = 4096;

struct Chunks {
    std::size_t len;    // c, from the first operand's length
    std::size_t count;  // chunks of one vector, or pairs of chunks of two
};

Chunks paired_chunks(std::size_t first_size, std::size_t second_size) {
    const std::size_t len = chunk_len(first_size);
    return {len, std::min(chunk_count(first_size, len), chunk_count(second_size, len))};
}

// Number of entries of chunk k of a vector of `size` entries.
std::size_t chunk_size(std::size_t size, Chunks chunks, std::size_t k) {
    return std::min(chunks.len, size - k * chunks.len);
}

// item(k) for every chunk k of a loop over a first operand of n entries.
template <class Item>
void for_each_chunk(std::size_t n, Chunks chunks, Item item) {
    if (n < kSerialBelow) {
        for (std::size_t k = 0; k < chunks.count; ++k) item(k);
    } else {
        parallel_for(chunks.count, item);
    }
}

// The sum over chunks of a loop over a first operand of n entries (lower + upper per cut).
template <class Part>
double sum_chunks(std::size_t n, Chunks chunks, Part part) {
    const auto sum_range = [&](std::size_t begin, std::size_t end) {
        double sum = 0.0;
        for (std::size_t k = begin; k < end; ++k) sum = sum + part(k);
        return sum;
    };
    return n < kSerialBelow ? serial_sum(chunks.count, sum_range) : parallel_sum(chunks.count, sum_range);
}

// Runs kernel(y_chunk, x_chunk, m) over the paired chunks of y and x, m the shorter length.
template <class Kernel>
void for_each_pair(std::span<double> y, std::span<const double> x, Kernel kernel) {
    const Chunks chunks = paired_chunks(y.size(), x.size());
    for_each_chunk(y.size(), chunks, [&](std::size_t k) {
        const std::size_t m = std::min(chunk_size(y.size(), chunks, k), chunk_size(x.size(), chunks, k));
        kernel(y.data() + k * chunks.len, x.data() + k * chunks.len, m);
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

void copy_chunk(double* y, const double* x, std::size_t m) { std::copy_n(x, m, y); }

}  // namespace


double dot(std::span<const double> a, std::span<const double> b) {
    check_equal(a.size(), b.size());
    const Chunks chunks = paired_chunks(a.size(), b.size());
    return sum_chunks(a.size(), chunks, [&](std::size_t k) {
        const std::size_t offset = k * chunks.len;
        return lane_dot(a.data() + offset, b.data() + offset, chunk_size(a.size(), chunks, k));
    });
}

double norm_sq(std::span<const double> a) {
    const Chunks chunks = paired_chunks(a.size(), a.size());
    return sum_chunks(a.size(), chunks, [&](std::size_t k) {
        return lane_sumsq(a.data() + k * chunks.len, chunk_size(a.size(), chunks, k));
    });
}

void axpy(std::span<double> y, double a, std::span<const double> x) {
    if (a == 0.0) return;
    if (a == 1.0) {
        for_each_pair(y, x, add_chunk);
        return;
    }
    for_each_pair(y, x, [a](double* y_chunk, const double* x_chunk, std::size_t m) {
        axpy_chunk(y_chunk, a, x_chunk, m);
    });
}

void axmy(std::span<double> y, double a, std::span<const double> x) {
    if (a == 0.0) return;
    if (a == 1.0) {
        for_each_pair(y, x, subtract_chunk);
        return;
    }
    for_each_pair(y, x, [a](double* y_chunk, const double* x_chunk, std::size_t m) {
        axmy_chunk(y_chunk, a, x_chunk, m);
    });
}

void aypx(std::span<double> y, double a, std::span<const double> x) {
    check_equal(y.size(), x.size());
    if (a == 0.0) {
        for_each_pair(y, x, copy_chunk);
    } else if (a == 1.0) {
        for_each_pair(y, x, add_chunk);
    } else {
        for_each_pair(y, x, [a](double* y_chunk, const double* x_chunk, std::size_t m) {
            aypx_chunk(y_chunk, a, x_chunk, m);
        });
    }
}

void copy_into(std::span<double> y, std::span<const double> x) { for_each_pair(y, x, copy_chunk); }

void sub_into(std::span<double> y, std::span<const double> x) { for_each_pair(y, x, subtract_chunk); }

void fill_zero(std::span<double> y) {
    const Chunks chunks = paired_chunks(y.size(), y.size());
    for_each_chunk(y.size(), chunks, [&](std::size_t k) {
        std::fill_n(y.data() + k * chunks.len, chunk_size(y.size(), chunks, k), 0.0);
    });
}

}  // namespace quarvex
