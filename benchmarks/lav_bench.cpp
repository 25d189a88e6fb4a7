// Bandwidth of the vector kernels against a plain triad a[i] = b[i] + s c[i] run over the same
// chunks on the same pool, and the latency of an empty parallel loop of two items.
// Run with QUARVEX_NUM_THREADS=1, 2, ... to compare worker counts.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <span>
#include <utility>
#include <vector>

#include "lacc/lav.hpp"
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

// One step of the solver's vector work, pooled: dot, axpy, axmy, norm_sq, aypx.
double pooled_step(std::vector<double>& p, const std::vector<double>& t, std::vector<double>& r,
                   std::vector<double>& x) {
    const double curvature = quarvex::dot(p, t);
    quarvex::axpy(x, 0.5, p);
    quarvex::axmy(r, 0.5, t);
    const double residual = quarvex::norm_sq(r);
    quarvex::aypx(p, 0.25, r);
    return curvature + residual;
}

// The same arithmetic on the calling thread alone.
double serial_step(std::vector<double>& p, const std::vector<double>& t, std::vector<double>& r,
                   std::vector<double>& x) {
    const std::size_t n = p.size();
    const double curvature = quarvex::lane_dot(p.data(), t.data(), n);
    for (std::size_t i = 0; i < n; ++i) x[i] = std::fma(0.5, p[i], x[i]);
    for (std::size_t i = 0; i < n; ++i) r[i] = std::fma(-0.5, t[i], r[i]);
    const double residual = quarvex::lane_sumsq(r.data(), n);
    for (std::size_t i = 0; i < n; ++i) p[i] = std::fma(0.25, p[i], r[i]);
    return curvature + residual;
}

// Median microseconds per step over `steps` steps.
template <class Step>
double step_time(std::size_t n, int steps, Step step, double& sink) {
    std::vector<double> p(n, 1.0), t(n, 0.5), r(n, 2.0), x(n, 0.0);
    std::vector<double> samples(static_cast<std::size_t>(steps));
    for (double& sample : samples) {
        const auto start = Clock::now();
        sink += step(p, t, r, x);
        sample = seconds_since(start) * 1e6;
    }
    return median(samples);
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
        std::printf("%-8s %12d %8.2f %12.2f %8.2f\n", row.name, row.streams * 8, rate, triad_rate, rate / triad_rate);
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

    // Five kernels in a row, as in one solver iteration: what the pool costs or gains.
    std::printf("\nsolver step (dot, axpy, axmy, norm_sq, aypx), median us per step\n");
    std::printf("%-10s %10s %10s %10s\n", "n", "pooled", "serial", "speedup");
    for (const auto& [n, steps] : {std::pair<std::size_t, int>{1'000, 20'000},
                                   {4'000, 5'000},
                                   {8'000, 5'000},
                                   {16'000, 3'000},
                                   {30'000, 2'000},
                                   {1'000'000, 100}}) {
        const double pooled = step_time(n, steps, pooled_step, sink);
        const double serial = step_time(n, steps, serial_step, sink);
        std::printf("%-10zu %10.2f %10.2f %10.2f\n", n, pooled, serial, serial / pooled);
    }
    std::printf("\n(checksum %g)\n", sink);
    return 0;
}
