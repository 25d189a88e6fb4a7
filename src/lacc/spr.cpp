// Run lookup, the row locks in the sign bit of row_runs, the product and the reset of SprMat.
#include "lacc/spr.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

constexpr int kSpinsBeforeYield = 1024;
// The product asks for the values 1024 entries (8 KiB) past the current run, into the core's
// second-level cache (kPrefetchLocality 2): the work per run otherwise keeps one core from
// having enough reads in flight to stream at the memory's rate. On the unit cube at N = 20 and
// 30 this takes a few per cent less time than 3 KiB ahead into the first-level cache.
constexpr std::size_t kPrefetchAhead = 1024;
constexpr int kPrefetchLocality = 2;

// One wait of a spinning thread: a pause that leaves the core's pipeline to a sibling
// hyper-thread, and now and then the processor itself, in case the holder is not running.
inline void spin_wait(int& spins) {
    if (++spins % kSpinsBeforeYield == 0) {
        std::this_thread::yield();
        return;
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// lane_dot of one run, the common run lengths of three unknowns per node (3, 6, 9 and 12
// columns, nine in ten runs of a quadratic mesh) each compiled with its length fixed: the same
// operations, without the loop and the branches on the length.
inline double run_dot(const double* values, const double* x, std::uint32_t length) {
    switch (length) {
        case 3:
            return lane_dot(values, x, 3);
        case 6:
            return lane_dot(values, x, 6);
        case 9:
            return lane_dot(values, x, 9);
        case 12:
            return lane_dot(values, x, 12);
        default:
            return lane_dot(values, x, length);
    }
}

std::atomic_ref<std::int32_t> row_entry(const SprMat& mat, std::size_t r) {
    // Readers of a locked matrix only load through the reference; no reader writes.
    return std::atomic_ref<std::int32_t>(const_cast<std::int32_t&>(mat.row_runs[r]));
}

}  // namespace

std::int32_t row_start(const SprMat& mat, std::size_t r) {
    return std::abs(row_entry(mat, r).load(std::memory_order_relaxed));
}

std::size_t locate(const SprMat& mat, std::size_t r, std::int32_t c) {
    const std::size_t lo = static_cast<std::size_t>(row_start(mat, r));
    const std::size_t hi = static_cast<std::size_t>(row_start(mat, r + 1));
    std::size_t run = lo;  // the last run of the row whose first column is <= c
    while (run + 1 < hi && mat.runs[run + 1].col <= c) ++run;
    return mat.runs[run].off + static_cast<std::size_t>(c - mat.runs[run].col);
}

// Position in vals of entry (r, c), or SIZE_MAX when c is not in row r's structure.
std::size_t find_entry(const SprMat& mat, std::size_t r, std::size_t c) {
    const std::size_t first = static_cast<std::size_t>(mat.row_runs[r]);
    const std::size_t last = static_cast<std::size_t>(mat.row_runs[r + 1]);
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t col = static_cast<std::size_t>(mat.runs[t].col);
        const std::size_t len = mat.runs[t + 1].off - mat.runs[t].off;
        if (c < col) break;
        if (c < col + len) return mat.runs[t].off + (c - col);
    }
    return SIZE_MAX;
}

void add_entries(SprMat& mat, std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                 std::span<const double> values) {
    check_equal(rows.size(), cols.size());
    check_equal(rows.size(), values.size());
    std::vector<std::size_t> positions(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
        check_index(rows[k], mat.rows);
        check_index(cols[k], mat.cols);
        positions[k] = find_entry(mat, rows[k], cols[k]);
        if (positions[k] == SIZE_MAX)
            panic("entry (" + std::to_string(rows[k]) + ", " + std::to_string(cols[k]) +
                  ") is not in the matrix's structure");
        if (!std::isfinite(values[k])) panic("entry " + std::to_string(k) + " to add is not finite");
    }
    for (std::size_t k = 0; k < rows.size(); ++k) mat.vals[positions[k]] += values[k];
}

// Lock: v = |row_runs[r]|, compare-and-swap v -> -v; while another task holds it, spin
// while the entry reads -v. Unlock stores v again.
void lock_row(SprMat& mat, std::size_t r) {
    std::atomic_ref<std::int32_t> entry(mat.row_runs[r]);
    const std::int32_t unlocked = std::abs(entry.load(std::memory_order_relaxed));
    for (;;) {
        std::int32_t expected = unlocked;
        if (entry.compare_exchange_weak(expected, -unlocked, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        int spins = 0;
        while (entry.load(std::memory_order_relaxed) == -unlocked) spin_wait(spins);
    }
}

void unlock_row(SprMat& mat, std::size_t r) {
    std::atomic_ref<std::int32_t> entry(mat.row_runs[r]);
    entry.store(std::abs(entry.load(std::memory_order_relaxed)), std::memory_order_release);
}

// y[r] = sum over the runs t of row r of lane_dot(vals[off_t ..], x[col_t ..]), runs in order,
// s = s + lane_dot(...) from s = 0.0. The loop keeps the arrays' addresses in locals (captured
// by value, so stores to y cannot make it reload them) and carries each run's end offset over
// as the next run's start.
void mul_vec(const SprMat& mat, std::span<const double> x, std::span<double> y) {
    if (mat.cols != x.size() || mat.cols != y.size()) fail_product_lengths();
    const std::int32_t* const row_runs = mat.row_runs.data();
    const Run* const runs = mat.runs.data();
    const double* const vals = mat.vals.data();
    const double* const xs = x.data();
    double* const ys = y.data();
    parallel_ranges(y.size(), [=](std::size_t begin, std::size_t end) {
        std::size_t run = static_cast<std::size_t>(std::abs(row_runs[begin]));
        std::uint32_t off = runs[run].off;
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t row_end = static_cast<std::size_t>(std::abs(row_runs[r + 1]));
            double s = 0.0;
            for (; run < row_end; ++run) {
                const std::uint32_t next = runs[run + 1].off;
                // The address is formed as an integer: it may lie past the values, which a
                // prefetch may name (it never faults) but a pointer may not.
                __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(vals + off) +
                                                                 kPrefetchAhead * sizeof(double)),
                                   0, kPrefetchLocality);
                s = s + run_dot(vals + off, xs + runs[run].col, next - off);
                off = next;
            }
            ys[r] = s;
        }
    });
}

double abs_product_norm(const SprMat& mat, std::span<const double> x) {
    if (mat.cols != x.size() || mat.rows != x.size()) fail_product_lengths();
    const Chunking chunks = chunking(x.size());
    const double largest = max_abs(x);
    if (!(largest > 0.0) || !std::isfinite(largest)) return largest == 0.0 ? 0.0 : largest;
    const double unit = 1.0 / largest;  // squares of scaled sums: no overflow
    const double sum_sq = sum_chunks(chunks, [&](const Chunk& chunk) {
        double part = 0.0;
        for (std::size_t r = chunk.begin; r < chunk.end; ++r) {
            double s = 0.0;
            const std::size_t last = static_cast<std::size_t>(std::abs(mat.row_runs[r + 1]));
            for (std::size_t run = static_cast<std::size_t>(std::abs(mat.row_runs[r])); run < last; ++run) {
                const std::uint32_t begin = mat.runs[run].off, end = mat.runs[run + 1].off;
                const double* const xs = x.data() + mat.runs[run].col;
                for (std::uint32_t k = begin; k < end; ++k)
                    s += std::fabs(mat.vals[k]) * std::fabs(xs[k - begin]) * unit;
            }
            part += s * s;
        }
        return part;
    });
    return std::sqrt(sum_sq) * largest;
}

void zero_values(SprMat& mat) {
    fill_zero(mat.vals);
}

}  // namespace quarvex
