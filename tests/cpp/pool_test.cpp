// The worker pool: pieces tile a loop along the tree of cuts, reductions combine lower + upper,
// failures come back to the caller after the started pieces end, nested and concurrent loops
// finish. The PoolAnyWorkers and LavAnyWorkers suites hold for any worker count; PoolWorkerCounts
// reruns them in child processes with QUARVEX_NUM_THREADS set, since the pool reads it once.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/failure.hpp"
#include "lacc/pool.hpp"

extern char** environ;

namespace quarvex {
namespace {

using Piece = std::pair<std::size_t, std::size_t>;

// The leaves of [begin, begin + len) cut at len / 2, `depth` times or down to single items.
void reference_pieces(std::size_t begin, std::size_t len, std::size_t depth, std::vector<Piece>& pieces) {
    if (depth == 0 || len == 1) {
        pieces.emplace_back(begin, begin + len);
        return;
    }
    reference_pieces(begin, len / 2, depth - 1, pieces);
    reference_pieces(begin + len / 2, len - len / 2, depth - 1, pieces);
}

double sequential_sum(const std::vector<double>& values, std::size_t begin, std::size_t end) {
    double sum = 0.0;
    for (std::size_t k = begin; k < end; ++k) sum = sum + values[k];
    return sum;
}

// Values of wildly different magnitudes and signs, so that every grouping of the sum differs.
std::vector<double> scattered_values(std::size_t count, unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<double> values(count);
    for (double& value : values) value = std::ldexp(mantissa(random), exponent(random));
    return values;
}

double pool_sum(const std::vector<double>& values) {
    return parallel_sum(values.size(),
                        [&](std::size_t begin, std::size_t end) { return sequential_sum(values, begin, end); });
}

constexpr std::size_t kCounts[] = {1, 2, 3, 5, 8, 13, 64, 1000, 100003};

TEST(PoolAnyWorkers, WorkerCountMatchesRequest) {
    EXPECT_GE(worker_count(), 1u);
    if (const char* expected = std::getenv("QUARVEX_TEST_EXPECTED_WORKERS")) {
        EXPECT_EQ(worker_count(), std::stoul(expected));
    }
}

TEST(PoolAnyWorkers, PiecesAreTheLeavesOfTheCutTree) {
    for (const std::size_t count : kCounts) {
        std::mutex lock;
        std::vector<Piece> seen;
        parallel_ranges(count, [&](std::size_t begin, std::size_t end) {
            const std::lock_guard<std::mutex> guard(lock);
            seen.emplace_back(begin, end);
        });
        std::sort(seen.begin(), seen.end());
        std::vector<Piece> expected;
        reference_pieces(0, count, cut_depth(worker_count()), expected);
        EXPECT_EQ(seen, expected) << "count " << count;
    }
}

TEST(PoolAnyWorkers, ParallelForVisitsEveryIndexOnce) {
    for (const std::size_t count : kCounts) {
        std::vector<std::atomic<int>> visits(count);
        parallel_for(count, [&](std::size_t k) { visits[k].fetch_add(1); });
        const auto once = std::count_if(visits.begin(), visits.end(), [](const auto& v) { return v.load() == 1; });
        EXPECT_EQ(static_cast<std::size_t>(once), count) << "count " << count;
    }
}

TEST(PoolAnyWorkers, EmptyLoopsCallNothing) {
    bool called = false;
    parallel_ranges(0, [&](std::size_t, std::size_t) { called = true; });
    const double sum = parallel_sum(0, [&](std::size_t, std::size_t) {
        called = true;
        return 1.0;
    });
    EXPECT_FALSE(called);
    EXPECT_EQ(sum, 0.0);
    EXPECT_FALSE(std::signbit(sum));
}

TEST(PoolAnyWorkers, SumCombinesLowerPlusUpperAlongTheCuts) {
    bool grouping_matters = false;
    for (const std::size_t count : kCounts) {
        const std::vector<double> values = scattered_values(count, static_cast<unsigned>(count));
        const double expected = test_support::reference_tree_sum(values, 0, count, cut_depth(worker_count()));
        EXPECT_EQ(pool_sum(values), expected) << "count " << count;
        EXPECT_EQ(serial_sum(values.size(),
                             [&](std::size_t begin, std::size_t end) { return sequential_sum(values, begin, end); }),
                  expected)
            << "count " << count << ", on the calling thread";
        EXPECT_EQ(pool_sum(values), pool_sum(values)) << "count " << count << ": not reproducible";
        if (expected != sequential_sum(values, 0, count)) grouping_matters = true;
    }
    // With one worker the whole range is one piece: the plain sum in index order.
    if (worker_count() == 1) {
        const std::vector<double> values = scattered_values(100003, 7);
        EXPECT_EQ(pool_sum(values), sequential_sum(values, 0, values.size()));
    } else {
        EXPECT_TRUE(grouping_matters) << "the data cannot tell a tree sum from a sequential one";
    }
}

TEST(PoolAnyWorkers, FailureArrivesAfterStartedPiecesEnd) {
    constexpr std::size_t kCount = 64;
    std::vector<std::atomic<bool>> started(kCount), finished(kCount);
    std::atomic<int> others_started{0};
    std::string text;
    try {
        parallel_ranges(kCount, [&](std::size_t begin, std::size_t) {
            started[begin] = true;
            if (begin == 0) {
                // Fail only once some other piece is under way (it has a worker to run on).
                const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (worker_count() > 1 && others_started == 0 && std::chrono::steady_clock::now() < give_up) {
                    std::this_thread::yield();
                }
                panic("piece zero failed");
            }
            others_started.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            finished[begin] = true;
        });
    } catch (const Panic& failure) {
        text = failure.text;
    }
    EXPECT_EQ(text, "piece zero failed");
    if (worker_count() > 1) {
        EXPECT_GT(others_started.load(), 0);
    }
    for (std::size_t begin = 1; begin < kCount; ++begin) {
        if (started[begin]) {
            EXPECT_TRUE(finished[begin]) << "piece at " << begin << " still running";
        }
    }
}

TEST(PoolAnyWorkers, FailuresKeepTheirTypeAndThePoolRecovers) {
    const std::size_t last = 999;
    EXPECT_THROW(parallel_for(1000,
                              [&](std::size_t k) {
                                  if (k == last) throw std::bad_alloc();
                              }),
                 std::bad_alloc);
    try {
        parallel_sum(1000, [&](std::size_t begin, std::size_t end) -> double {
            if (begin <= 500 && 500 < end) throw std::runtime_error("item 500");
            return 1.0;
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "item 500");
    }
    const std::vector<double> values = scattered_values(5000, 3);
    EXPECT_EQ(pool_sum(values), test_support::reference_tree_sum(values, 0, values.size(), cut_depth(worker_count())));
}

TEST(PoolAnyWorkers, NestedLoopsRunInlineWithTheSameCuts) {
    const std::vector<double> values = scattered_values(4096, 11);
    const double top_level = pool_sum(values);
    std::vector<double> inner(16);
    std::vector<std::atomic<int>> visits(16 * 100);
    parallel_for(inner.size(), [&](std::size_t i) {
        inner[i] = pool_sum(values);
        parallel_for(100, [&](std::size_t k) { visits[i * 100 + k].fetch_add(1); });
    });
    for (const double sum : inner) EXPECT_EQ(sum, top_level);
    for (const auto& count : visits) EXPECT_EQ(count.load(), 1);
}

TEST(PoolAnyWorkers, LoopsFromSeveralThreadsAtOnce) {
    const std::vector<double> values = scattered_values(20000, 5);
    const double expected = test_support::reference_tree_sum(values, 0, values.size(), cut_depth(worker_count()));
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                if (pool_sum(values) != expected) wrong.fetch_add(1);
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Pool, CutDepthGivesAboutFourPiecesPerWorker) {
    const std::pair<std::size_t, std::size_t> table[] = {{1, 0}, {2, 3}, {3, 4}, {4, 4}, {5, 5}, {8, 5}, {9, 6}};
    for (const auto& [workers, depth] : table) EXPECT_EQ(cut_depth(workers), depth) << workers << " workers";
}

// Runs this binary again with the given environment changes and test filter; the exit status.
int run_child(const std::vector<std::pair<std::string, const char*>>& settings, const std::string& filter) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const bool replaced = std::any_of(settings.begin(), settings.end(),
                                          [&](const auto& setting) { return text.starts_with(setting.first + "="); });
        if (!replaced) environment.push_back(text);
    }
    for (const auto& [name, value] : settings) {
        if (value != nullptr) environment.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string filter_flag = "--gtest_filter=" + filter;
    std::string brief_flag = "--gtest_brief=1";
    char* argv[] = {program.data(), filter_flag.data(), brief_flag.data(), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(PoolWorkerCounts, LoopTestsPassUnderEachWorkerCount) {
    for (const char* workers : {"1", "2", "3", "4", "8"}) {
        EXPECT_EQ(run_child({{"QUARVEX_NUM_THREADS", workers}, {"QUARVEX_TEST_EXPECTED_WORKERS", workers}},
                            "PoolAnyWorkers.*:LavAnyWorkers.*"),
                  0)
            << "QUARVEX_NUM_THREADS=" << workers;
    }
}

TEST(PoolWorkerCounts, UnusableSettingsGiveOneWorkerPerProcessor) {
    const std::string per_processor = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
    const std::pair<const char*, std::string> table[] = {
        {nullptr, per_processor}, {"", per_processor},    {"0", per_processor},
        {"-3", per_processor},    {"abc", per_processor}, {"4x", per_processor},
        {" 2", per_processor},    {"2000", "1024"},       {"99999999999999999999999", per_processor}};
    for (const auto& [setting, expected] : table) {
        EXPECT_EQ(run_child({{"QUARVEX_NUM_THREADS", setting}, {"QUARVEX_TEST_EXPECTED_WORKERS", expected.c_str()}},
                            "PoolAnyWorkers.WorkerCountMatchesRequest"),
                  0)
            << "QUARVEX_NUM_THREADS=" << (setting != nullptr ? setting : "<unset>");
    }
}

}  // namespace
}  // namespace quarvex
