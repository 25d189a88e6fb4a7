// Zeroed storage and the parallel mapping of its pages; see pages.hpp.
#include "lacc/pages.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "lacc/pool.hpp"

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quarvex {

void* allocate_zeroed(std::size_t bytes) {
    // calloc writes no zeros where the memory is new from the kernel (a large block gets a
    // mapping of its own; a small one may come fresh off the heap's end) and clears reused
    // memory, which is already mapped. Huge pages are not asked for: where freed memory goes
    // back to a hypervisor, the first write to a huge page costs several times what the same
    // memory in small pages does.
    void* data = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (data == nullptr) throw std::bad_alloc();
    return data;
}

void release_zeroed(void* data, std::size_t) noexcept {
    std::free(data);
}

void populate_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    if (bytes < kPopulateFrom) return;
    // One call per piece maps its pages in a batch, about half the cost of one fault per page,
    // and the workers' pieces proceed side by side. Pages already mapped are left as they are.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + page - 1) / page * page;
    const std::uintptr_t last = (begin + bytes) / page * page;
    if (last <= first) return;
    parallel_ranges((last - first) / page, [&](std::size_t first_page, std::size_t end_page) {
        void* const piece = reinterpret_cast<void*>(first + first_page * page);
        if (madvise(piece, (end_page - first_page) * page, MADV_POPULATE_WRITE) != 0 &&
            (errno == ENOMEM || errno == EFAULT))
            throw std::bad_alloc();  // EINVAL: a kernel without the call; the pages come on first write
    });
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace quarvex
