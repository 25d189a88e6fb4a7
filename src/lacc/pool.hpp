// The process-wide worker pool. It is created on first use with one worker per logical
// processor (or QUARVEX_NUM_THREADS, read once) and lives until the process ends.
// A parallel loop hands the pool a range of items [0, count); a task either processes a
// range itself in increasing index order or cuts it at length / 2 into a lower and an
// upper half. The calling thread blocks until every item is done. Workers never touch Python.
#pragma once

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

}  // namespace quarvex
