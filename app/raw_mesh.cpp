// Open addressing with linear probing over the welded vertices; each slot holds its position, so a
// lookup touches one cache line of the table and nothing else. Entries are never removed and a
// rehash reinserts them in index order, so among several welded vertices at one position (normals
// apart) a probe always meets them in the order they were made, and the earliest match wins.
#include "app/raw_mesh.h"

#include <algorithm>
#include <cstring>

namespace {

std::uint32_t Bits(float f) {
  f += 0.0f;  // -0 -> +0, so both hash alike (they compare equal)
  std::uint32_t b = 0;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

std::uint64_t HashPosition(const float* p) {
  std::uint64_t h = 0x9e3779b97f4a7c15ull;
  for (int k = 0; k < 3; ++k) {
    h ^= Bits(p[k]);
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  }
  return h;
}

// The normal test assimp's vertex joining applies: squared distance in float, at most 1e-5^2.
bool NormalsAgree(const float* a, const float* b) {
  const float dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
  constexpr float kEpsilon = 1e-5f;
  return !(dx * dx + dy * dy + dz * dz > kEpsilon * kEpsilon);
}

}  // namespace

VertexWelder::VertexWelder(std::size_t expectedVertices, bool withNormals) : withNormals_(withNormals) {
  std::size_t slots = 16;
  while (slots < expectedVertices * 2) slots *= 2;
  slots_.assign(slots, Entry{});
  positions_.reserve(expectedVertices * 3);
  if (withNormals_) normals_.reserve(expectedVertices * 3);
}

std::uint32_t VertexWelder::Add(const float position[3], const float normal[3]) {
  std::size_t s = Slot(HashPosition(position));
  std::uint32_t match = 0;
  for (;; s = (s + 1) & (slots_.size() - 1)) {
    const Entry& entry = slots_[s];
    if (entry.indexPlusOne == 0) break;
    const float* p = entry.position;
    if (p[0] != position[0] || p[1] != position[1] || p[2] != position[2]) continue;
    if (!withNormals_) return entry.indexPlusOne - 1;
    if (!NormalsAgree(&normals_[(entry.indexPlusOne - 1) * std::size_t{3}], normal)) continue;
    // Two earlier vertices within reach: assimp joins this one to whichever its spatial sort
    // lists first, an order that cannot be told from here.
    if (match != 0) {
      ambiguous_ = true;
      return match - 1;
    }
    match = entry.indexPlusOne;
  }
  if (match != 0) return match - 1;
  const auto index = static_cast<std::uint32_t>(count_++);
  positions_.insert(positions_.end(), position, position + 3);
  if (withNormals_) normals_.insert(normals_.end(), normal, normal + 3);
  slots_[s] = {{position[0], position[1], position[2]}, index + 1};
  if (count_ * 2 > slots_.size()) Grow();
  return index;
}

void VertexWelder::Prefetch(const float position[3]) const {
  __builtin_prefetch(&slots_[Slot(HashPosition(position))]);
}

void VertexWelder::Grow() {
  slots_.assign(slots_.size() * 2, Entry{});
  for (std::size_t i = 0; i < count_; ++i) {
    const float* p = &positions_[i * 3];
    std::size_t s = Slot(HashPosition(p));
    while (slots_[s].indexPlusOne != 0) s = (s + 1) & (slots_.size() - 1);
    slots_[s] = {{p[0], p[1], p[2]}, static_cast<std::uint32_t>(i + 1)};
  }
}

std::vector<float> VertexWelder::TakePositions() {
  std::vector<float> out = std::move(positions_);
  positions_ = {};
  normals_ = {};
  slots_ = {};
  count_ = 0;
  return out;
}

namespace {

constexpr std::uint32_t kIndexBits = 28;
constexpr std::uint32_t kIndexMask = (std::uint32_t{1} << kIndexBits) - 1;

std::uint32_t TagOf(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 60) << kIndexBits; }

}  // namespace

CompactWelder::CompactWelder(std::size_t maxVertices, bool withNormals, std::vector<Point3>* positions)
    : withNormals_(withNormals), positions_(positions) {
  // Filled to at most three quarters: with the tags, a probe past a taken slot costs a compare in
  // the same cache line, so a fuller table than VertexWelder's is as quick and a third the size.
  std::size_t slots = 16;
  while (slots * 3 < maxVertices * 4) slots *= 2;
  slots_.assign(slots, 0);
  positions_->clear();
  positions_->reserve(maxVertices);
  if (withNormals_) normals_.reserve(maxVertices * 3);
}

std::uint32_t CompactWelder::Add(const float position[3], const float normal[3]) {
  const std::uint64_t hash = HashPosition(position);
  const std::uint32_t tag = TagOf(hash);
  const std::size_t mask = slots_.size() - 1;
  std::size_t s = static_cast<std::size_t>(hash) & mask;
  std::uint32_t match = 0;
  for (;; s = (s + 1) & mask) {
    const std::uint32_t slot = slots_[s];
    if (slot == 0) break;
    if ((slot & ~kIndexMask) != tag) continue;
    const std::uint32_t indexPlusOne = slot & kIndexMask;
    const Point3& p = (*positions_)[indexPlusOne - 1];
    if (p.x != position[0] || p.y != position[1] || p.z != position[2]) continue;
    if (!withNormals_) return indexPlusOne - 1;
    if (!NormalsAgree(&normals_[(indexPlusOne - 1) * std::size_t{3}], normal)) continue;
    // As in VertexWelder: two earlier vertices within reach make the file ambiguous.
    if (match != 0) {
      ambiguous_ = true;
      return match - 1;
    }
    match = indexPlusOne;
  }
  if (match != 0) return match - 1;
  const auto index = static_cast<std::uint32_t>(positions_->size());
  positions_->emplace_back(position[0], position[1], position[2]);
  if (withNormals_) normals_.insert(normals_.end(), normal, normal + 3);
  slots_[s] = tag | (index + 1);
  return index;
}

void CompactWelder::Prefetch(const float position[3]) const {
  __builtin_prefetch(&slots_[static_cast<std::size_t>(HashPosition(position)) & (slots_.size() - 1)]);
}

void CompactWelder::Finish() {
  slots_ = {};
  normals_ = {};
}
