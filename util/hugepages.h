#ifndef TERRAVEL_HUGEPAGES_H
#define TERRAVEL_HUGEPAGES_H

// Large working arrays of the mesh operations are asked to live in 2 MiB pages. Memory that is
// touched for the first time is mapped page by page, and on a big terrain mapping tens of
// megabytes 4 KiB at a time costs more than the operations' own work. This is only advice to
// the kernel: where it is not taken, or on other systems, nothing changes but the speed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace hugepages {

const size_t pageSize = size_t(2) << 20;
// Below this a buffer spans too few large pages to be worth one.
const size_t worthFrom = size_t(4) << 20;

// Advises the whole large pages inside [data, data + bytes), for memory not yet touched.
inline void advise(void * data, size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + pageSize - 1) & ~(pageSize - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(pageSize - 1);
  if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// An allocator for std::vector that aligns large buffers to large pages and advises them.
template <typename T>
struct Allocator {
  typedef T value_type;
  Allocator(void) = default;
  template <typename U>
  Allocator(const Allocator<U> &)
  {
  }

  T * allocate(size_t count)
  {
    const size_t bytes = count * sizeof(T);
    void * data = nullptr;
#if defined(__linux__)
    if (bytes >= worthFrom) {
      if (posix_memalign(&data, pageSize, bytes) != 0) data = nullptr;
      if (data != nullptr) advise(data, bytes);
    } else
#endif
    {
      data = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (data == nullptr) std::abort(); // as out of memory as anywhere else
    return static_cast<T *>(data);
  }
  void deallocate(T * data, size_t) { std::free(data); }

  template <typename U>
  bool operator==(const Allocator<U> &) const
  {
    return true;
  }
  template <typename U>
  bool operator!=(const Allocator<U> &) const
  {
    return false;
  }
};

template <typename T>
using Vector = std::vector<T, Allocator<T>>;

} // namespace hugepages

#endif
