// SurfaceSampler: the height field of one texture map.
//
// A snapshot of a triangle mesh is moved from its own coordinates into UV space (X -> U,
// Y -> V, Z -> height), and the faces that face upward (+Z) are indexed so that a query at a UV
// point tests only the faces whose UV box holds it. The answer at a point is the greatest
// interpolated height of the upward faces that cover it, the lowest face index winning ties.
//
// Units and frames. Rebuild takes the mesh in its own coordinates (object space); queries take
// points in UV space and return heights in height units; NormalAt answers in object space. Each
// axis is mapped on its own, by a factor and an offset, with the finite vertices' box
// (minX..maxX, minY..maxY, minZ..maxZ) and su = uScale / (maxX - minX), sv = vScale / (maxY - minY),
// fz = 1 / (maxZ - minZ) (each reciprocal 1 where it is not finite, see below):
//   normalisation on:  U = su (x - minX) + uOffset,   V = sv (y - minY) + vOffset,   h = fz (z - minZ)
//   normalisation off: U = uScale x + uOffset,        V = vScale y + vOffset,        h = fz z
// So heights run 0..1 with normalisation on and keep their offset from zero with it off, and one
// unit of U, V and h is 1 / su, 1 / sv (uScale, vScale off) and 1 / fz object units. workMesh and
// faceBoxes hold UV-space positions. A slope in true degrees from height derivatives in UV:
// tan(slope) = sqrt((dh/dU su)^2 + (dh/dV sv)^2) / fz, with su = uScale, sv = vScale when off.
//
// Threads: the queries (HeightAt, HeightRow, FilteredHeight, NormalAt) are const, take no lock and
// allocate nothing; any number may run at once. Nothing may run while Rebuild or a setter does.
//
// Rules for meshes the normalisation cannot place:
//  - an extent (maxX - minX, maxY - minY or maxZ - minZ) whose reciprocal is not finite (zero,
//    denormal) leaves that axis unscaled: its factor is 1. A flat mesh therefore has height 0
//    everywhere with normalisation on, and its own Z with it off; a mesh with no width in U or V
//    has no upward face and answers nothing.
//  - vertices with a NaN or infinite coordinate do not count toward the bounding box; a mesh
//    without any finite vertex is treated as having its box at the origin with zero extents.
//  - a face with a vertex index outside the mesh is never indexed and adds no vertex normal; its
//    UV box stays empty. A face whose normalised vertices are not all finite is never indexed.
//  - a face whose normal in object space, (V1 - V0) x (V2 - V1), is not finite adds no vertex
//    normal (a vertex that is not finite always makes it so; so does a face too large for the
//    cross product): added, it would turn the normals of the good faces sharing its records to NaN.
//  - an interpolated height, or the mean of FilteredHeight, that rounds past the float range
//    (corners within about 1e-6 of +-FLT_MAX) is returned as +-FLT_MAX.
// So every height a query returns is finite.
//
// Layout: the quadtree's leaves list every upward face whose closed UV box reaches them, and a
// point lies in exactly one leaf, so the answer at a point does not depend on quadTreeDepth:
// it is decided by the faces whose box holds the point. The tree is kept (one arena, children
// consecutive) but queries do not walk it. They read a flat "cell grid" of G x G cells instead
// (G a power of two chosen from the face count and box sizes: up to 2048, and 128 or more unless
// faces with large boxes would fill too many cells; see EstimateIndex), each cell listing the
// upward faces whose box reaches it, less those whose triangle, grown by a margin far wider than
// the rounding of the barycentric test, misses the cell: faces that could not be accepted
// anywhere in it. The answers therefore equal the literal tree's, bit for bit, at every depth.
// Each listed face keeps one cache line with its box, UV corners, heights and inverse doubled
// area, so testing a face touches one line and no other table.
//
// Early stop: a cell where faces pile up (SetLayeredFrom) lists them from the highest HeightBound
// down (lowest face first among equal bounds), and a query stops at the first entry whose bound
// is below the best height found: no face after it can return more. Where layers are stacked,
// the top one is usually found first and the rest are never read. The bound holds for the float
// arithmetic of the interpolation, and equal heights still go to the lowest face index, so no
// answer changes. Each entry also holds its face's box within the cell in sixteenths of a cell,
// rounded outward, so most faces whose box misses the point are passed over without reading
// their record.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "host/geometry.h"
#include "host/mesh.h"
#include "host/tab.h"
#include "sampler/normal_chain.h"
#include "sampler/quad_node.h"

// std::allocator, except that growing a vector leaves trivial elements uninitialised: a table
// whose every element is written before it is read need not be cleared first.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <typename U>
  explicit UninitialisedAllocator(const UninitialisedAllocator<U>&) {}
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

class SurfaceSampler {
 public:
  SurfaceSampler() = default;
  SurfaceSampler(const SurfaceSampler&) = delete;
  SurfaceSampler& operator=(const SurfaceSampler&) = delete;

  // Settings, read by the next rebuild.
  int normalizeMesh = 1;  // non-zero: translate to the box minimum and scale X and Y to 0..1
  int quadTreeDepth = 6;  // node levels, root included; held within 2..10 by callers
  float uOffset = 0.0f;
  float vOffset = 0.0f;
  float uScale = 1.0f;
  float vScale = 1.0f;

  // Derived state, replaced by every rebuild.
  Tab<NormalChain> normalChains;  // one head per vertex of workMesh
  Mesh workMesh;                  // mesh in UV space after a rebuild
  Mesh storedMesh;                // baked mesh, raw; untouched by rebuilds
  Tab<Box2D> faceBoxes;           // UV box of every face of workMesh
  QuadNode* root = nullptr;       // root of the face index, null until the first rebuild

  // Replaces all derived state from mesh: copies it, computes the vertex normals in the mesh's
  // own coordinates, normalises the copy into UV space and indexes its upward faces.
  void Rebuild(const Mesh& mesh);
  void RebuildFromStoredMesh();

  void SetStoredMesh(const Mesh& mesh) { storedMesh = mesh; }
  Mesh GetStoredMesh() const { return storedMesh; }
  void CopyStoredMeshFrom(const SurfaceSampler& other) { storedMesh = other.storedMesh; }

  // Height (normalised Z) at UV point (p.x, p.y); p.z is ignored. Returns whether a face covers
  // the point. On success height is written; on a miss it is left alone, except that before the
  // first rebuild it is set to 0. Points outside [0, 1) x [0, 1) find nothing.
  bool HeightAt(Point3 p, float& height) const;

  // Mean of one, three or five HeightAt taps: the centre, plus u +- du/2 when du != 0 and
  // v +- dv/2 when dv != 0. A centre miss counts 0. The side taps share one variable set to 0
  // once, so a side tap that misses repeats the value of the latest side tap that hit.
  float FilteredHeight(float u, float v, float du, float dv) const;

  // out[i] = FilteredHeight(uv[i].x, uv[i].y, 0, 0) for i < count, bit for bit: a row of a bake
  // in one call, looking a cell's list up again only when the points leave it.
  void HeightRow(const Point2* uv, int count, float* out) const;

  // Smoothing-group normal, in the mesh's own coordinates, of the face that wins HeightAt at p:
  // its three corner normals blended with its barycentric weights, not renormalised. On a miss
  // returns false with normal (0, 0, 0).
  bool NormalAt(Point3 p, Point3& normal) const;

  // The vertex-normal pass over workMesh (called by Rebuild before normalising).
  void ComputeVertexNormals();

  // Releases the whole face index; root becomes null and queries find nothing until the next
  // rebuild. The meshes, normals and face boxes stay.
  void FreeTree();

  // The greatest height a query can compute for a face whose corners have heights z0, z1, z2,
  // rounding included: the weights it accepts lie in [0, 1] and sum to 1 within about 1.1e-6,
  // and the float interpolation b2 z2 + b1 z1 + b0 z0 adds at most a few ulps of its terms, so
  // the highest corner plus 4e-6 of the largest magnitude (and a little for products that fall
  // into the denormals), rounded up, is never below it. +inf where that passes the float range.
  static float HeightBound(float z0, float z1, float z2);

  // Whether face f passes the index's upward test: counter-clockwise seen from +Z in UV
  // (c = Normalize(Q - P) x Normalize(R - P) has c.z > 0), with valid, finite vertices.
  bool FacesUpward(int f) const;

  // Inspection, for tests and tools.
  // The leaf holding p, found by descending from the root with QuadrantOf; null if none.
  const QuadNode* FindLeaf(const Point3& p) const;
  // Every face listed in the cells of leaf, in increasing face order: the upward faces whose box
  // reaches the leaf, less those whose triangle cannot (allocates; not for the query path).
  std::vector<int> LeafFaces(const QuadNode& leaf) const;
  int CellsPerSide() const { return gridSide_; }
  // Bytes the face index holds: the node arena, the face records, the cell grid's offsets and
  // lists, and faceBoxes (capacities, so a sampler rebuilt from a larger mesh reports more).
  std::size_t IndexBytes() const;

  // What Rebuild(mesh) with the current settings would make IndexBytes() of a fresh sampler,
  // worked out without building the index, by the steps Rebuild takes: the same placement,
  // upward test, grid side and cells listed. It is exact unless the lists overflow 32-bit
  // offsets and Rebuild coarsens the grid, which lists fewer; then it is a bound. Costs the
  // placed vertices (12 bytes each; the faces are read where they are) and the time of Rebuild's
  // counting pass. The node arena, the one part that grows with quadTreeDepth, is at most 11 MB
  // (depth 10).
  struct IndexEstimate {
    int gridSide = 0;               // CellsPerSide() after the rebuild, or more if it coarsens
    std::int64_t upwardFaces = 0;   // faces the index will hold
    std::uint64_t nodeBytes = 0;    // the node arena at the depth
    std::uint64_t listEntries = 0;  // face entries over all cells, at most
    std::uint64_t bytes = 0;        // bound on IndexBytes()
  };
  IndexEstimate EstimateIndex(const Mesh& mesh) const;
  // A quick upper bound on EstimateIndex(mesh): the same upward faces, grid side and node
  // arena, but each face counted in every cell its UV box reaches, without asking whether its
  // triangle may cover the cell. bytes and listEntries are never below EstimateIndex's.
  IndexEstimate BoundIndex(const Mesh& mesh) const;
  // A bound on BoundIndex(mesh).bytes, hence on IndexBytes() after Rebuild(mesh) with the chosen
  // grid, for any mesh of faceCount faces under any placement, from the count alone: every face
  // upward, the finest grid that count allows, and the list entries that ChooseGridSide's budget
  // permits (each face reaches at most (wG + 2)(hG + 2) cells, twice what the budget counts for
  // it, plus two). It costs nothing, so a caller with memory to spare can skip the mesh walk.
  std::uint64_t IndexCeiling(std::int64_t faceCount) const;
  // Bytes of one entry of a cell list (a face's position, height bound and box in the cell).
  static constexpr std::size_t kCellEntryBytes = 8;
  // Makes the next rebuilds use a cell grid of side cells a side (a power of two) instead of
  // the one they would choose; 0 restores the choice. The answers do not depend on it.
  void SetGridSide(int side) { forcedGridSide_ = side; }
  // Cells that the listed faces' boxes cover this many times over or more (a pile of layers)
  // list those faces from the highest height bound down, so a query stops once no face left can
  // win; the others keep increasing face order and never stop early: on a single sheet the
  // bounds of a cell's faces overlap, the stop would not come, and a bake's raster walk runs
  // faster through face order. 0 orders every cell by bound. The answers do not depend on it.
  void SetLayeredFrom(double layers) { layeredFrom_ = layers; }
  static constexpr double kLayeredFrom = 2.5;
  int NodeCount() const { return static_cast<int>(nodes_.size()); }

 private:
  struct CellRange {
    int x0, y0, x1, y1;  // inclusive; empty when x0 > x1 or y0 > y1
    bool IsEmpty() const { return x0 > x1 || y0 > y1; }
    std::int64_t Cells() const { return IsEmpty() ? 0 : std::int64_t(x1 - x0 + 1) * (y1 - y0 + 1); }
  };
  // The winning face at a point: index, barycentric weights and height.
  struct Hit {
    int face;
    Point3 bary;
    float height;
  };
  // An upward face as the queries read it, copied from faceBoxes and workMesh: one cache line.
  struct alignas(64) IndexedFace {
    float minX, minY, maxX, maxY;  // its UV box
    float x[3], y[3], z[3];        // its corners v[0], v[1], v[2]
    std::int32_t face;             // index into workMesh
    double inverseDoubleArea;      // as InverseDoubleArea2D of its UV corners
    Box2D Box() const { return Box2D({minX, minY}, {maxX, maxY}); }
  };
  static_assert(sizeof(IndexedFace) == 64);
  // One entry of a cell's list, so that the early stop and a first box test are decided from
  // the list alone, without touching the records they skip.
  // The key of every entry of a cell in face order: above any bound, so it never stops a query.
  static constexpr std::uint16_t kNoStopKey = 0xFFFF;
  struct CellEntry {
    std::uint32_t position;  // in indexed_
    // BoundKey of the face's HeightBound: the top 16 bits of its order key.
    std::uint16_t boundKey;
    // The face's UV box within the cell, in sixteenths of the cell rounded outward (clamped to
    // the cell): the low nibble is the first sixteenth it reaches, the high nibble the last.
    std::uint8_t spanU, spanV;
  };
  static_assert(sizeof(CellEntry) == kCellEntryBytes);

  // Index construction, only within Rebuild. Subdivide grows node into a complete tree of
  // levels levels (its own included). InsertFace stores face f, if it faces upward, in every
  // cell its box reaches and its triangle may reach, InsertIntoNode within node's square; the
  // cell lists were sized by a counting pass beforehand, and faces are inserted in face order and
  // the layered cells reordered (OrderLayeredCells).
  void Subdivide(QuadNode* node, int levels);
  void InsertFace(int f, const Box2D& box);
  void InsertIntoNode(const QuadNode* node, int f, const Box2D& box);
  // Moves mesh from object space into UV space with the current settings.
  void NormaliseMesh(Mesh& mesh) const;
  // The UV-space positions NormaliseMesh would give mesh's vertices, bit for bit, leaving the
  // mesh alone.
  std::vector<Point3> PlacedVertices(const Mesh& mesh) const;
  // How NormaliseMesh moves one vertex, from the finite vertices' box.
  struct VertexPlacement {
    bool normalize;
    Point3 lo;
    float su, sv, fz, uOffset, vOffset;
    Point3 operator()(Point3 p) const {
      if (normalize) p -= lo;
      p.x = su * p.x + uOffset;
      p.y = sv * p.y + vOffset;
      p.z = fz * p.z;
      return p;
    }
  };
  VertexPlacement PlacementFor(const Box3& bounds) const;
  // Faces over vertices already in UV space: workMesh's, or the faces of a mesh over its
  // placed vertices.
  struct UVFaces {
    std::span<const Point3> verts;
    std::span<const Face> faces;
    explicit UVFaces(const Mesh& uvMesh) : verts(uvMesh.verts), faces(uvMesh.faces) {}
    UVFaces(std::span<const Point3> v, std::span<const Face> f) : verts(v), faces(f) {}
    bool IsValid(int f) const {
      const Face& face = faces[static_cast<std::size_t>(f)];
      const auto count = static_cast<DWORD>(verts.size());
      return face.v[0] < count && face.v[1] < count && face.v[2] < count;
    }
  };
  IndexEstimate Estimate(const Mesh& mesh, bool exact) const;
  void ComputeFaceBoxes();
  static Box2D FaceBox(const UVFaces& uv, int f);
  static bool FacesUpward(const UVFaces& uv, int f);
  // The sizing rule of the cell grid, fed with the UV box of every upward face.
  struct GridStats {
    double sumArea = 0.0, sumSides = 0.0;
    std::int64_t count = 0;
    void Add(const Box2D& box);
  };
  static int ChooseGridSide(const GridStats& stats);
  static IndexedFace MakeIndexedFace(const UVFaces& uv, int f, const Box2D& box);
  // The cells of a side x side grid that face t is listed in; adds one to counts[cell] for
  // each (row-major) when counts is not null.
  // When cover is not null, adds to cover[cell] the part of the cell the face's box covers.
  static std::uint64_t CountCells(const IndexedFace& t, int side, std::uint32_t* counts, float* cover = nullptr);
  static CellRange CellsReached(const Box2D& box, int side);
  // The grown edges of one face, to rule out the cells of its box that its triangle misses.
  struct CoverageTest {
    const IndexedFace* corners = nullptr;  // null: every cell of the box counts
    double edgeX[3], edgeY[3], limit[3];
  };
  static CoverageTest MakeCoverageTest(const IndexedFace& t, const CellRange& cells);
  static bool MayCoverCell(const CoverageTest& test, int cx, int cy, int side);
  CellRange CellsOfNode(const QuadNode& node) const;
  bool FindTopFace(float u, float v, Hit& hit) const;
  // The cell of a point of [0, 1)^2, and the sixteenth of it the point lies in along each axis.
  struct CellPoint {
    int cx, cy;
    unsigned su, sv;
  };
  CellPoint LocateInGrid(float u, float v) const;
  // FindTopFace within one cell's list, the point known to lie in the cell, at sixteenth (su, sv)
  // of it. rowWalk: the caller walks a row through the cell (HeightRow).
  bool TopFaceIn(std::span<const CellEntry> list, float u, float v, unsigned su, unsigned sv, Hit& hit,
                 bool rowWalk) const;
  std::span<const CellEntry> CellFaces(int cx, int cy) const;
  // Floats (not NaN) as unsigned integers in the same order, -0 just below +0.
  static std::uint32_t OrderKey(float f);
  static std::uint16_t BoundKey(float height);
  // After the faces are inserted in face order, every entry keyed kNoStopKey (which never stops
  // a query): keys the layered cells' entries by their faces' HeightBound and orders those lists
  // by key from the highest, then increasing position. Only piles pay for the bounds.
  void OrderLayeredCells();

  NormalChainPool chainPool_;
  std::vector<QuadNode> nodes_;            // arena of the quadtree, root first
  int gridSide_ = 0;                       // G
  int forcedGridSide_ = 0;                 // SetGridSide, or 0
  double layeredFrom_ = kLayeredFrom;      // SetLayeredFrom
  std::vector<IndexedFace> indexed_;       // the upward faces, in increasing face order
  std::vector<std::int32_t> indexOfFace_;  // face -> position in indexed_, or -1 (during Rebuild)
  std::vector<std::uint32_t> cellStart_;   // G*G + 1 offsets into cellFaces_, row-major (y, x)
  // The lists (OrderLayeredCells); every entry is written by the insertion.
  std::vector<CellEntry, UninitialisedAllocator<CellEntry>> cellFaces_;
  std::vector<std::uint32_t> cellFill_;  // write cursors while faces are inserted
  std::vector<float> cellCover_;         // how many times over boxes cover each cell (during Rebuild)
};
