#ifndef TERRAVEL_MIDDLEPIVOTSORT_H
#define TERRAVEL_MIDDLEPIVOTSORT_H

#include <cassert>
#include <utility>
#include <vector>

// The reduction pass's own quicksort of items[lo..hi] by key, ascending: the middle entry is the
// pivot, entries equal to it stop both scans and are swapped, and the lower part is sorted
// before the upper one. It is not stable: the order it leaves equal keys in decides which of
// several equally short edges collapses, so these exact steps are part of a pass's result.
// Four equal keys e0, e1, e2, e3 come out as e2, e3, e0, e1.
template <typename Item, typename Key>
void middlePivotSort(Item * items, int lo, int hi, Key key)
{
  assert(items != nullptr || lo >= hi);
  // The two parts may share one entry, so their order matters; a stack of pending upper parts
  // keeps that order without deep recursion on unlucky input.
  std::vector<std::pair<int, int>> pending;
  for (;;) {
    if (lo < hi) {
      const auto pivot = key(items[(lo + hi) / 2]);
      int i = lo;
      int j = hi;
      do {
        while (key(items[i]) < pivot) ++i;
        while (pivot < key(items[j])) --j;
        if (i <= j) {
          std::swap(items[i], items[j]);
          ++i;
          --j;
        }
      } while (i < j);
      if (i < hi) pending.emplace_back(i, hi);
      hi = j; // the lower part next; nothing to do when lo >= j
      continue;
    }
    if (pending.empty()) return;
    lo = pending.back().first;
    hi = pending.back().second;
    pending.pop_back();
  }
}

#endif
