// Storage for the large arrays of the matrix and the plot data: elements that start as zero
// bytes without a pass that writes them, because the memory comes zeroed from the kernel
// (calloc clears only memory it reuses). populate_pages maps an array's pages from all workers
// at once, before the loops that fill it, instead of one fault per page inside those loops.
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarvex {

// Arrays under this many bytes are not worth a call that maps their pages.
constexpr std::size_t kPopulateFrom = std::size_t{1} << 20;

// `bytes` zero bytes (at least one), aligned for any scalar; throws std::bad_alloc.
void* allocate_zeroed(std::size_t bytes);
void release_zeroed(void* data, std::size_t bytes) noexcept;

// Maps every whole page of [data, data + bytes) for writing, the pieces spread over the
// workers; pages already mapped stay as they are. Below kPopulateFrom bytes, and where the
// kernel cannot (before Linux 5.14), it does nothing and the pages are mapped as they are first
// written. Throws std::bad_alloc when the system has no memory left for them.
void populate_pages(void* data, std::size_t bytes);

// Element types whose value-initialised state is all zero bytes and which need no destructor:
// doubles, integers and records of them with zero defaults (Run).
template <class T>
struct PageAllocator {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    using value_type = T;

    PageAllocator() = default;
    template <class U>
    PageAllocator(const PageAllocator<U>&) noexcept {}  // NOLINT: rebinding, as allocators do

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_zeroed(n * sizeof(T)));
    }
    void deallocate(T* data, std::size_t n) noexcept { release_zeroed(data, n * sizeof(T)); }

    // Value-initialising an element writes nothing: its storage already holds zero bytes. So a
    // vector that shrinks and then grows back within its capacity shows its old values in the
    // regrown part; fill it, or build a new one, rather than growing it that way.
    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const PageAllocator&, const PageAllocator&) { return true; }
};

template <class T>
using PageVector = std::vector<T, PageAllocator<T>>;

template <class T>
void populate_pages(PageVector<T>& values) {
    populate_pages(values.data(), values.size() * sizeof(T));
}

}  // namespace quarvex
