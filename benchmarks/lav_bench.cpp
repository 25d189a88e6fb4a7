// Bandwidth of the vector kernels against a plain triad a[i] = b[i] + s c[i] run over the same
// chunks on the same pool, and the latency of an empty parallel loop of two items.
// Run with QUARVEX_NUM_THREADS=1, 2, ... to compare worker counts.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <span>
#include <vector>

#include "lacc/lav.hpp"
#include "lacc/misc.hpp"
#include "lacc/pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLength = 10'000'000;
constexpr int kRepeats = 20;
constexpr int kLatencySamples = 200'000;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// a[i] = b[i] + s c[i] with a separately rounded product, chunked like the kernels.
void triad(std::span<double> a, std::span<const double> b, std::span<const double> c, double s) {
    const std::size_t len = quarvex::chunk_len(a.size());
    quarvex::parallel_for(quarvex::chunk_count(a.size(), len), [&](std::size_t k) {
        const std::size_t end = std::min(a.size(), (k + 1) * len);
        for (std::size_t i = k * len; i < end; ++i) a[i] = b[i] + s * c[i];
    });
}

void fill(std::span<double> v, double start, double step) {
    quarvex::parallel_for(v.size(), [&](std::size_t i) { v[i] = start + step * static_cast<double>(i % 1000); });
}

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double percentile(std::vector<double> samples, double fraction) {
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

}  // namespace

int main() {
    std::vector<double> a(kLength), b(kLength), c(kLength);
    fill(a, 1.0, 1e-3);
    fill(b, 0.5, 2e-3);
    fill(c, 0.25, 3e-3);

    // Best time of kRepeats per kernel, the kernels interleaved so that all see the same machine.
    double best_triad = 1e30, best_norm = 1e30, best_dot = 1e30, best_axpy = 1e30;
    double sink = 0.0;
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
        auto start = Clock::now();
        triad(a, b, c, 0.5);
        best_triad = std::min(best_triad, seconds_since(start));

        start = Clock::now();
        sink += quarvex::norm_sq(b);
        best_norm = std::min(best_norm, seconds_since(start));

        start = Clock::now();
        sink += quarvex::dot(b, c);
        best_dot = std::min(best_dot, seconds_since(start));

        start = Clock::now();
        quarvex::axpy(a, 1e-3, c);
        best_axpy = std::min(best_axpy, seconds_since(start));
    }

    const double gigabytes = static_cast<double>(kLength) * sizeof(double) / 1e9;
    const double triad_rate = 3 * gigabytes / best_triad;
    std::printf("workers T = %zu, vectors of %zu doubles, best of %d runs\n", quarvex::worker_count(), kLength,
                kRepeats);
    std::printf("%-8s %12s %8s %12s %8s\n", "kernel", "bytes/entry", "GB/s", "triad GB/s", "ratio");
    const struct {
        const char* name;
        int streams;
        double seconds;
    } rows[] = {{"triad", 3, best_triad}, {"norm_sq", 1, best_norm}, {"dot", 2, best_dot}, {"axpy", 3, best_axpy}};
    for (const auto& row : rows) {
        const double rate = row.streams * gigabytes / row.seconds;
        std::printf("%-8s %12d %8.2f %12.2f %8.2f\n", row.name, row.streams * 8, rate, triad_rate,
                    rate / triad_rate);
    }

    // Latency of an empty loop of two items, one sample per loop.
    std::vector<double> samples(kLatencySamples);
    for (int warm = 0; warm < 10'000; ++warm) quarvex::parallel_for(2, [](std::size_t) {});
    for (double& sample : samples) {
        const auto start = Clock::now();
        quarvex::parallel_for(2, [](std::size_t) {});
        sample = seconds_since(start) * 1e6;
    }
    std::printf("\nempty parallel loop of 2 items, %d samples (us)\n", kLatencySamples);
    std::printf("%-8s %8s %8s %8s\n", "", "median", "p90", "p99");
    std::printf("%-8s %8.3f %8.3f %8.3f\n", "latency", median(samples), percentile(samples, 0.9),
                percentile(samples, 0.99));
    std::printf("\n(checksum %g)\n", sink);
    return 0;
}
