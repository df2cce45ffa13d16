// LargePageAllocator: storage for the big arrays a simulation pass walks at
// random. Blocks of 2 MiB and more are aligned to 2 MiB and, on Linux,
// offered to the kernel for transparent huge pages, so random reads over
// tens of megabytes do not also miss the TLB at every step.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace nimbo {

template <class T>
struct LargePageAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  LargePageAllocator() noexcept = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) return std::allocator<T>().allocate(count);
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = std::aligned_alloc(kHugePage, rounded);
    if (memory == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(memory, rounded, MADV_HUGEPAGE);  // a hint: failure changes nothing
#endif
    return static_cast<T*>(memory);
  }

  void deallocate(T* pointer, std::size_t count) noexcept {
    if (count * sizeof(T) < kHugePage) {
      std::allocator<T>().deallocate(pointer, count);
    } else {
      std::free(pointer);
    }
  }

  template <class U>
  bool operator==(const LargePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace nimbo
