// CSR export of the run-format matrix and the structure stamps; see export.hpp.
#include "model/export.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/failure.hpp"
#include "lacc/pool.hpp"
#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quarvex {
namespace {

// Maps all whole pages of a freshly allocated output buffer in one call (MADV_POPULATE_WRITE,
// Linux 5.14 and later; elsewhere it fails harmlessly): about half the cost of one fault per
// page, which otherwise dominates copying into new memory.
void prefault(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + page - 1) / page * page;
    const std::uintptr_t last = (begin + bytes) / page * page;
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Run t of the matrix covers columns runs[t].col .. + len - 1 at positions runs[t].off .. + len - 1,
// len = runs[t + 1].off - runs[t].off; row r owns runs |row_runs[r]| .. |row_runs[r + 1]| - 1.
template <class Index>
void write_structure(const SprMat& mat, std::span<Index> indptr, std::span<Index> indices) {
    const std::size_t rows = mat.rows;
    check_equal(indptr.size(), rows + 1);
    check_equal(indices.size(), stored_count(mat));
    const std::int32_t* const row_runs = mat.row_runs.data();
    const Run* const runs = mat.runs.data();
    prefault(indices.data(), indices.size_bytes());
    parallel_ranges(rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t first_run = static_cast<std::size_t>(std::abs(row_runs[r]));
            const std::size_t end_run = static_cast<std::size_t>(std::abs(row_runs[r + 1]));
            indptr[r] = static_cast<Index>(runs[first_run].off);
            for (std::size_t t = first_run; t < end_run; ++t) {
                const Run run = runs[t];
                const std::uint32_t len = runs[t + 1].off - run.off;
                Index* out = indices.data() + run.off;
                for (std::uint32_t k = 0; k < len; ++k) out[k] = static_cast<Index>(run.col) + static_cast<Index>(k);
            }
        }
    });
    indptr[rows] = static_cast<Index>(stored_count(mat));
}

std::atomic<std::uint64_t> last_pattern_version{0};

}  // namespace

std::size_t stored_count(const SprMat& mat) {
    return mat.vals.size();
}

void write_csr_structure(const SprMat& mat, std::span<std::int32_t> indptr, std::span<std::int32_t> indices) {
    write_structure(mat, indptr, indices);
}

void write_csr_structure(const SprMat& mat, std::span<std::int64_t> indptr, std::span<std::int64_t> indices) {
    write_structure(mat, indptr, indices);
}

void copy_values(const SprMat& mat, std::span<double> values) {
    check_equal(values.size(), stored_count(mat));
    const double* const source = mat.vals.data();
    double* const target = values.data();
    prefault(target, values.size_bytes());
    parallel_ranges(values.size(), [&](std::size_t begin, std::size_t end) {
        std::memcpy(target + begin, source + begin, (end - begin) * sizeof(double));
    });
}

std::uint64_t next_pattern_version() {
    return last_pattern_version.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace quarvex
