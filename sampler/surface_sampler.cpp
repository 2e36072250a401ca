// Mesh -> height field: normalise a copy of the mesh into UV space, index its upward faces in a
// complete quadtree whose leaves are split into a flat grid of face lists, and answer a query by
// testing the faces of the point's cell exactly with barycentric coordinates.
#include "sampler/surface_sampler.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kMinDepth = 1;
constexpr int kMaxDepth = 10;
// The cell grid is no finer than this per side (16 M cells would cost 128 MB of offsets alone).
constexpr int kMaxGridSide = 2048;
// A finer grid is given up (halved) while it would list faces more often than this on average:
// faces with large UV boxes would otherwise fill many cells each.
constexpr std::int64_t kMaxCellsPerFace = 8;

int NodesInTree(int depth) {
  int count = 0;
  for (int level = 0, n = 1; level < depth; ++level, n *= 4) count += n;
  return count;
}

// 1 / extent, or 1 where that is not a finite number (a zero or denormal extent).
float Reciprocal(float extent) {
  const float r = 1.0f / extent;
  return std::isfinite(r) ? r : 1.0f;
}

bool IsFinite(const Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

bool InUnitRange(float b) { return b >= 0.0f && b <= 1.0f; }

}  // namespace

void SurfaceSampler::Rebuild(const Mesh& mesh) {
  if (root != nullptr) FreeTree();
  workMesh = mesh;
  // The normals describe the mesh in its own coordinates, so they come before normalising.
  ComputeVertexNormals();

  const int depth = std::clamp(quadTreeDepth, kMinDepth, kMaxDepth);
  nodes_.clear();
  nodes_.reserve(static_cast<std::size_t>(NodesInTree(depth)));
  nodes_.emplace_back(Point2(0.0f, 0.0f), Point2(1.0f, 1.0f));
  root = &nodes_.front();
  Subdivide(root, depth);

  NormaliseWorkMesh();
  ComputeFaceBoxes();

  const int faceCount = workMesh.getNumFaces();
  upward_.assign(static_cast<std::size_t>(faceCount), 0);
  for (int f = 0; f < faceCount; ++f) upward_[static_cast<std::size_t>(f)] = FacesUpward(f) ? 1 : 0;

  // Insertion starts below the root, so a root that is its own leaf (depth 1) holds nothing.
  if (root->isLeaf) {
    gridSide_ = 0;
    return;
  }
  gridSide_ = ChooseGridSide(1 << (depth - 1));
  const auto side = static_cast<std::size_t>(gridSide_);

  // Counting pass, then each face is written into its cells in increasing face order, so every
  // cell list comes out sorted.
  cellStart_.assign(side * side + 1, 0);
  for (int f = 0; f < faceCount; ++f) {
    if (!upward_[static_cast<std::size_t>(f)]) continue;
    const CellRange r = CellsReached(faceBoxes[f], gridSide_);
    for (int y = r.y0; y <= r.y1; ++y)
      for (int x = r.x0; x <= r.x1; ++x) ++cellStart_[static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x) + 1];
  }
  for (std::size_t c = 1; c < cellStart_.size(); ++c) cellStart_[c] += cellStart_[c - 1];
  cellFaces_.assign(cellStart_.back(), 0);
  cellFill_.assign(cellStart_.begin(), cellStart_.end() - 1);
  for (int f = 0; f < faceCount; ++f) InsertFace(f, faceBoxes[f]);
  cellFill_ = {};
}

void SurfaceSampler::RebuildFromStoredMesh() { Rebuild(storedMesh); }

void SurfaceSampler::ComputeVertexNormals() { ::ComputeVertexNormals(workMesh, normalChains, chainPool_); }

void SurfaceSampler::NormaliseWorkMesh() {
  workMesh.buildBoundingBox();
  const Box3 bounds = workMesh.getBoundingBox();
  Point3 lo = bounds.Min();
  Point3 hi = bounds.Max();
  if (bounds.IsEmpty()) lo = hi = Point3(0.0f, 0.0f, 0.0f);

  const bool normalize = normalizeMesh != 0;
  const float fx = normalize ? Reciprocal(hi.x - lo.x) : 1.0f;
  const float fy = normalize ? Reciprocal(hi.y - lo.y) : 1.0f;
  const float su = fx * uScale;
  const float sv = fy * vScale;
  // The translation leaves the extent as it is, so the Z factor comes from the box as built.
  const float fz = Reciprocal(hi.z - lo.z);
  for (Point3& p : workMesh.verts) {
    if (normalize) p -= lo;
    p.x = su * p.x + uOffset;
    p.y = sv * p.y + vOffset;
    p.z = fz * p.z;
  }
}

void SurfaceSampler::ComputeFaceBoxes() {
  const int faceCount = workMesh.getNumFaces();
  faceBoxes.SetCount(faceCount);
  for (int f = 0; f < faceCount; ++f) {
    Box2D box;
    if (workMesh.faceIsValid(f)) {
      const Face& face = workMesh.faces[static_cast<std::size_t>(f)];
      for (int k = 0; k < 3; ++k) {
        const Point3& p = workMesh.verts[face.v[k]];
        box += Point2(p.x, p.y);
      }
    }
    faceBoxes[f] = box;
  }
}

bool SurfaceSampler::FacesUpward(int f) const {
  if (!workMesh.faceIsValid(f)) return false;
  const Face& face = workMesh.faces[static_cast<std::size_t>(f)];
  const Point3& p = workMesh.verts[face.v[0]];
  const Point3& q = workMesh.verts[face.v[1]];
  const Point3& r = workMesh.verts[face.v[2]];
  if (!IsFinite(p) || !IsFinite(q) || !IsFinite(r)) return false;
  // A zero-length edge normalises to a zero vector, so c.z = 0 and the face is not stored.
  const Point3 c = CrossProd(Normalize(q - p), Normalize(r - p));
  return c.z > 0.0f;
}

void SurfaceSampler::Subdivide(QuadNode* node, int levels) {
  if (levels <= 1) {
    node->isLeaf = TRUE;
    return;
  }
  // The arena was reserved for the whole tree, so these pointers stay valid.
  QuadNode* first = &nodes_.emplace_back(node->Quadrant(0).min, node->Quadrant(0).max);
  for (int k = 1; k < 4; ++k) {
    const Box2D q = node->Quadrant(k);
    nodes_.emplace_back(q.min, q.max);
  }
  node->children = first;
  for (int k = 0; k < 4; ++k) Subdivide(first + k, levels - 1);
}

int SurfaceSampler::ChooseGridSide(int leavesPerSide) const {
  std::int64_t upwardFaces = 0;
  for (std::uint8_t up : upward_) upwardFaces += up;
  // About one cell per two upward faces keeps a few faces per cell on an even mesh.
  int side = 1;
  while (side < kMaxGridSide && std::int64_t(side) * side * 2 < upwardFaces) side *= 2;
  side = std::max(side, leavesPerSide);
  while (side > leavesPerSide) {
    std::int64_t listed = 0;
    for (int f = 0; f < workMesh.getNumFaces(); ++f) {
      if (upward_[static_cast<std::size_t>(f)]) listed += CellsReached(faceBoxes[f], side).Cells();
    }
    if (listed <= kMaxCellsPerFace * upwardFaces) break;
    side /= 2;
  }
  return side;
}

SurfaceSampler::CellRange SurfaceSampler::CellsReached(const Box2D& box, int side) const {
  if (box.IsEmpty()) return {0, 0, -1, -1};
  // Cell i spans [i / side, (i + 1) / side] with both bounds closed, as the quadrants do; the
  // box reaches it when max >= i / side and min <= (i + 1) / side. Scaling a float by a power
  // of two is exact in double, and NaN fails the final comparison.
  const double s = side;
  const double x0 = std::max(std::ceil(double(box.min.x) * s) - 1.0, 0.0);
  const double x1 = std::min(std::floor(double(box.max.x) * s), s - 1.0);
  const double y0 = std::max(std::ceil(double(box.min.y) * s) - 1.0, 0.0);
  const double y1 = std::min(std::floor(double(box.max.y) * s), s - 1.0);
  if (!(x0 <= x1 && y0 <= y1)) return {0, 0, -1, -1};
  return {int(x0), int(y0), int(x1), int(y1)};
}

SurfaceSampler::CellRange SurfaceSampler::CellsOfNode(const QuadNode& node) const {
  const float s = float(gridSide_);
  return {int(node.min.x * s), int(node.min.y * s), int(node.max.x * s) - 1, int(node.max.y * s) - 1};
}

void SurfaceSampler::InsertFace(int f, const Box2D& box) {
  if (root == nullptr || root->isLeaf || !upward_[static_cast<std::size_t>(f)]) return;
  InsertIntoNode(root, f, box);
}

void SurfaceSampler::InsertIntoNode(const QuadNode* node, int f, const Box2D& box) {
  const CellRange reached = CellsReached(box, gridSide_);
  const CellRange own = CellsOfNode(*node);
  const CellRange r{std::max(reached.x0, own.x0), std::max(reached.y0, own.y0), std::min(reached.x1, own.x1),
                    std::min(reached.y1, own.y1)};
  const auto side = static_cast<std::size_t>(gridSide_);
  for (int y = r.y0; y <= r.y1; ++y)
    for (int x = r.x0; x <= r.x1; ++x)
      cellFaces_[cellFill_[static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x)]++] = f;
}

void SurfaceSampler::FreeTree() {
  root = nullptr;
  nodes_ = {};
  cellStart_ = {};
  cellFaces_ = {};
  gridSide_ = 0;
}

std::span<const std::int32_t> SurfaceSampler::CellFaces(int cx, int cy) const {
  const std::size_t c = static_cast<std::size_t>(cy) * static_cast<std::size_t>(gridSide_) + static_cast<std::size_t>(cx);
  return {cellFaces_.data() + cellStart_[c], cellStart_[c + 1] - cellStart_[c]};
}

bool SurfaceSampler::FindTopFace(float u, float v, Hit& hit) const {
  // The tree's leaves tile [0, 1) x [0, 1) with closed lower and open upper bounds.
  if (!(u >= 0.0f && u < 1.0f && v >= 0.0f && v < 1.0f) || gridSide_ == 0) return false;
  const float s = float(gridSide_);
  bool found = false;
  for (const std::int32_t f : CellFaces(int(u * s), int(v * s))) {
    const Box2D& box = faceBoxes[f];
    if (!(box.min.x <= u && u <= box.max.x && box.min.y <= v && v <= box.max.y)) continue;
    const Face& face = workMesh.faces[static_cast<std::size_t>(f)];
    const Point3& v0 = workMesh.verts[face.v[0]];
    const Point3& v1 = workMesh.verts[face.v[1]];
    const Point3& v2 = workMesh.verts[face.v[2]];
    const Point3 b = BaryCoords(Point3(v0.x, v0.y, 0.0f), Point3(v1.x, v1.y, 0.0f), Point3(v2.x, v2.y, 0.0f),
                                Point3(u, v, 0.0f));
    if (!InUnitRange(b.x) || !InUnitRange(b.y) || !InUnitRange(b.z)) continue;
    if (!(std::fabs(b.z + b.y + b.x - 1.0f) <= 1e-6f)) continue;
    const float h = b.z * v2.z + b.y * v1.z + b.x * v0.z;
    if (!found || h > hit.height) hit = {f, b, h};
    found = true;
  }
  return found;
}

bool SurfaceSampler::HeightAt(Point3 p, float& height) const {
  if (root == nullptr) {
    height = 0.0f;
    return false;
  }
  Hit hit;
  if (!FindTopFace(p.x, p.y, hit)) return false;
  height = hit.height;
  return true;
}

float SurfaceSampler::FilteredHeight(float u, float v, float du, float dv) const {
  float sum = 0.0f;
  float tap = 0.0f;
  float count = 1.0f;
  HeightAt(Point3(u, v, 0.0f), sum);
  if (du != 0.0f) {
    const float half = du * 0.5f;
    HeightAt(Point3(u + half, v, 0.0f), tap);
    sum += tap;
    HeightAt(Point3(u - half, v, 0.0f), tap);
    sum += tap;
    count = 3.0f;
  }
  if (dv != 0.0f) {
    const float half = dv * 0.5f;
    HeightAt(Point3(u, v + half, 0.0f), tap);
    sum += tap;
    HeightAt(Point3(u, v - half, 0.0f), tap);
    sum += tap;
    count = count + 2.0f;
  }
  return sum / count;
}

bool SurfaceSampler::NormalAt(Point3 p, Point3& normal) const {
  normal = Point3(0.0f, 0.0f, 0.0f);
  Hit hit;
  if (root == nullptr || !FindTopFace(p.x, p.y, hit)) return false;
  normal = BlendCornerNormals(workMesh, normalChains, hit.face, hit.bary);
  return true;
}

const QuadNode* SurfaceSampler::FindLeaf(const Point3& p) const {
  const QuadNode* node = root;
  while (node != nullptr && !node->isLeaf) {
    const int k = node->QuadrantOf(p);
    node = k < 0 ? nullptr : node->child(k);
  }
  return node;
}

std::vector<int> SurfaceSampler::LeafFaces(const QuadNode& leaf) const {
  std::vector<int> faces;
  if (gridSide_ == 0) return faces;
  const CellRange r = CellsOfNode(leaf);
  for (int y = r.y0; y <= r.y1; ++y)
    for (int x = r.x0; x <= r.x1; ++x)
      for (const std::int32_t f : CellFaces(x, y)) faces.push_back(f);
  std::sort(faces.begin(), faces.end());
  faces.erase(std::unique(faces.begin(), faces.end()), faces.end());
  return faces;
}

std::size_t SurfaceSampler::IndexBytes() const {
  return nodes_.capacity() * sizeof(QuadNode) + cellStart_.capacity() * sizeof(std::size_t) +
         cellFaces_.capacity() * sizeof(std::int32_t) + upward_.capacity() +
         static_cast<std::size_t>(faceBoxes.Count()) * sizeof(Box2D);
}
