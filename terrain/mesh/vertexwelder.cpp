#include "vertexwelder.h"

#include "hugepages.h"

#include <cassert>
#include <cmath>
#include <cstring>

namespace {

bool hasNaN(const SbVec3f & p)
{
  return std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2]);
}

} // namespace

VertexWelder::VertexWelder(int expectedPoints)
{
  size_t capacity = 16;
  while (capacity < size_t(expectedPoints) * 2) capacity *= 2;
  slots.reserve(capacity);
  hugepages::advise(slots.data(), capacity * sizeof(int32_t));
  slots.assign(capacity, -1);
  if (expectedPoints > 0) {
    points.reserve(size_t(expectedPoints));
    hugepages::advise(points.data(), points.capacity() * sizeof(SbVec3f));
  }
}

VertexWelder::VertexWelder(const std::vector<SbVec3f> & points)
  : VertexWelder(int(points.size()))
{
  for (const SbVec3f & p : points) weld(p);
}

uint32_t VertexWelder::bitsOf(float value)
{
  // -0 and +0 compare equal, so they must hash alike.
  if (value == 0.0f) value = 0.0f;
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

uint64_t VertexWelder::hashOf(const SbVec3f & p)
{
  uint64_t h = bitsOf(p[0]) * 0x9E3779B97F4A7C15ull;
  h ^= (h >> 29) + bitsOf(p[1]) * 0xC2B2AE3D27D4EB4Full;
  h ^= (h >> 31) + bitsOf(p[2]) * 0x165667B19E3779F9ull;
  return h ^ (h >> 32);
}

size_t VertexWelder::slotFor(const SbVec3f & point) const
{
  const size_t mask = slots.size() - 1;
  for (size_t slot = hashOf(point) & mask;; slot = (slot + 1) & mask) {
    const int32_t index = slots[slot];
    if (index < 0) return slot;
    const SbVec3f & stored = points[size_t(index)];
    if (stored[0] == point[0] && stored[1] == point[1] && stored[2] == point[2]) return slot;
  }
}

int32_t VertexWelder::findPoint(const SbVec3f & point) const
{
  return slots[slotFor(point)];
}

int32_t VertexWelder::addPoint(const SbVec3f & point)
{
  const int32_t index = int32_t(points.size());
  points.push_back(point);
  // A position with a NaN can never be found again, so it takes no slot.
  if (hasNaN(point)) return index;
  if ((points.size() * 2) > slots.size()) grow();
  const size_t mask = slots.size() - 1;
  size_t slot = hashOf(point) & mask;
  while (slots[slot] >= 0) slot = (slot + 1) & mask;
  slots[slot] = index;
  return index;
}

int32_t VertexWelder::weld(const SbVec3f & point)
{
  if (hasNaN(point)) return addPoint(point);
  // One probe finds an equal position or, failing that, the slot for the new one.
  if ((points.size() + 1) * 2 > slots.size()) grow();
  const size_t slot = slotFor(point);
  if (slots[slot] < 0) {
    slots[slot] = int32_t(points.size());
    points.push_back(point);
  }
  return slots[slot];
}

std::vector<SbVec3f> VertexWelder::releasePoints(void)
{
  std::vector<SbVec3f> released;
  released.swap(points);
  slots.assign(16, -1);
  return released;
}

void VertexWelder::grow(void)
{
  std::vector<int32_t> bigger(slots.size() * 2, -1);
  const size_t mask = bigger.size() - 1;
  for (const int32_t index : slots) {
    if (index < 0) continue;
    size_t slot = hashOf(points[size_t(index)]) & mask;
    while (bigger[slot] >= 0) slot = (slot + 1) & mask;
    bigger[slot] = index;
  }
  slots.swap(bigger);
}
