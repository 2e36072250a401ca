// What the fast PLY and STL readers hand to ImportMesh: one mesh of the file in the file's own
// axes, its vertices already welded the way ImportMesh's assimp path welds them.
//
// Welding: a vertex joins an earlier one when their positions are equal as floats (so -0 joins
// +0) and, where the file's normals are kept, their normals differ by at most 1e-5 in length.
// Vertices keep the order of their first appearance; vertices no face uses are dropped.
//
// One difference from assimp, on purpose: assimp 5.2 finds earlier vertices in a hash table keyed
// by the exact position but compares them with a tolerance (1e-5 and less), so two different
// points that close become one, moved onto the first, only when their hashes happen to share a
// bucket: whether a point survives depends on the table's size. Here only equal positions join,
// so every point stays where the file put it. Files without such near pairs come out the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/mesh.h"

struct RawMesh {
  // The name of the node the mesh sits in, as assimp names it (possibly empty).
  std::string nodeName;
  // x, y, z per welded vertex, in the file's axes.
  std::vector<float> positions;
  // Three entries of positions per triangle, in file order.
  std::vector<std::uint32_t> corners;
  // The file's vertex normals took part in the welding.
  bool hasNormals = false;
};

// Joins vertices by a hash of what makes them identical. Memory grows with the welded vertices
// only: 12 bytes (24 with normals) per welded vertex, and a table of 16-byte slots, at least
// twice as many as entries.
class VertexWelder {
 public:
  // expectedVertices only sizes the table; more may be added.
  VertexWelder(std::size_t expectedVertices, bool withNormals);

  // The welded index of the vertex at position (and normal, when withNormals; ignored otherwise).
  // Positions must be finite: the readers hand non-finite files to assimp.
  std::uint32_t Add(const float position[3], const float normal[3]);

  // Starts loading the table slot a later Add of this position will look at first: the table is
  // far larger than the caches, and a reader that knows what comes next hides that wait.
  void Prefetch(const float position[3]) const;

  std::size_t size() const { return count_; }
  // Some vertex had normals within reach of two different earlier vertices at its position, so
  // which one it joins depends on the order assimp's spatial sort happens to give: a file where
  // that happens must go to assimp to come out the same.
  bool ambiguous() const { return ambiguous_; }
  // The welded positions (and normals), three floats per vertex; the welder is left empty.
  std::vector<float> TakePositions();

 private:
  std::size_t Slot(std::uint64_t hash) const { return static_cast<std::size_t>(hash) & (slots_.size() - 1); }
  void Grow();

  bool withNormals_;
  bool ambiguous_ = false;
  std::size_t count_ = 0;
  std::vector<float> positions_;
  std::vector<float> normals_;
  struct Entry {
    float position[3] = {0, 0, 0};
    std::uint32_t indexPlusOne = 0;  // 0: empty
  };
  std::vector<Entry> slots_;
};

// The same joining as VertexWelder, for a caller that knows how many vertices it will add at most
// and must keep memory down: the table holds 4-byte slots (a welded index and a few bits of the
// position's hash), at least 4/3 as many as that bound and never grown, and looks positions up in
// the welded array itself. 12 bytes per welded vertex (24 with normals, whose 12 go once the
// welding is done) and 5.3 to 10.7 per vertex of the bound in the table. At most kMaxVertices.
class CompactWelder {
 public:
  static constexpr std::size_t kMaxVertices = std::size_t{1} << 27;
  // maxVertices (at most kMaxVertices): the most Add will make. positions receives the welded
  // positions, in the order they were made.
  CompactWelder(std::size_t maxVertices, bool withNormals, std::vector<Point3>* positions);

  std::uint32_t Add(const float position[3], const float normal[3]);
  void Prefetch(const float position[3]) const;
  bool ambiguous() const { return ambiguous_; }
  std::size_t size() const { return positions_->size(); }
  // Frees the table and the normals; the positions stay with their owner.
  void Finish();

 private:
  bool withNormals_;
  bool ambiguous_ = false;
  std::vector<Point3>* positions_;
  std::vector<float> normals_;
  std::vector<std::uint32_t> slots_;  // 0: empty; else tag << 28 | (index + 1)
};
