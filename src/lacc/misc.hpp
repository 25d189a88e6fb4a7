// Chunking of parallel loops: a loop over n items is cut into chunks of chunk_len(n)
// consecutive items, between T and 2T - 1 of them for n >= T, a single one for 0 < n < T.
#pragma once

#include <cstddef>

namespace quarvex {

// c = floor(n / T) when T <= n, otherwise T; never 0. T = worker_count().
std::size_t chunk_len(std::size_t n);

// The same rule for an explicit number of workers (at least 1).
inline std::size_t chunk_len_for(std::size_t n, std::size_t workers) {
    return workers <= n ? n / workers : workers;
}

// Number of chunks of size c covering n items: ceil(n / c).
inline std::size_t chunk_count(std::size_t n, std::size_t c) { return (n + c - 1) / c; }

}  // namespace quarvex
