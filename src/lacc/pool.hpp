// The process-wide worker pool. It is created on first use with one worker per logical
// processor (or QUARVEX_NUM_THREADS, read once) and lives until the process ends.
// A parallel loop hands the pool a range of items [0, count); a task either processes a
// range itself in increasing index order or cuts it at length / 2 into a lower and an
// upper half. The calling thread blocks until every item is done. Workers never touch Python.
// The pool also owns the chunk rule of the element loops and vector kernels: n items are cut
// into chunks of chunk_len(n) consecutive items, chunk k = [k c, min(n, (k + 1) c)).
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace quarvex {

// A non-owning reference to a callable, so that loops pass lambdas without allocating.
template <class Signature>
class FunctionRef;

template <class Result, class... Args>
class FunctionRef<Result(Args...)> {
  public:
    template <class Callable>
        requires(!std::is_same_v<std::remove_cvref_t<Callable>, FunctionRef>)
    FunctionRef(Callable&& callable) noexcept  // NOLINT: implicit by design
        : object_{const_cast<void*>(static_cast<const void*>(&callable))},
          call_{[](void* object, Args... args) -> Result {
              return (*static_cast<std::remove_reference_t<Callable>*>(object))(std::forward<Args>(args)...);
          }} {}

    Result operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

  private:
    void* object_;
    Result (*call_)(void*, Args...);
};

// T, the number of workers (at least 1). The calling thread counts as one of them: it runs
// pieces of its own loops alongside the T - 1 pool threads.
std::size_t worker_count();

// How deep the pool cuts a range when T workers share it: every range is cut at length / 2
// until its pieces lie cut_depth(T) cuts deep or hold a single item. 0 for one worker (the
// whole range is one piece), else ceil(log2 T) + 2, about four pieces per worker. The cuts
// depend only on the range length and T, so reductions are reproducible from run to run.
std::size_t cut_depth(std::size_t workers);

// Runs body(begin, end) over pieces that together cover [0, count) exactly once; the body
// handles its items in increasing order. A C++ exception thrown by any piece is rethrown on
// the calling thread once every piece that had started has finished; pieces not yet begun
// are then skipped. A loop started inside a piece (or while another thread's loop holds the
// pool) runs on its own thread.
void parallel_ranges(std::size_t count, FunctionRef<void(std::size_t, std::size_t)> body);

// parallel_ranges over [0, count) in consecutive batches of `batch` items, with
// check_interrupt() on the calling thread before each batch (not inside a piece): for long
// loops whose items write only their own results, since the batches cut the pieces anew.
void parallel_batches(std::size_t count, std::size_t batch, FunctionRef<void(std::size_t, std::size_t)> body);

// Reduction over [0, count): body(begin, end) returns the sum of its items taken in index
// order from 0.0; a range that was cut returns (lower half) + (upper half). 0.0 when count is 0.
double parallel_sum(std::size_t count, FunctionRef<double(std::size_t, std::size_t)> body);

// The same pieces and the same result as parallel_sum, all run on the calling thread: for
// loops too small to be worth waking the workers.
double serial_sum(std::size_t count, FunctionRef<double(std::size_t, std::size_t)> body);

// One call of item(k) per index, items of a piece in increasing order.
template <class Item>
void parallel_for(std::size_t count, Item&& item) {
    parallel_ranges(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) item(k);
    });
}

// c = floor(n / T) when T <= n, otherwise T; never 0. T = worker_count(). Between T and
// 2T - 1 chunks for n >= T, a single one for 0 < n < T.
std::size_t chunk_len(std::size_t n);

// The same rule for an explicit number of workers (at least 1).
inline std::size_t chunk_len_for(std::size_t n, std::size_t workers) {
    return workers <= n ? n / workers : workers;
}

// Number of chunks of size c covering n items: ceil(n / c).
inline std::size_t chunk_count(std::size_t n, std::size_t c) {
    return (n + c - 1) / c;
}

// How a loop over n items is cut: `count` chunks of `len` items (the last one shorter).
// `on_caller` runs every chunk on the calling thread, in order, with the same chunks and
// the same sums: for loops too small to be worth waking the workers.
struct Chunking {
    std::size_t n = 0;
    std::size_t len = 1;
    std::size_t count = 0;
    bool on_caller = false;
};

// Chunk k of a loop: items [begin, end).
struct Chunk {
    std::size_t index = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The usual rule, chunks of chunk_len(n).
inline Chunking chunking(std::size_t n) {
    const std::size_t len = chunk_len(n);
    return {n, len, chunk_count(n, len), false};
}

// Chunks of an explicit length (at least 1).
inline Chunking chunking_by_len(std::size_t n, std::size_t len) {
    return {n, len, chunk_count(n, len), false};
}

inline Chunk chunk_at(const Chunking& chunks, std::size_t k) {
    return {k, k * chunks.len, std::min(chunks.n, (k + 1) * chunks.len)};
}

// body(chunk) once per chunk.
template <class Body>
void for_each_chunk(const Chunking& chunks, Body&& body) {
    if (chunks.on_caller) {
        for (std::size_t k = 0; k < chunks.count; ++k) body(chunk_at(chunks, k));
        return;
    }
    parallel_for(chunks.count, [&](std::size_t k) { body(chunk_at(chunks, k)); });
}

// body(chunk, scratch) once per chunk, with scratch = make_scratch() made once per chunk:
// buffers and evaluation state that a chunk's items reuse.
template <class MakeScratch, class Body>
void for_each_chunk(const Chunking& chunks, MakeScratch&& make_scratch, Body&& body) {
    for_each_chunk(chunks, [&](const Chunk& chunk) {
        auto scratch = make_scratch();
        body(chunk, scratch);
    });
}

// The sum of part(chunk) over all chunks: within a piece of the pool's cut, chunks are added
// in index order from 0.0, pieces are combined lower + upper (reproducible for fixed T).
template <class Part>
double sum_chunks(const Chunking& chunks, Part&& part) {
    const auto sum_range = [&](std::size_t begin, std::size_t end) {
        double sum = 0.0;
        for (std::size_t k = begin; k < end; ++k) sum = sum + part(chunk_at(chunks, k));
        return sum;
    };
    return chunks.on_caller ? serial_sum(chunks.count, sum_range) : parallel_sum(chunks.count, sum_range);
}

}  // namespace quarvex
