// Zeroed storage from the kernel and the parallel mapping of its pages; see pages.hpp.
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
namespace {

#ifdef __linux__
std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t whole_pages(std::size_t bytes) { return (bytes + page_size() - 1) / page_size() * page_size(); }
#endif

}  // namespace

void* allocate_zeroed(std::size_t bytes) {
#ifdef __linux__
    if (bytes >= kOwnPagesFrom) {
        // Huge pages are not asked for: where freed memory goes back to a hypervisor, the first
        // write to a huge page costs several times what the same memory in small pages does.
        void* data = mmap(nullptr, whole_pages(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED) throw std::bad_alloc();
        return data;
    }
#endif
    void* data = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (data == nullptr) throw std::bad_alloc();
    return data;
}

void release_zeroed(void* data, std::size_t bytes) noexcept {
    if (data == nullptr) return;
#ifdef __linux__
    if (bytes >= kOwnPagesFrom) {
        munmap(data, whole_pages(bytes));
        return;
    }
#endif
    std::free(data);
}

void populate_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    if (bytes < kOwnPagesFrom) return;
    // One call per piece maps its pages in a batch, about half the cost of one fault per page,
    // and the workers' pieces proceed side by side.
    char* const first = static_cast<char*>(data);
    const std::size_t pages = whole_pages(bytes) / page_size();
    parallel_ranges(pages, [&](std::size_t begin, std::size_t end) {
        if (madvise(first + begin * page_size(), (end - begin) * page_size(), MADV_POPULATE_WRITE) != 0 &&
            (errno == ENOMEM || errno == EFAULT))
            throw std::bad_alloc();  // EINVAL: a kernel without the call; the pages come on first write
    });
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace quarvex
