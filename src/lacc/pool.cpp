// Placeholder pool: runs every loop on the calling thread. Replaced by the threaded pool.
#include "lacc/pool.hpp"

namespace quarvex {

std::size_t worker_count() { return 1; }

void parallel_ranges(std::size_t count, FunctionRef<void(std::size_t, std::size_t)> body) {
    if (count > 0) body(0, count);
}

double parallel_sum(std::size_t count, FunctionRef<double(std::size_t, std::size_t)> body) {
    return count > 0 ? body(0, count) : 0.0;
}

}  // namespace quarvex
