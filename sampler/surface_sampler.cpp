// Mesh -> height field: normalise a copy of the mesh into UV space, index its upward faces in a
// complete quadtree whose leaves are split into a flat grid of face lists, and answer a query by
// testing the faces of the point's cell exactly with barycentric coordinates.
#include "sampler/surface_sampler.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace {

constexpr int kMinDepth = 1;
constexpr int kMaxDepth = 10;
// Bounds of the cell grid's side (16 M cells would cost 128 MB of offsets alone).
constexpr int kMinGridSide = 128;
constexpr int kMaxGridSide = 2048;
// A grid is made no finer than would list faces more often than this on average (plus a few
// million entries for any mesh): faces with large UV boxes would otherwise fill many cells.
constexpr double kMaxCellsPerFace = 16.0;

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

// Heights are weighted sums of finite corner heights with weights in [0, 1] summing to 1 within
// 1e-6, so the exact answer lies within the float range; only its rounding can overflow, at
// corners within 1e-6 of FLT_MAX (a mean of such heights likewise). The nearest finite float is
// the answer then. Finite values pass unchanged, NaN cannot occur.
float WithinFloatRange(float h) {
  constexpr float kMax = std::numeric_limits<float>::max();
  return std::fabs(h) <= kMax ? h : std::copysign(kMax, h);
}

// Whether a squared edge length, computed as a float sum of squares, stays far inside the normal
// float range: below FLT_MAX with room for the three terms, and with its largest term (at least
// a third of it) far above FLT_MIN, so that squares lost to underflow are negligible beside it.
bool InFloatSquareRange(double length2) { return length2 >= 1e-30 && length2 <= 1e30; }

// Frees a vector's storage; clear() and assigning {} keep the capacity.
template <typename T, typename A>
void Release(std::vector<T, A>& v) {
  std::vector<T, A>().swap(v);
}

}  // namespace

void SurfaceSampler::Rebuild(const Mesh& mesh) {
  // The old tree is dropped, but its storage is kept for the new one: a rebuild runs at every
  // host update, and faulting in fresh pages for a large mesh costs more than the indexing.
  root = nullptr;
  gridSide_ = 0;
  workMesh = mesh;
  // The normals describe the mesh in its own coordinates, so they come before normalising.
  ComputeVertexNormals();

  const int depth = std::clamp(quadTreeDepth, kMinDepth, kMaxDepth);
  nodes_.clear();
  nodes_.reserve(static_cast<std::size_t>(NodesInTree(depth)));
  nodes_.emplace_back(Point2(0.0f, 0.0f), Point2(1.0f, 1.0f));
  root = &nodes_.front();
  Subdivide(root, depth);

  NormaliseMesh(workMesh);
  ComputeFaceBoxes();

  // The upward faces are counted first so that their records take exactly the room they need
  // (EstimateIndex relies on it).
  const int faceCount = workMesh.getNumFaces();
  indexed_.clear();
  indexOfFace_.assign(static_cast<std::size_t>(faceCount), -1);
  std::size_t upward = 0;
  for (int f = 0; f < faceCount; ++f) {
    if (FacesUpward(f)) {
      indexOfFace_[static_cast<std::size_t>(f)] = 0;
      ++upward;
    }
  }
  indexed_.reserve(upward);
  for (int f = 0; f < faceCount; ++f) {
    if (indexOfFace_[static_cast<std::size_t>(f)] < 0) continue;
    indexOfFace_[static_cast<std::size_t>(f)] = static_cast<std::int32_t>(indexed_.size());
    indexed_.push_back(MakeIndexedFace(UVFaces(workMesh), f, faceBoxes[f]));
  }

  // Insertion starts below the root, so a root that is its own leaf (depth 1) holds nothing.
  if (root->isLeaf) {
    gridSide_ = 0;
    indexed_.clear();
  } else {
    // Counting pass (which also weighs how many times over each cell is covered), then each face
    // is written into its cells in increasing face order, and the piled cells are reordered by
    // height bound. Offsets are 32-bit; a grid whose lists would not fit is coarsened (answers do
    // not depend on the grid).
    GridStats stats;
    for (const IndexedFace& t : indexed_) stats.Add(t.Box());
    for (gridSide_ = forcedGridSide_ > 0 ? forcedGridSide_ : ChooseGridSide(stats);; gridSide_ /= 2) {
      const auto side = static_cast<std::size_t>(gridSide_);
      cellStart_.assign(side * side + 1, 0);
      cellCover_.assign(side * side, 0.0f);
      std::uint64_t listed = 0;
      for (const IndexedFace& t : indexed_)
        listed += CountCells(t, gridSide_, cellStart_.data() + 1, cellCover_.data());
      if (listed <= std::numeric_limits<std::uint32_t>::max() || gridSide_ == 1) break;
    }
    for (std::size_t c = 1; c < cellStart_.size(); ++c) cellStart_[c] += cellStart_[c - 1];
    cellFaces_.clear();
    cellFaces_.resize(cellStart_.back());
    cellFill_.assign(cellStart_.begin(), cellStart_.end() - 1);
    for (int f = 0; f < faceCount; ++f) InsertFace(f, faceBoxes[f]);
    OrderLayeredCells();
  }
  Release(cellFill_);
  Release(cellCover_);
  Release(indexOfFace_);
}

void SurfaceSampler::RebuildFromStoredMesh() { Rebuild(storedMesh); }

void SurfaceSampler::ComputeVertexNormals() { ::ComputeVertexNormals(workMesh, normalChains, chainPool_); }

SurfaceSampler::IndexEstimate SurfaceSampler::EstimateIndex(const Mesh& mesh) const { return Estimate(mesh, true); }

SurfaceSampler::IndexEstimate SurfaceSampler::BoundIndex(const Mesh& mesh) const { return Estimate(mesh, false); }

std::uint64_t SurfaceSampler::IndexCeiling(std::int64_t faceCount) const {
  const auto faces = std::uint64_t(std::max<std::int64_t>(faceCount, 0));
  const int depth = std::clamp(quadTreeDepth, kMinDepth, kMaxDepth);
  std::uint64_t bytes =
      std::uint64_t(NodesInTree(depth)) * sizeof(QuadNode) + faces * (sizeof(IndexedFace) + sizeof(Box2D));
  if (depth == 1) return bytes;
  std::uint64_t side = forcedGridSide_ > 0 ? std::uint64_t(forcedGridSide_) : std::uint64_t(kMinGridSide);
  if (forcedGridSide_ <= 0) {
    while (side < std::uint64_t(kMaxGridSide) && side * side * 2 < faces) side *= 2;
  }
  // A forced side skips the budget, so each face may reach every cell.
  const std::uint64_t entries =
      forcedGridSide_ > 0 ? faces * side * side
                          : 2 * (std::uint64_t(kMaxCellsPerFace) * faces + (std::uint64_t{1} << 22)) + 2 * faces;
  return bytes + (side * side + 1) * sizeof(std::uint32_t) + entries * sizeof(CellEntry);
}

SurfaceSampler::IndexEstimate SurfaceSampler::Estimate(const Mesh& mesh, bool exact) const {
  IndexEstimate estimate;
  const int depth = std::clamp(quadTreeDepth, kMinDepth, kMaxDepth);
  estimate.nodeBytes = std::uint64_t(NodesInTree(depth)) * sizeof(QuadNode);
  // Only the positions move into UV space; the faces are read from the caller's mesh, so a
  // large mesh is not held twice while its index is sized.
  const std::vector<Point3> placed = PlacedVertices(mesh);
  const UVFaces uv(placed, mesh.faces);
  const int faceCount = mesh.getNumFaces();
  // The upward test is the costly part of a face; the second pass reads this mark instead.
  std::vector<bool> upward(static_cast<std::size_t>(faceCount), false);
  GridStats stats;
  for (int f = 0; f < faceCount; ++f) {
    if (!FacesUpward(uv, f)) continue;
    upward[static_cast<std::size_t>(f)] = true;
    stats.Add(FaceBox(uv, f));
  }
  estimate.upwardFaces = stats.count;
  std::uint64_t gridBytes = 0;
  if (depth > 1) {
    // A coarser grid, which Rebuild falls back to when the lists overflow 32-bit offsets,
    // reaches no more cells than the finer one, so the first side bounds them all.
    estimate.gridSide = forcedGridSide_ > 0 ? forcedGridSide_ : ChooseGridSide(stats);
    for (int f = 0; f < faceCount; ++f) {
      if (!upward[static_cast<std::size_t>(f)]) continue;
      const Box2D box = FaceBox(uv, f);
      // Every cell a face is listed in is one its box reaches, so the box alone gives the bound.
      estimate.listEntries += exact ? CountCells(MakeIndexedFace(uv, f, box), estimate.gridSide, nullptr)
                                    : std::uint64_t(CellsReached(box, estimate.gridSide).Cells());
    }
    const auto side = std::uint64_t(estimate.gridSide);
    gridBytes = (side * side + 1) * sizeof(std::uint32_t) + estimate.listEntries * sizeof(CellEntry);
  }
  estimate.bytes = estimate.nodeBytes + std::uint64_t(estimate.upwardFaces) * sizeof(IndexedFace) + gridBytes +
                   std::uint64_t(faceCount) * sizeof(Box2D);
  return estimate;
}

SurfaceSampler::IndexedFace SurfaceSampler::MakeIndexedFace(const UVFaces& uv, int f, const Box2D& box) {
  const Face& face = uv.faces[static_cast<std::size_t>(f)];
  const Point3& p0 = uv.verts[face.v[0]];
  const Point3& p1 = uv.verts[face.v[1]];
  const Point3& p2 = uv.verts[face.v[2]];
  return {box.min.x,
          box.min.y,
          box.max.x,
          box.max.y,
          {p0.x, p1.x, p2.x},
          {p0.y, p1.y, p2.y},
          {p0.z, p1.z, p2.z},
          f,
          InverseDoubleArea2D(Point3(p0.x, p0.y, 0.0f), Point3(p1.x, p1.y, 0.0f), Point3(p2.x, p2.y, 0.0f))};
}

std::uint64_t SurfaceSampler::CountCells(const IndexedFace& t, int side, std::uint32_t* counts, float* cover) {
  const CellRange r = CellsReached(t.Box(), side);
  const CoverageTest test = MakeCoverageTest(t, r);
  const float s = float(side);
  // The box's extent within cell i along one axis, in cell units.
  const auto within = [](float lo, float hi, int i) {
    return std::max(0.0f, std::min(hi, float(i + 1)) - std::max(lo, float(i)));
  };
  std::uint64_t listed = 0;
  for (int y = r.y0; y <= r.y1; ++y) {
    const float height = cover != nullptr ? within(t.minY * s, t.maxY * s, y) : 0.0f;
    for (int x = r.x0; x <= r.x1; ++x) {
      if (!MayCoverCell(test, x, y, side)) continue;
      if (counts != nullptr) {
        const std::size_t c =
            static_cast<std::size_t>(y) * static_cast<std::size_t>(side) + static_cast<std::size_t>(x);
        ++counts[c];
        if (cover != nullptr) cover[c] += height * within(t.minX * s, t.maxX * s, x);
      }
      ++listed;
    }
  }
  return listed;
}

SurfaceSampler::VertexPlacement SurfaceSampler::PlacementFor(const Box3& bounds) const {
  Point3 lo = bounds.Min();
  Point3 hi = bounds.Max();
  if (bounds.IsEmpty()) lo = hi = Point3(0.0f, 0.0f, 0.0f);

  const bool normalize = normalizeMesh != 0;
  const float fx = normalize ? Reciprocal(hi.x - lo.x) : 1.0f;
  const float fy = normalize ? Reciprocal(hi.y - lo.y) : 1.0f;
  // The translation leaves the extent as it is, so the Z factor comes from the box as built.
  return {normalize, lo, fx * uScale, fy * vScale, Reciprocal(hi.z - lo.z), uOffset, vOffset};
}

void SurfaceSampler::NormaliseMesh(Mesh& mesh) const {
  mesh.buildBoundingBox();
  const VertexPlacement place = PlacementFor(mesh.getBoundingBox());
  for (Point3& p : mesh.verts) p = place(p);
}

std::vector<Point3> SurfaceSampler::PlacedVertices(const Mesh& mesh) const {
  // The box as Mesh::buildBoundingBox makes it: the finite vertices only.
  Box3 bounds;
  bounds.Init();
  for (const Point3& p : mesh.verts) {
    if (IsFinite(p)) bounds += p;
  }
  const VertexPlacement place = PlacementFor(bounds);
  std::vector<Point3> placed;
  placed.reserve(mesh.verts.size());
  for (const Point3& p : mesh.verts) placed.push_back(place(p));
  return placed;
}

void SurfaceSampler::ComputeFaceBoxes() {
  const int faceCount = workMesh.getNumFaces();
  faceBoxes.SetCount(faceCount);
  const UVFaces uv(workMesh);
  for (int f = 0; f < faceCount; ++f) faceBoxes[f] = FaceBox(uv, f);
}

Box2D SurfaceSampler::FaceBox(const UVFaces& uv, int f) {
  Box2D box;
  if (uv.IsValid(f)) {
    const Face& face = uv.faces[static_cast<std::size_t>(f)];
    for (int k = 0; k < 3; ++k) {
      const Point3& p = uv.verts[face.v[k]];
      box += Point2(p.x, p.y);
    }
  }
  return box;
}

bool SurfaceSampler::FacesUpward(int f) const { return FacesUpward(UVFaces(workMesh), f); }

bool SurfaceSampler::FacesUpward(const UVFaces& uv, int f) {
  if (!uv.IsValid(f)) return false;
  const Face& face = uv.faces[static_cast<std::size_t>(f)];
  const Point3& p = uv.verts[face.v[0]];
  const Point3& q = uv.verts[face.v[1]];
  const Point3& r = uv.verts[face.v[2]];
  if (!IsFinite(p) || !IsFinite(q) || !IsFinite(r)) return false;
  // The test proper is on the normalised edges below. Where the plain cross product is far
  // from zero relative to the edge lengths (|c.z| > 1e-4), the rounding of that test (a few
  // float ulps) cannot change its sign, and the square roots and divisions can be skipped; but
  // only while every float it takes is a normal number: an edge whose squared length leaves the
  // float range normalises to zero (overflow) or to a vector far from unit length (underflow),
  // and the float test then says "not upward" where the exact sign would say otherwise.
  const double ex = double(q.x) - p.x, ey = double(q.y) - p.y, ez = double(q.z) - p.z;
  const double gx = double(r.x) - p.x, gy = double(r.y) - p.y, gz = double(r.z) - p.z;
  const double cross = ex * gy - ey * gx;
  const double lengthE2 = ex * ex + ey * ey + ez * ez, lengthG2 = gx * gx + gy * gy + gz * gz;
  if (InFloatSquareRange(lengthE2) && InFloatSquareRange(lengthG2) && cross * cross > 1e-8 * lengthE2 * lengthG2) {
    return cross > 0.0;
  }
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

void SurfaceSampler::GridStats::Add(const Box2D& box) {
  // Each side counts between 0 and 1 (NaN as 1): IndexCeiling relies on no face counting for
  // less than the cells its box can reach.
  const auto extent = [](double d) { return std::clamp(std::fmin(d, 1.0), 0.0, 1.0); };
  const double w = extent(double(box.max.x) - box.min.x), h = extent(double(box.max.y) - box.min.y);
  sumArea += w * h;
  sumSides += w + h;
  ++count;
}

int SurfaceSampler::ChooseGridSide(const GridStats& stats) {
  // Queries are bound by memory latency, so the grid aims at a few faces per cell while its
  // offsets stay small: about one cell per two faces, but no coarser than 128 x 128 (128 KB of
  // offsets) and no finer than 2048 x 2048. A face with a UV box of w x h reaches about
  // (w G + 1)(h G + 1) cells, and the grid is coarsened while that would list faces more often
  // than the budget allows (faces with large boxes would fill many cells each).
  const double sumArea = stats.sumArea, sumSides = stats.sumSides;
  const std::int64_t count = stats.count;
  const double budget = kMaxCellsPerFace * double(count) + double(1 << 22);
  int side = kMinGridSide;
  while (side < kMaxGridSide && std::int64_t(side) * side * 2 < count) side *= 2;
  while (side > 1 && sumArea * side * side + sumSides * side + double(count) > budget) side /= 2;
  return side;
}

SurfaceSampler::CellRange SurfaceSampler::CellsReached(const Box2D& box, int side) {
  if (box.IsEmpty()) return {0, 0, -1, -1};
  // Cell i spans [i / side, (i + 1) / side] with both bounds closed, as the quadrants do; the
  // box reaches it when max >= i / side and min <= (i + 1) / side, that is for
  // ceil(min * side) - 1 <= i <= floor(max * side). Scaling a float by a power of two is exact
  // in double. Clamping first keeps the conversions to int defined; NaN fails the comparisons.
  const double s = side;
  const auto first = [s](float lo) {
    const double a = std::clamp(double(lo) * s, -1.0, s + 1.0);
    const int i = int(a);            // truncates toward zero
    return (a > i ? i + 1 : i) - 1;  // ceil(a) - 1
  };
  const auto last = [s](float hi) {
    const double a = std::clamp(double(hi) * s, -1.0, s + 1.0);
    const int i = int(a);
    return a < i ? i - 1 : i;  // floor(a)
  };
  if (std::isnan(box.min.x) || std::isnan(box.min.y) || std::isnan(box.max.x) || std::isnan(box.max.y)) {
    return {0, 0, -1, -1};
  }
  return {std::max(first(box.min.x), 0), std::max(first(box.min.y), 0), std::min(last(box.max.x), side - 1),
          std::min(last(box.max.y), side - 1)};
}

// Which cells of a face's box its triangle may reach. The barycentric weights are products and
// differences in double precision, so on a face whose corners all have a sine of at least 1e-3
// their rounding moves an edge outward by less than about 1e-15 times the box diagonal times
// (perimeter / shortest edge). We grow every edge by 1e-4 of that product, 1e11 times more than
// the rounding, and leave a cell out only when one grown edge separates it from the triangle:
// no point of it can then be accepted. On flatter faces the rounding is not bounded so simply,
// and the whole box stands in for the triangle; so it does for boxes of at most 2 x 2 cells,
// where there is little to gain.
SurfaceSampler::CoverageTest SurfaceSampler::MakeCoverageTest(const IndexedFace& t, const CellRange& cells) {
  CoverageTest test;
  if (cells.x1 - cells.x0 <= 1 && cells.y1 - cells.y0 <= 1) return test;
  double length[3];
  for (int k = 0; k < 3; ++k) {
    const int n = (k + 1) % 3;
    test.edgeX[k] = double(t.x[n]) - t.x[k];
    test.edgeY[k] = double(t.y[n]) - t.y[k];
    length[k] = std::sqrt(test.edgeX[k] * test.edgeX[k] + test.edgeY[k] * test.edgeY[k]);
  }
  const double shortest = std::min({length[0], length[1], length[2]});
  const double doubleArea = 1.0 / t.inverseDoubleArea;
  // The sine of the corner between edges a and b is doubleArea / (a b).
  const double sine = std::min({doubleArea / (length[0] * length[2]), doubleArea / (length[0] * length[1]),
                                doubleArea / (length[1] * length[2])});
  if (!(shortest > 0.0) || !(sine >= 1e-3)) return test;
  const double dx = double(t.maxX) - t.minX, dy = double(t.maxY) - t.minY;
  const double margin = 1e-4 * std::sqrt(dx * dx + dy * dy) * (length[0] + length[1] + length[2]) / shortest;
  for (int k = 0; k < 3; ++k) test.limit[k] = margin * length[k];
  test.corners = &t;
  return test;
}

inline bool SurfaceSampler::MayCoverCell(const CoverageTest& test, int cx, int cy, int side) {
  if (test.corners == nullptr) return true;
  const double x0 = double(cx) / side, x1 = double(cx + 1) / side;
  const double y0 = double(cy) / side, y1 = double(cy + 1) / side;
  for (int k = 0; k < 3; ++k) {
    const double ex = test.edgeX[k], ey = test.edgeY[k];
    // Upward faces run counter-clockwise in UV, so the outward normal of edge k is (ey, -ex);
    // this is the cell corner least far out along it.
    const double nearest =
        ey * ((ey > 0 ? x0 : x1) - test.corners->x[k]) - ex * ((ex > 0 ? y1 : y0) - test.corners->y[k]);
    if (nearest > test.limit[k]) return false;
  }
  return true;
}

SurfaceSampler::CellRange SurfaceSampler::CellsOfNode(const QuadNode& node) const {
  // The cells that overlap the node's square (half-open), whatever the node's size.
  const float s = float(gridSide_);
  const int x0 = int(node.min.x * s), y0 = int(node.min.y * s);
  return {x0, y0, std::max(x0, int(std::ceil(node.max.x * s)) - 1), std::max(y0, int(std::ceil(node.max.y * s)) - 1)};
}

void SurfaceSampler::InsertFace(int f, const Box2D& box) {
  if (root == nullptr || root->isLeaf || indexOfFace_[static_cast<std::size_t>(f)] < 0) return;
  InsertIntoNode(root, f, box);
}

void SurfaceSampler::InsertIntoNode(const QuadNode* node, int f, const Box2D& box) {
  const CellRange reached = CellsReached(box, gridSide_);
  const CellRange own = CellsOfNode(*node);
  const CellRange r{std::max(reached.x0, own.x0), std::max(reached.y0, own.y0), std::min(reached.x1, own.x1),
                    std::min(reached.y1, own.y1)};
  const auto side = static_cast<std::size_t>(gridSide_);
  const auto position = static_cast<std::uint32_t>(indexOfFace_[static_cast<std::size_t>(f)]);
  const IndexedFace& t = indexed_[position];
  const CoverageTest test = MakeCoverageTest(t, reached);
  // The box in sixteenths of a cell from the grid's origin. Scaling a float by a power of two is
  // exact in double, so floor(16 (m G - i)) = floor(16 m G) - 16 i, Span's value, in integers;
  // clamping first keeps far boxes in range and clamps them as Span does.
  const double s16 = 16.0 * gridSide_;
  const double limit = s16 + 16.0;
  // floor by conversion, not a library call for each corner of every face. A box with a NaN
  // corner is never inserted (its face is not upward).
  const auto sixteenths = [limit](double a) {
    const double c = std::clamp(a, -16.0, limit);
    const auto i = static_cast<std::int64_t>(c);
    return c < static_cast<double>(i) ? i - 1 : i;
  };
  const std::int64_t minX = sixteenths(t.minX * s16), maxX = sixteenths(t.maxX * s16);
  const std::int64_t minY = sixteenths(t.minY * s16), maxY = sixteenths(t.maxY * s16);
  const auto span = [](std::int64_t lo, std::int64_t hi, int i) {
    const auto clamp15 = [](std::int64_t v) { return static_cast<unsigned>(std::clamp<std::int64_t>(v, 0, 15)); };
    const std::int64_t origin = std::int64_t{16} * i;
    return static_cast<std::uint8_t>(clamp15(lo - origin) | clamp15(hi - origin) << 4);
  };
  for (int y = r.y0; y <= r.y1; ++y) {
    const std::uint8_t spanV = span(minY, maxY, y);
    for (int x = r.x0; x <= r.x1; ++x) {
      if (!MayCoverCell(test, x, y, gridSide_)) continue;
      const std::size_t c = static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x);
      // Every cell starts in face order; OrderLayeredCells keys and sorts the piles.
      cellFaces_[cellFill_[c]++] = CellEntry{position, kNoStopKey, span(minX, maxX, x), spanV};
    }
  }
}

void SurfaceSampler::FreeTree() {
  root = nullptr;
  Release(nodes_);
  Release(indexed_);
  Release(cellStart_);
  Release(cellFaces_);
  gridSide_ = 0;
}

std::span<const SurfaceSampler::CellEntry> SurfaceSampler::CellFaces(int cx, int cy) const {
  const std::size_t c =
      static_cast<std::size_t>(cy) * static_cast<std::size_t>(gridSide_) + static_cast<std::size_t>(cx);
  return {cellFaces_.data() + cellStart_[c], cellStart_[c + 1] - cellStart_[c]};
}

bool SurfaceSampler::FindTopFace(float u, float v, Hit& hit) const {
  // The tree's leaves tile [0, 1) x [0, 1) with closed lower and open upper bounds.
  if (!(u >= 0.0f && u < 1.0f && v >= 0.0f && v < 1.0f) || gridSide_ == 0) return false;
  const CellPoint at = LocateInGrid(u, v);
  return TopFaceIn(CellFaces(at.cx, at.cy), u, v, at.su, at.sv, hit, false);
}

SurfaceSampler::CellPoint SurfaceSampler::LocateInGrid(float u, float v) const {
  const float s = float(gridSide_);
  // u * s is exact, and so is its fraction (a float minus its integer part), which gives the
  // sixteenth of the cell the point lies in, the unit of the entries' spans.
  const float cellU = u * s, cellV = v * s;
  const int cx = int(cellU), cy = int(cellV);
  return {cx, cy, static_cast<unsigned>((cellU - float(cx)) * 16.0f),
          static_cast<unsigned>((cellV - float(cy)) * 16.0f)};
}

inline bool SurfaceSampler::TopFaceIn(std::span<const CellEntry> list, float u, float v, unsigned su, unsigned sv,
                                      Hit& hit, bool rowWalk) const {
  // The literal walk keeps the first face of the greatest height in increasing face order, that
  // is the lowest face index among equal heights. Positions in indexed_ follow face order, so
  // the same winner is the greatest height, then the lowest position, in any visiting order.
  bool found = false;
  float best = 0.0f;
  std::uint32_t bestPosition = 0;
  Point3 bestBary;
  const auto spanHolds = [su, sv](const CellEntry& entry) {
    // Outside the rounded-out box is outside the box: the exact test would fail.
    return ((entry.spanU & 15u) <= su) & (su <= unsigned(entry.spanU >> 4)) & ((entry.spanV & 15u) <= sv) &
           (sv <= unsigned(entry.spanV >> 4));
  };
  const auto consider = [&](std::uint32_t position) {
    const IndexedFace& t = indexed_[position];
    // Non-short-circuit: the four tests are cheaper than a mispredicted branch each.
    if (!((t.minX <= u) & (u <= t.maxX) & (t.minY <= v) & (v <= t.maxY))) return;
    const Point3 b = BaryCoords2D(Point3(t.x[0], t.y[0], 0.0f), Point3(t.x[1], t.y[1], 0.0f),
                                  Point3(t.x[2], t.y[2], 0.0f), t.inverseDoubleArea, u, v);
    if (!(InUnitRange(b.x) & InUnitRange(b.y) & InUnitRange(b.z))) return;
    if (!(std::fabs(b.z + b.y + b.x - 1.0f) <= 1e-6f)) return;
    const float h = b.z * t.z[2] + b.y * t.z[1] + b.x * t.z[0];
    if (!found || h > best || (h == best && position < bestPosition)) {
      best = h;
      bestPosition = position;
      bestBary = b;
    }
    found = true;
  };
  const bool faceOrder = list.empty() || list.front().boundKey == kNoStopKey;
  if (faceOrder && rowWalk) {
    // Along a row the cell's records stay in cache, and their own box test is as cheap as the
    // spans'.
    for (const CellEntry& entry : list) consider(entry.position);
  } else if (faceOrder) {
    // A cell in face order never stops early. Its span tests run without a branch, gathering
    // the faces whose box may hold the point; on a sheet their pattern changes from cell to
    // cell, and a branch on each would be mispredicted often.
    constexpr std::size_t kBatch = 32;
    std::uint32_t gathered[kBatch];
    for (std::size_t at = 0; at < list.size(); at += kBatch) {
      const std::size_t end = std::min(list.size(), at + kBatch);
      std::size_t n = 0;
      for (std::size_t i = at; i < end; ++i) {
        gathered[n] = list[i].position;
        n += spanHolds(list[i]) ? 1u : 0u;
      }
      for (std::size_t k = 0; k < n; ++k) consider(gathered[k]);
    }
  } else {
    unsigned bestKey = 0;  // BoundKey(best)
    for (const CellEntry& entry : list) {
      // Every later entry's key is at most this one's, and a key below BoundKey(best) belongs to
      // a bound below best: none of them can return best or more.
      if (found) {
        bestKey = BoundKey(best);
        if (entry.boundKey < bestKey) break;
      }
      if (spanHolds(entry)) consider(entry.position);
    }
  }
  if (found) hit = {indexed_[bestPosition].face, bestBary, best};
  return found;
}

std::uint32_t SurfaceSampler::OrderKey(float f) {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

std::uint16_t SurfaceSampler::BoundKey(float height) {
  // Monotonic, so a key below another's is a smaller float: bound < best.
  return static_cast<std::uint16_t>(OrderKey(height) >> 16);
}

float SurfaceSampler::HeightBound(float z0, float z1, float z2) {
  // A query accepts weights b in [0, 1] whose float sum is within 1e-6 of 1, so their exact sum
  // is within 1.2e-6 of 1 and the exact interpolation is at most max z + 1.2e-6 max |z|. Its
  // three products and two sums round by at most 3 ulps of sum b |z| <= 1.0000012 max |z|
  // (another 1.8e-7 max |z|), and products below the normal range lose at most 2^-150 each.
  const double top = std::max({double(z0), double(z1), double(z2)});
  const double magnitude = std::max({std::fabs(double(z0)), std::fabs(double(z1)), std::fabs(double(z2))});
  const double bound = top + 4e-6 * magnitude + 1e-44;
  float rounded = static_cast<float>(bound);  // nearest, or +inf beyond the range
  if (double(rounded) < bound) rounded = std::nextafter(rounded, std::numeric_limits<float>::infinity());
  return rounded + 0.0f;  // never -0: equal bounds get equal keys
}

void SurfaceSampler::OrderLayeredCells() {
  const auto layered = [this](std::size_t c) { return double(cellCover_[c]) >= layeredFrom_; };
  std::size_t c = 0;
  while (c < cellCover_.size() && !layered(c)) ++c;
  if (c == cellCover_.size()) return;
  // One key per face, worked out in face order: a pile lists each face many times, and reading
  // its record for every entry would jump all over the records.
  std::vector<std::uint16_t> keys(indexed_.size());
  for (std::size_t i = 0; i < indexed_.size(); ++i) {
    const IndexedFace& t = indexed_[i];
    keys[i] = BoundKey(HeightBound(t.z[0], t.z[1], t.z[2]));
  }
  for (; c < cellCover_.size(); ++c) {
    if (!layered(c)) continue;
    CellEntry* const first = cellFaces_.data() + cellStart_[c];
    CellEntry* const last = cellFaces_.data() + cellStart_[c + 1];
    for (CellEntry* entry = first; entry < last; ++entry) entry->boundKey = keys[entry->position];
    // The entries were written in increasing position, so a stable order by key alone is the
    // order wanted; most lists are short, where insertion beats a general sort.
    if (last - first <= 48) {
      for (CellEntry* i = first + 1; i < last; ++i) {
        const CellEntry moving = *i;
        CellEntry* j = i;
        for (; j > first && (j - 1)->boundKey < moving.boundKey; --j) *j = *(j - 1);
        *j = moving;
      }
    } else {
      std::stable_sort(first, last, [](const CellEntry& a, const CellEntry& b) { return a.boundKey > b.boundKey; });
    }
  }
}

bool SurfaceSampler::HeightAt(Point3 p, float& height) const {
  if (root == nullptr) {
    height = 0.0f;
    return false;
  }
  Hit hit;
  if (!FindTopFace(p.x, p.y, hit)) return false;
  height = WithinFloatRange(hit.height);
  return true;
}

void SurfaceSampler::HeightRow(const Point2* uv, int count, float* out) const {
  if (root == nullptr || gridSide_ == 0) {
    std::fill(out, out + count, 0.0f);
    return;
  }
  int cellX = -1, cellY = -1;
  std::span<const CellEntry> list;
  for (int i = 0; i < count; ++i) {
    const float u = uv[i].x, v = uv[i].y;
    if (!(u >= 0.0f && u < 1.0f && v >= 0.0f && v < 1.0f)) {
      out[i] = 0.0f;
      continue;
    }
    const CellPoint at = LocateInGrid(u, v);
    if (at.cx != cellX || at.cy != cellY) {
      list = CellFaces(at.cx, at.cy);
      cellX = at.cx;
      cellY = at.cy;
    }
    // FilteredHeight's mean of one tap, divided by 1, is the tap itself.
    Hit hit;
    out[i] = TopFaceIn(list, u, v, at.su, at.sv, hit, true) ? WithinFloatRange(hit.height) : 0.0f;
  }
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
  return WithinFloatRange(sum / count);
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
  for (int y = r.y0; y <= r.y1; ++y) {
    for (int x = r.x0; x <= r.x1; ++x) {
      for (const CellEntry& entry : CellFaces(x, y)) {
        const IndexedFace& t = indexed_[entry.position];
        // A cell coarser than the leaf also lists faces that only reach its other parts.
        if (t.maxX >= leaf.min.x && t.minX <= leaf.max.x && t.maxY >= leaf.min.y && t.minY <= leaf.max.y) {
          faces.push_back(t.face);
        }
      }
    }
  }
  std::sort(faces.begin(), faces.end());
  faces.erase(std::unique(faces.begin(), faces.end()), faces.end());
  return faces;
}

std::size_t SurfaceSampler::IndexBytes() const {
  return nodes_.capacity() * sizeof(QuadNode) + indexed_.capacity() * sizeof(IndexedFace) +
         cellStart_.capacity() * sizeof(std::uint32_t) + cellFaces_.capacity() * sizeof(CellEntry) +
         static_cast<std::size_t>(faceBoxes.Count()) * sizeof(Box2D);
}
