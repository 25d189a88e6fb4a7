#include "lacc/misc.hpp"

#include "lacc/pool.hpp"

namespace quarvex {

std::size_t chunk_len(std::size_t n) {
    const std::size_t workers = worker_count();
    return workers <= n ? n / workers : workers;
}

}  // namespace quarvex
