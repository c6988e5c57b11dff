// Records as bytes: a header line, the fixed fields, the vertices and triangles, and a hash of
// all that before it, so that a record cut short or changed is seen for what it is.

#include "tilerecord.h"

#include <cstring>

namespace {

const char magic[8] = {'T', 'V', 'T', 'I', 'L', 'E', '1', '\n'};

template <typename T>
void put(std::string & out, const T & value)
{
  out.append(reinterpret_cast<const char *>(&value), sizeof value);
}

template <typename T>
bool take(const std::string & in, size_t & at, T & value)
{
  if (in.size() - at < sizeof value || at > in.size()) return false;
  std::memcpy(&value, in.data() + at, sizeof value);
  at += sizeof value;
  return true;
}

} // namespace

uint64_t hashBytes(const void * data, size_t size, uint64_t seed)
{
  const unsigned char * bytes = static_cast<const unsigned char *>(data);
  uint64_t hash = seed;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

std::string encodeRecord(const TileRecord & record)
{
  std::string out(magic, sizeof magic);
  put(out, int32_t(record.address.level));
  put(out, record.address.x);
  put(out, record.address.y);
  put(out, uint8_t(record.empty));
  put(out, record.error);
  for (const double r : record.region) put(out, r);
  put(out, record.contentHash);
  put(out, record.contentSize);
  put(out, record.settings);
  put(out, uint64_t(record.vertices.size()));
  for (const TileVertex & v : record.vertices) {
    put(out, v.column);
    put(out, v.row);
    for (const double a : v.at) put(out, a);
    put(out, v.ellipsoidal);
    put(out, v.height);
    put(out, v.keep);
  }
  put(out, uint64_t(record.triangles.size()));
  out.append(reinterpret_cast<const char *>(record.triangles.data()), record.triangles.size() * sizeof(int32_t));
  put(out, hashBytes(out.data(), out.size()));
  return out;
}

bool decodeRecord(const std::string & in, TileRecord & record)
{
  if (in.size() < sizeof magic + sizeof(uint64_t) || std::memcmp(in.data(), magic, sizeof magic) != 0) return false;
  uint64_t stored = 0;
  std::memcpy(&stored, in.data() + in.size() - sizeof stored, sizeof stored);
  if (hashBytes(in.data(), in.size() - sizeof stored) != stored) return false;
  size_t at = sizeof magic;
  int32_t level = 0;
  uint8_t empty = 0;
  uint64_t count = 0;
  if (!take(in, at, level) || !take(in, at, record.address.x) || !take(in, at, record.address.y) ||
      !take(in, at, empty) || !take(in, at, record.error))
    return false;
  record.address.level = level;
  record.empty = empty != 0;
  for (double & r : record.region)
    if (!take(in, at, r)) return false;
  if (!take(in, at, record.contentHash) || !take(in, at, record.contentSize) || !take(in, at, record.settings) ||
      !take(in, at, count) || count > in.size())
    return false;
  record.vertices.resize(size_t(count));
  for (TileVertex & v : record.vertices) {
    if (!take(in, at, v.column) || !take(in, at, v.row)) return false;
    for (double & a : v.at)
      if (!take(in, at, a)) return false;
    if (!take(in, at, v.ellipsoidal) || !take(in, at, v.height) || !take(in, at, v.keep)) return false;
  }
  if (!take(in, at, count) || count > in.size() / sizeof(int32_t)) return false;
  record.triangles.resize(size_t(count));
  if (in.size() - at < count * sizeof(int32_t) + sizeof stored) return false;
  std::memcpy(record.triangles.data(), in.data() + at, count * sizeof(int32_t));
  at += count * sizeof(int32_t);
  if (at + sizeof stored != in.size()) return false;
  for (const int32_t t : record.triangles)
    if (t < 0 || uint64_t(t) >= record.vertices.size()) return false;
  return true;
}
