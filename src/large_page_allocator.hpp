#pragma once
// An allocator for big arrays read in random order. Blocks of 2 MiB and more
// are aligned to 2 MiB and offered to the kernel as transparent huge pages, so
// a gather over them misses the TLB far less often and a fresh block takes
// one page fault per 2 MiB instead of one per 4 KiB. Smaller blocks come from
// the ordinary heap.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zun {

inline constexpr std::size_t large_page_bytes = std::size_t{2} << 20;

template <class T>
class LargePageAllocator {
public:
    using value_type = T;

    LargePageAllocator() = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) {}

    T* allocate(std::size_t count) {
        if (count > max_count()) {
            throw std::bad_array_new_length();
        }
        const std::size_t bytes = count * sizeof(T);
        if (bytes < large_page_bytes) {
            return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
        }
        const std::size_t rounded = rounded_up(bytes);
        void* block = std::aligned_alloc(large_page_bytes, rounded);
        if (block == nullptr) {
            throw std::bad_alloc();
        }
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Only advice: without huge pages the block works the same, slower.
        madvise(block, rounded, MADV_HUGEPAGE);
#endif
        return static_cast<T*>(block);
    }

    void deallocate(T* block, std::size_t count) noexcept {
        if (count * sizeof(T) < large_page_bytes) {
            ::operator delete(block, std::align_val_t{alignof(T)});
        } else {
            std::free(block);
        }
    }

    template <class U>
    bool operator==(const LargePageAllocator<U>&) const {
        return true;
    }

private:
    static constexpr std::size_t max_count() { return (static_cast<std::size_t>(-1) - large_page_bytes) / sizeof(T); }
    static std::size_t rounded_up(std::size_t bytes) {
        return (bytes + large_page_bytes - 1) / large_page_bytes * large_page_bytes;
    }
};

template <class T>
using LargeVector = std::vector<T, LargePageAllocator<T>>;

}  // namespace zun
