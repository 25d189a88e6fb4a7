#include "lacc/misc.hpp"

#include "lacc/pool.hpp"

namespace quarvex {

std::size_t chunk_len(std::size_t n) { return chunk_len_for(n, worker_count()); }

}  // namespace quarvex
