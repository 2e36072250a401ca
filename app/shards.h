// A bake cut into shards, one per tile of the image: each shard is a scene whose baked map holds
// only the faces its tile can see, so a tile renders on a machine that never holds the whole mesh.
//
// Why a shard renders its tile exactly as the whole mesh does: the height at a point is decided
// by the upward faces whose UV box holds it (lowest face index on ties), and the normal of the
// winning face by the faces sharing its vertices. A shard keeps
//   - every face whose UV box, grown by a margin, reaches the points its tile's pixels sample
//     (pixel centres, the filter's side taps and the numerical derivative's steps),
//   - every face sharing a vertex with one of those (the normals' one-ring),
// in their original relative order (ties and the order normals are summed in are unchanged), and
// two vertices no face uses at the corners of the whole mesh's box, so the shard is placed in UV
// space exactly as the whole mesh is (the box is taken over all finite vertices, used or not).
// A tile no face reaches gives a shard without faces: it renders the blank tile.
//
// The shard's map carries where it came from in its name (source hash, tile, grid, image size),
// which `veldmap render` reads to refuse a task that would not give the whole image's pixels and to
// label the tile with the source's hash, which `veldmap join` compares.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "app/mesh_io.h"
#include "app/render.h"
#include "app/scene_setup.h"
#include "app/session.h"
#include "host/mesh.h"
#include "host/mtl_base.h"

struct SplitOptions {
  std::string tiles;   // ROWSxCOLS
  std::string folder;  // where the shards and the manifest go
  int size = 512, width = 0, height = 0;
  bool announce = false;  // each shard's manifest entry on standard output once it is saved
};

// veldmap split: reads the mesh once, writes one shard scene per tile and manifest.json.
int Split(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
          const SplitOptions& options);

struct TileGrid {
  int rows = 0, cols = 0;
  int Count() const { return rows * cols; }
};
// "ROWSxCOLS", both 1 or more; false with *error otherwise.
bool ParseTileGrid(const std::string& text, TileGrid* grid, std::string* error);

// SHA-256 of a file's bytes as 64 hex digits, read in blocks; false with *error when unreadable.
bool HashFile(const std::string& path, std::string* hex, std::string* error);

// The UV rectangle (map UV, V up) a tile's pixels may sample in a render of width x height with
// the UV generator at its defaults: pixel centres, filter taps and derivative steps, and the
// pixels round the tile that the slope and hillshade read.
struct UVRect {
  double u0 = 0, v0 = 0, u1 = 0, v1 = 0;
};
UVRect TileReach(const Tile& tile, int width, int height);

// Cuts one mesh into the shards of a grid of tiles. Holds one bit per vertex and tile, and walks
// the faces once to mark them and once per shard (reading only the blocks of faces that can hold
// some of the shard's); while a shard is made, also a bit per vertex and the shard itself.
class ShardCutter {
 public:
  // A mesh held whole; it must outlive the cutter.
  ShardCutter(const Mesh& mesh, const Placement& placement, int width, int height, TileGrid grid);
  // The vertices of vertices (its faces are not looked at) and the faces of faces, which are walked
  // and never held: both must outlive the cutter. Faces with an index beyond the vertices are
  // passed over, as the map passes over them.
  ShardCutter(const Mesh& vertices, const FaceSource& faces, const Placement& placement, int width, int height,
              TileGrid grid);
  ~ShardCutter();
  ShardCutter(const ShardCutter&) = delete;
  ShardCutter& operator=(const ShardCutter&) = delete;

  int TileCount() const { return grid_.Count(); }
  // The tile's pixels, as `veldmap render --tile I/N --tile-rows R --tile-cols C` cuts them.
  Tile PixelTile(int index) const;
  // The shard of tile index (from 0): kept faces in their original order over the vertices they
  // use (in their original order), then the box's two corners. Throws BadInput if the faces can
  // no longer be read.
  Mesh Shard(int index) const;

 private:
  void Mark(const Placement& placement);

  const std::vector<Point3>& verts_;
  std::unique_ptr<FaceSource> owned_;  // the whole mesh's faces, when given a mesh
  const FaceSource& faces_;
  int width_, height_;
  TileGrid grid_;
  std::vector<Point3> corners_;                    // the box of the finite vertices; none if empty
  std::vector<std::vector<std::uint64_t>> marks_;  // per tile: vertices of faces reaching it
  // Per block of faces as they are walked, the lowest and highest vertex its faces use.
  struct Span {
    DWORD lo = ~DWORD{0}, hi = 0;
  };
  std::vector<Span> spans_;
};

// The faces of a mesh held whole, as a source to walk.
std::unique_ptr<FaceSource> FacesOf(const Mesh& mesh);

// Faces turned up as the import's --orient up turns them (a downward face gets its second and
// third vertex swapped), for faces that are walked rather than held.
class OrientedFaces final : public FaceSource {
 public:
  OrientedFaces(const Mesh& vertices, const FaceSource& faces) : verts_(vertices.verts), faces_(faces) {}
  std::size_t FaceCount() const override { return faces_.FaceCount(); }
  bool Read(std::size_t first, std::size_t count, Face* out) const override;

 private:
  const std::vector<Point3>& verts_;
  const FaceSource& faces_;
};

// What ImportOne finds of a mesh's winding, from faces that are walked rather than held: with
// orientUp, of the faces as OrientedFaces turns them, and how many it turns. hasUpward: some face
// faces up, as HasUpwardFace tests it.
struct WalkedWinding {
  Winding winding;
  bool hasUpward = false;
};
WalkedWinding WindingOf(const Mesh& vertices, const FaceSource& original, bool orientUp);

// What a shard's map says about where it came from.
struct ShardInfo {
  std::string sourceHash;  // SHA-256 of the mesh file
  std::string sourceName;  // the mesh file's name, without its folder
  int index = 0;           // from 1
  TileGrid grid;
  int width = 0, height = 0;
  Placement placement;  // what the map held when loaded, before any option
  // The source mesh's faces by winding: a tile's metadata describes the whole mesh, as a tile of
  // a plain render does, not the part its shard holds.
  Winding winding;
};
std::string ShardMapName(const ShardInfo& info);
// nullopt for a map that is not a shard.
std::optional<ShardInfo> ShardOf(Texmap* map, TimeValue t);
// Refuses (UsageError) rendering a shard other than as the tile it was cut for: another tile,
// grid or size, a changed placement, UV generator options (which would sample elsewhere) or the
// whole map's preview. tile is what the render cut; shardPath names the file in messages.
void CheckShardTask(const ShardInfo& shard, Texmap* map, const MapOptions& mapOptions, const OutputOptions& out,
                    int width, int height, const Tile& tile, TimeValue t, const std::string& shardPath);
// The veldmap:source entry of a shard's tiles: the same for every shard of one source.
std::string ShardSource(const ShardInfo& shard);
