// The literal sampler: the straightforward reading of how the height field is defined, kept as
// the yardstick the real SurfaceSampler must match bit for bit (tests) and beat (benchmarks).
//
// One heap allocation per node, four Box2D quadrants stored per node, leaf lists that grow one
// index at a time, the upward test repeated in every leaf a face reaches, and a descent by
// QuadrantOf for every query. It shares only the host geometry functions and the vertex-normal
// chains with the real sampler.
#pragma once

#include <memory>

#include "host/geometry.h"
#include "host/mesh.h"
#include "host/tab.h"
#include "sampler/normal_chain.h"

namespace reference {

struct QuadNode {
  QuadNode(const Point2& min, const Point2& max);
  int QuadrantOf(const Point3& p) const;
  bool Overlaps(int k, const Box2D& b) const;

  Box2D quadrants[4];
  BOOL isLeaf = FALSE;
  QuadNode* children[4] = {nullptr, nullptr, nullptr, nullptr};  // owned
  Tab<int> faces;
};

class Sampler {
 public:
  Sampler() = default;
  ~Sampler();
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  int normalizeMesh = 1;
  int quadTreeDepth = 6;
  float uOffset = 0.0f;
  float vOffset = 0.0f;
  float uScale = 1.0f;
  float vScale = 1.0f;

  Tab<NormalChain> normalChains;
  Mesh workMesh;
  Tab<Box2D> faceBoxes;
  QuadNode* root = nullptr;

  void Rebuild(const Mesh& mesh);
  bool HeightAt(Point3 p, float& height) const;
  float FilteredHeight(float u, float v, float du, float dv) const;
  bool NormalAt(Point3 p, Point3& normal) const;

  void Subdivide(QuadNode* node, int levels);
  void InsertFace(int f, const Box2D& box);
  void InsertIntoNode(QuadNode* node, int f, const Box2D& box);
  static void FreeTree(QuadNode* node);

 private:
  const QuadNode* Descend(const Point3& p) const;
  bool TopFace(const Point3& p, int& winner, Point3& weights, float& height) const;
  NormalChainPool chainPool_;
};

}  // namespace reference
