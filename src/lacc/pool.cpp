// The process-wide worker pool: the calling thread (executor 0) plus T - 1 detached threads
// (executors 1 .. T - 1).
//
// A loop is cut, before it starts, into the leaves of a tree of halvings (cut_depth); the
// first index of every leaf ("piece") lies in `piece_begin`. The pieces are dealt out in T
// consecutive blocks, block e to executor e, so that a loop run again over the same data
// (the solver's vectors) finds each piece's data in the cache of the core that had it last
// time. An executor takes the pieces of its own block in order, then takes over what is
// left in the other blocks. Each block has one atomic ticket, generation << kRemainingBits
// | pieces not yet taken; taking a piece is a compare-and-swap that also checks the
// generation, so a thread that wakes late can never take a piece of a later loop while
// holding a stale view of an earlier one. The caller waits until `finished` counts every
// piece.
//
// Idle threads spin for a short while (the solver runs many small loops back to back),
// then sleep on a futex-backed atomic wait. Partial sums of a reduction are kept per piece
// and combined by the caller along the same tree, lower half + upper half.
#include "lacc/pool.hpp"

#include "base/interrupt.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#endif

namespace quarvex {
namespace {

using RangeBody = FunctionRef<void(std::size_t, std::size_t)>;
using SumBody = FunctionRef<double(std::size_t, std::size_t)>;

// At most this many workers, whatever the processor count or QUARVEX_NUM_THREADS says:
// every worker is a real thread.
constexpr std::size_t kMaxWorkers = 1024;
// How long an idle thread spins before it sleeps.
constexpr std::chrono::microseconds kSpinTime{50};

// Partial sums of pieces lie a cache line apart, as different threads write them.
constexpr std::size_t kSumStride = 8;

constexpr int kRemainingBits = 20;
constexpr std::uint64_t kRemainingMask = (std::uint64_t{1} << kRemainingBits) - 1;
constexpr std::uint64_t kGenerationMask = (std::uint64_t{1} << (64 - kRemainingBits)) - 1;

constexpr std::size_t depth_for(std::size_t workers) {
    return workers <= 1 ? 0 : static_cast<std::size_t>(std::bit_width(workers - 1)) + 2;
}
static_assert((std::uint64_t{1} << depth_for(kMaxWorkers)) <= kRemainingMask, "piece count fits the ticket");

// The pieces dealt to one executor: those before `end` not yet taken. One per cache line.
struct alignas(64) Block {
    std::atomic<std::uint64_t> ticket{0};  // generation << kRemainingBits | pieces left
    std::uint32_t end = 0;                 // one past the block's last piece
};

struct Pool {
    std::size_t workers = 1;      // T, the calling thread included
    std::size_t depth = 0;        // cut_depth(workers)
    bool oversubscribed = false;  // more threads than logical processors: yield instead of spin

    // The loop being run, written by the caller before it publishes the generation.
    const RangeBody* range_body = nullptr;
    const SumBody* sum_body = nullptr;
    std::uint32_t piece_count = 0;
    std::vector<std::size_t> piece_begin;  // piece_count + 1 entries, the last one = count
    std::vector<double> piece_sum;         // partial sum of piece k at k * kSumStride
    std::uint64_t generation = 0;          // of the last loop published; 0 is never a loop

    std::vector<Block> blocks;  // one per executor

    // Each on its own cache line: spinning readers of one must not slow writers of another.
    alignas(64) std::atomic<std::uint64_t> published{0};  // generation of the loop being run
    alignas(64) std::atomic<std::uint32_t> finished{0};   // pieces of the current loop that are done
    alignas(64) std::atomic<std::uint32_t> wake{0};       // bumped per loop; sleeping threads wait on it

    // The first exception of the current loop; once set, pieces not yet begun are skipped.
    std::atomic<bool> failed{false};
    std::mutex failure_lock;
    std::exception_ptr failure;

    // One loop at a time; a loop started by another thread meanwhile runs on its own thread.
    std::mutex submit_lock;
};

// True while this thread runs a piece: a loop started from inside a piece runs inline.
thread_local bool t_inside_piece = false;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Spins until done() holds or kSpinTime has passed; returns whether done() held.
template <class Done>
bool spin_until(const Pool& pool, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
    for (unsigned round = 1;; ++round) {
        if (done()) return true;
        if (pool.oversubscribed) {
            std::this_thread::yield();
        } else {
            cpu_relax();
        }
        if (round % 64 == 0 && std::chrono::steady_clock::now() > deadline) return done();
    }
}

std::uint64_t ticket_generation(std::uint64_t ticket) {
    return ticket >> kRemainingBits;
}

// Takes the next piece of `block` in loop `generation`, if one is left.
bool take_piece(Block& block, std::uint64_t generation, std::uint32_t& piece) {
    std::uint64_t seen = block.ticket.load(std::memory_order_acquire);
    for (;;) {
        if (ticket_generation(seen) != generation) return false;
        const std::uint64_t remaining = seen & kRemainingMask;
        if (remaining == 0) return false;
        if (block.ticket.compare_exchange_weak(seen, seen - 1, std::memory_order_acquire, std::memory_order_acquire)) {
            // The loop cannot end before this piece is done, so its description is stable.
            piece = block.end - static_cast<std::uint32_t>(remaining);
            return true;
        }
    }
}

void record_failure(Pool& pool, std::exception_ptr error) {
    const std::lock_guard<std::mutex> guard(pool.failure_lock);
    if (!pool.failure) pool.failure = std::move(error);
    pool.failed.store(true, std::memory_order_relaxed);
}

void run_piece(Pool& pool, std::uint32_t piece) {
    const std::uint32_t piece_count = pool.piece_count;  // read before the loop may end
    if (!pool.failed.load(std::memory_order_relaxed)) {
        const std::size_t begin = pool.piece_begin[piece];
        const std::size_t end = pool.piece_begin[piece + 1];
        t_inside_piece = true;
        try {
            if (pool.sum_body != nullptr) {
                pool.piece_sum[piece * kSumStride] = (*pool.sum_body)(begin, end);
            } else {
                (*pool.range_body)(begin, end);
            }
        } catch (...) {
            record_failure(pool, std::current_exception());
        }
        t_inside_piece = false;
    }
    // After this increment the caller may return and its loop's objects may be gone.
    if (pool.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == piece_count) {
        pool.finished.notify_all();
    }
}

// Executor `executor` runs its own block, then whatever the other blocks still hold.
void run_pieces(Pool& pool, std::uint64_t generation, std::size_t executor) {
    std::uint32_t piece = 0;
    const std::size_t executors = pool.workers;
    for (std::size_t step = 0; step < executors; ++step) {
        Block& block = pool.blocks[(executor + step) % executors];
        while (take_piece(block, generation, piece)) run_piece(pool, piece);
    }
}

[[noreturn]] void worker_main(Pool& pool, std::size_t executor) {
    std::uint64_t seen = 0;
    for (;;) {
        const auto published = [&] { return pool.published.load(std::memory_order_acquire) != seen; };
        if (!spin_until(pool, published)) {
            for (;;) {
                const std::uint32_t wake = pool.wake.load();
                if (published()) break;
                pool.wake.wait(wake);
            }
        }
        seen = pool.published.load(std::memory_order_acquire);
        run_pieces(pool, seen, executor);
    }
}

// Appends the first index of every leaf of [begin, begin + len) cut `depth` more times.
void cut_pieces(std::vector<std::size_t>& piece_begin, std::size_t begin, std::size_t len, std::size_t depth) {
    if (depth == 0 || len == 1) {
        piece_begin.push_back(begin);
        return;
    }
    const std::size_t lower = len / 2;
    cut_pieces(piece_begin, begin, lower, depth - 1);
    cut_pieces(piece_begin, begin + lower, len - lower, depth - 1);
}

// Combines the partial sums of the leaves of [0, len) along the tree: lower + upper.
double combine_sums(const std::vector<double>& piece_sum, std::size_t& next_piece, std::size_t len, std::size_t depth) {
    if (depth == 0 || len == 1) return piece_sum[kSumStride * next_piece++];
    const std::size_t lower = len / 2;
    const double lower_sum = combine_sums(piece_sum, next_piece, lower, depth - 1);
    const double upper_sum = combine_sums(piece_sum, next_piece, len - lower, depth - 1);
    return lower_sum + upper_sum;
}

// The same tree, run on the calling thread (loops started inside a piece).
double serial_tree_sum(std::size_t begin, std::size_t len, std::size_t depth, const SumBody& body) {
    if (depth == 0 || len == 1) return body(begin, begin + len);
    const std::size_t lower = len / 2;
    const double lower_sum = serial_tree_sum(begin, lower, depth - 1, body);
    const double upper_sum = serial_tree_sum(begin + lower, len - lower, depth - 1, body);
    return lower_sum + upper_sum;
}

// QUARVEX_NUM_THREADS when it is a positive integer, else one per logical processor.
std::size_t requested_workers() {
    const std::size_t logical = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMaxWorkers);
    const char* text = std::getenv("QUARVEX_NUM_THREADS");
    if (text == nullptr) return logical;
    const std::string_view digits(text);
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size() || value == 0) return logical;
    return std::min(value, kMaxWorkers);
}

// Starts the threads. The pool is never destroyed: its threads are detached and block
// forever once the process runs no more loops, so nothing can touch a freed pool at exit.
Pool& start_pool() {
    auto owned = std::make_unique<Pool>();
    Pool& pool = *owned;
    const std::size_t requested = requested_workers();
    pool.oversubscribed = requested > std::max(1u, std::thread::hardware_concurrency());
    const std::size_t max_pieces = std::size_t{1} << cut_depth(requested);
    pool.piece_begin.reserve(max_pieces + 1);
    pool.piece_sum.resize(max_pieces * kSumStride);
    pool.blocks = std::vector<Block>(requested);

#if defined(__unix__) || defined(__APPLE__)
    // Signals stay with the threads that started the pool (the interpreter's thread).
    sigset_t all_signals;
    sigset_t previous;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &previous);
#endif
    std::size_t started = 0;
    try {
        for (; started + 1 < requested; ++started) std::thread(worker_main, std::ref(pool), started + 1).detach();
    } catch (const std::exception&) {
        // The system refused a thread: run with those already started.
    }
#if defined(__unix__) || defined(__APPLE__)
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#endif
    pool.workers = started + 1;
    pool.depth = cut_depth(pool.workers);
    return *owned.release();
}

Pool& the_pool() {
    static Pool& pool = start_pool();
    return pool;
}

// Runs one loop of `count` items over the pieces of the tree; the caller takes pieces too.
void run_loop(Pool& pool, std::size_t count, const RangeBody* range_body, const SumBody* sum_body) {
    pool.range_body = range_body;
    pool.sum_body = sum_body;
    pool.piece_begin.clear();
    cut_pieces(pool.piece_begin, 0, count, pool.depth);
    pool.piece_count = static_cast<std::uint32_t>(pool.piece_begin.size());
    pool.piece_begin.push_back(count);
    pool.failure = nullptr;
    pool.failed.store(false, std::memory_order_relaxed);
    pool.finished.store(0, std::memory_order_relaxed);
    pool.generation = pool.generation % kGenerationMask + 1;

    // Block e holds pieces [ceil(e P / T), ceil((e + 1) P / T)): the caller's block comes
    // first and is never empty.
    const std::uint64_t pieces = pool.piece_count;
    const std::uint64_t executors = pool.workers;
    std::uint64_t block_begin = 0;
    for (std::uint64_t e = 0; e < executors; ++e) {
        const std::uint64_t block_end = ((e + 1) * pieces + executors - 1) / executors;
        pool.blocks[e].end = static_cast<std::uint32_t>(block_end);
        pool.blocks[e].ticket.store(pool.generation << kRemainingBits | (block_end - block_begin),
                                    std::memory_order_relaxed);
        block_begin = block_end;
    }
    pool.published.store(pool.generation);
    pool.wake.fetch_add(1);
    pool.wake.notify_all();

    run_pieces(pool, pool.generation, 0);
    const std::uint32_t piece_count = pool.piece_count;
    const auto all_done = [&] { return pool.finished.load(std::memory_order_acquire) == piece_count; };
    if (!spin_until(pool, all_done)) {
        for (std::uint32_t done = pool.finished.load(std::memory_order_acquire); done != piece_count;
             done = pool.finished.load(std::memory_order_acquire)) {
            pool.finished.wait(done, std::memory_order_acquire);
        }
    }
    pool.range_body = nullptr;
    pool.sum_body = nullptr;
    if (pool.failure) std::rethrow_exception(std::exchange(pool.failure, nullptr));
}

}  // namespace

std::size_t cut_depth(std::size_t workers) {
    return depth_for(workers);
}

std::size_t worker_count() {
    return the_pool().workers;
}

std::size_t chunk_len(std::size_t n) {
    return chunk_len_for(n, worker_count());
}

void parallel_ranges(std::size_t count, RangeBody body) {
    if (count == 0) return;
    Pool& pool = the_pool();
    if (pool.workers == 1 || count == 1 || t_inside_piece) {
        body(0, count);
        return;
    }
    std::unique_lock<std::mutex> submit(pool.submit_lock, std::try_to_lock);
    if (!submit.owns_lock()) {
        body(0, count);
        return;
    }
    run_loop(pool, count, &body, nullptr);
}

void parallel_batches(std::size_t count, std::size_t batch, FunctionRef<void(std::size_t, std::size_t)> body) {
    for (std::size_t first = 0; first < count; first += batch) {
        if (!t_inside_piece) check_interrupt();
        const std::size_t last = std::min(count, first + std::max<std::size_t>(batch, 1));
        parallel_ranges(last - first, [&](std::size_t begin, std::size_t end) { body(first + begin, first + end); });
    }
}

double parallel_sum(std::size_t count, SumBody body) {
    if (count == 0) return 0.0;
    Pool& pool = the_pool();
    if (pool.workers == 1 || count == 1) return body(0, count);
    if (t_inside_piece) return serial_tree_sum(0, count, pool.depth, body);
    std::unique_lock<std::mutex> submit(pool.submit_lock, std::try_to_lock);
    if (!submit.owns_lock()) return serial_tree_sum(0, count, pool.depth, body);
    run_loop(pool, count, nullptr, &body);
    std::size_t next_piece = 0;
    return combine_sums(pool.piece_sum, next_piece, count, pool.depth);
}

double serial_sum(std::size_t count, SumBody body) {
    return count == 0 ? 0.0 : serial_tree_sum(0, count, the_pool().depth, body);
}

}  // namespace quarvex
