// Per-column kernels on interleaved blocks of vectors.
#include "amg/columns.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// Blocks with fewer entries run on the calling thread.
constexpr std::size_t kSerialBelow = 16384;
// The widest block (that of the level products, amg/matrix.hpp).
constexpr std::size_t kMaxColumns = 16;

void check_block(std::size_t size, std::size_t other, std::size_t width) {
    if (width == 0 || width > kMaxColumns || size % width != 0 || other != size)
        panic("column kernel: blocks of " + std::to_string(size) + " and " + std::to_string(other) + " entries in " +
              std::to_string(width) + " columns");
}

// body(first_row, end_row) over chunks of rows, in parallel for large blocks.
template <class Body>
void for_row_chunks(const Chunking& chunks, std::size_t entries, Body&& body) {
    const auto run = [&](const Chunk& chunk) { body(chunk.begin, chunk.end); };
    if (entries < kSerialBelow) {
        for (std::size_t k = 0; k < chunks.count; ++k) run(chunk_at(chunks, k));
        return;
    }
    for_each_chunk(chunks, run);
}

// y(i, c) = entry(y(i, c), factor[c], x(i, c)) for every entry, the factors held in registers.
template <class Entry>
void each_entry(std::span<double> y, std::span<const double> factor, std::span<const double> x, std::size_t width,
                Entry&& entry) {
    const std::size_t rows = y.size() / width;
    with_width(width, [&](auto w) {
        double f[kMaxColumns] = {};
        std::copy(factor.begin(), factor.begin() + static_cast<std::ptrdiff_t>(width), f);
        for_row_chunks(chunking(rows), y.size(), [&](std::size_t begin, std::size_t end) {
            double* const py = y.data();
            const double* const px = x.data();  // may be y itself
            for (std::size_t i = begin; i < end; ++i)
                for (std::size_t c = 0; c < w; ++c) py[i * w + c] = entry(py[i * w + c], f[c], px[i * w + c]);
        });
    });
}

// body(w) as with_width, a single column included (the smoothing kernels have no vector twin).
template <class Body>
void with_any_width(std::size_t width, Body&& body) {
    if (width == 1) return body(std::integral_constant<std::size_t, 1>{});
    with_width(width, body);
}

// out[c] = sums over the rows of term(i * w + c, c) for every column, `terms` of them per entry,
// formed per chunk of rows and added in chunk order (the same from run to run).
template <std::size_t Terms, class Term>
void chunk_sums(std::size_t rows, std::size_t width, std::array<std::span<double>, Terms> out, Term&& term) {
    const Chunking chunks = chunking(rows);
    std::vector<double> partial(chunks.count * width * Terms, 0.0);
    with_any_width(width, [&](auto w) {
        for_row_chunks(chunks, rows * width, [&](std::size_t begin, std::size_t end) {
            double sums[Terms][kMaxColumns] = {};
            for (std::size_t i = begin; i < end; ++i)
                for (std::size_t c = 0; c < w; ++c) term(i * w + c, c, sums);
            double* const into = partial.data() + (begin / chunks.len) * w * Terms;
            for (std::size_t t = 0; t < Terms; ++t) std::copy(sums[t], sums[t] + w, into + t * w);
        });
    });
    for (std::size_t t = 0; t < Terms; ++t) {
        std::fill(out[t].begin(), out[t].end(), 0.0);
        for (std::size_t k = 0; k < chunks.count; ++k)
            for (std::size_t c = 0; c < width; ++c) out[t][c] += partial[(k * Terms + t) * width + c];
    }
}

}  // namespace

void column_smoothing_sums(std::span<const double> s, std::span<const double> r, std::size_t width,
                           std::span<double> s_dot_d, std::span<double> d_sq) {
    check_block(s.size(), r.size(), width);
    if (s_dot_d.size() != width || d_sq.size() != width)
        panic("column kernel: " + std::to_string(d_sq.size()) + " sums for " + std::to_string(width) + " columns");
    const double* __restrict const ps = s.data();
    const double* __restrict const pr = r.data();
    chunk_sums<2>(s.size() / width, width, {s_dot_d, d_sq}, [&](std::size_t k, std::size_t c, auto& sums) {
        const double d = pr[k] - ps[k];
        sums[0][c] += ps[k] * d;
        sums[1][c] += d * d;
    });
}

void column_smooth(std::span<double> y, std::span<const double> x, std::span<double> s, std::span<const double> r,
                   std::span<const double> eta, std::size_t width, std::span<double> s_sq) {
    check_block(y.size(), x.size(), width);
    check_block(s.size(), r.size(), width);
    check_block(y.size(), s.size(), width);
    if (eta.size() != width || s_sq.size() != width)
        panic("column kernel: " + std::to_string(eta.size()) + " factors for " + std::to_string(width) + " columns");
    double f[kMaxColumns] = {};
    std::copy(eta.begin(), eta.end(), f);
    double* __restrict const py = y.data();
    const double* __restrict const px = x.data();
    double* __restrict const ps = s.data();
    const double* __restrict const pr = r.data();
    chunk_sums<1>(y.size() / width, width, {s_sq}, [&](std::size_t k, std::size_t c, auto& sums) {
        py[k] += f[c] * (px[k] - py[k]);
        ps[k] += f[c] * (pr[k] - ps[k]);
        sums[0][c] += ps[k] * ps[k];
    });
}

void column_dots(std::span<const double> a, std::span<const double> b, std::size_t width, std::span<double> out) {
    check_block(a.size(), b.size(), width);
    if (out.size() != width)
        panic("column kernel: " + std::to_string(out.size()) + " sums for " + std::to_string(width) + " columns");
    if (width == 1) {
        out[0] = dot(a, b);
        return;
    }
    const std::size_t rows = a.size() / width;
    const Chunking chunks = chunking(rows);
    std::vector<double> partial(chunks.count * width, 0.0);
    with_width(width, [&](auto w) {
        for_row_chunks(chunks, a.size(), [&](std::size_t begin, std::size_t end) {
            double sums[kMaxColumns] = {};
            const double* __restrict const pa = a.data();
            const double* __restrict const pb = b.data();
            for (std::size_t i = begin; i < end; ++i)
                for (std::size_t c = 0; c < w; ++c) sums[c] += pa[i * w + c] * pb[i * w + c];
            std::copy(sums, sums + w, partial.data() + (begin / chunks.len) * w);
        });
    });
    std::fill(out.begin(), out.end(), 0.0);
    for (std::size_t k = 0; k < chunks.count; ++k)
        for (std::size_t c = 0; c < width; ++c) out[c] += partial[k * width + c];
}

void column_norms(std::span<const double> a, std::size_t width, std::span<double> out) {
    if (width == 1 && out.size() == 1) {
        check_block(a.size(), a.size(), width);
        out[0] = norm2(a);
        return;
    }
    column_dots(a, a, width, out);
    for (double& value : out) value = std::sqrt(value);
}

void column_axpy(std::span<double> y, std::span<const double> factor, std::span<const double> x, std::size_t width) {
    check_block(y.size(), x.size(), width);
    if (width == 1) return axpy(y, factor[0], x);
    each_entry(y, factor, x, width, [](double yv, double f, double xv) { return yv + f * xv; });
}

void column_axmy(std::span<double> y, std::span<const double> factor, std::span<const double> x, std::size_t width) {
    check_block(y.size(), x.size(), width);
    if (width == 1) return axmy(y, factor[0], x);
    each_entry(y, factor, x, width, [](double yv, double f, double xv) { return yv - f * xv; });
}

void column_aypx(std::span<double> y, std::span<const double> factor, std::span<const double> x, std::size_t width) {
    check_block(y.size(), x.size(), width);
    if (width == 1) return factor[0] == 0.0 ? copy_into(y, x) : aypx(y, factor[0], x);
    each_entry(y, factor, x, width, [](double yv, double f, double xv) { return f == 0.0 ? xv : xv + f * yv; });
}

void column_scale(std::span<double> y, std::span<const double> factor, std::size_t width) {
    check_block(y.size(), y.size(), width);
    if (width == 1) return scale_by(y, factor[0]);
    each_entry(y, factor, y, width, [](double yv, double f, double) { return f * yv; });
}

void copy_column_out(std::span<const double> block, std::size_t width, std::size_t c, std::span<double> column) {
    check_block(block.size(), column.size() * width, width);
    for (std::size_t i = 0; i < column.size(); ++i) column[i] = block[i * width + c];
}

void copy_column_in(std::span<const double> column, std::size_t width, std::size_t c, std::span<double> block) {
    check_block(block.size(), column.size() * width, width);
    for (std::size_t i = 0; i < column.size(); ++i) block[i * width + c] = column[i];
}

}  // namespace quarvex
