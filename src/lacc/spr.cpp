// Run lookup, the row locks in the sign bit of row_runs, the product and the reset of SprMat.
#include "lacc/spr.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "base/failure.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

constexpr int kSpinsBeforeYield = 1024;
// The product asks for the values 384 entries (3 KiB) past the current run: the work per run
// otherwise keeps one core from having enough reads in flight to stream at the memory's rate.
constexpr std::size_t kPrefetchAhead = 384;

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
// s = s + lane_dot(...) from s = 0.0.
void mul_vec(const SprMat& mat, std::span<const double> x, std::span<double> y) {
    if (mat.cols != x.size() || mat.cols != y.size())
        fail_product_lengths();
    const std::int32_t* const row_runs = mat.row_runs.data();
    const Run* const runs = mat.runs.data();
    const double* const vals = mat.vals.data();
    const double* const xs = x.data();
    const std::size_t value_count = mat.vals.size();
    parallel_ranges(y.size(), [&](std::size_t begin, std::size_t end) {
        std::size_t run = static_cast<std::size_t>(std::abs(row_runs[begin]));
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t row_end = static_cast<std::size_t>(std::abs(row_runs[r + 1]));
            double s = 0.0;
            for (; run < row_end; ++run) {
                const Run here = runs[run];
                __builtin_prefetch(vals + std::min<std::size_t>(here.off + kPrefetchAhead, value_count));
                s = s + lane_dot(vals + here.off, xs + here.col, runs[run + 1].off - here.off);
            }
            y[r] = s;
        }
    });
}

void zero_values(SprMat& mat) { fill_zero(mat.vals); }

}  // namespace quarvex
