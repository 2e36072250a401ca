#include "app/shards.h"

#include <fmt/format.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <utility>

#include "app/mesh_frame.h"
#include "app/scene_setup.h"
#include "app/session.h"

namespace {

bool IsFinite(const Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

// 1 / extent, or 1 where that is not finite: the rule the map's normalisation follows.
float Reciprocal(float extent) {
  const float r = 1.0f / extent;
  return std::isfinite(r) ? r : 1.0f;
}

// The closest a derivative step gets to its centre in map UV, at the least: a texel of a
// 1024-wide map. Steps are the larger of this and half a pixel.
constexpr double kDerivStepFloor = 1.0 / 1024.0;

}  // namespace

bool ParseTileGrid(const std::string& text, TileGrid* grid, std::string* error) {
  int rows = 0, cols = 0, used = 0;
  if (std::sscanf(text.c_str(), "%dx%d%n", &rows, &cols, &used) != 2 || used != static_cast<int>(text.size()) ||
      rows < 1 || cols < 1 || rows > 65535 || cols > 65535) {
    *error = "--tiles " + text + ": use ROWSxCOLS, e.g. 4x4";
    return false;
  }
  grid->rows = rows;
  grid->cols = cols;
  return true;
}

bool HashFile(const std::string& path, std::string* hex, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  sha256_ctx context;
  sha256_init(&context);
  std::vector<char> block(std::size_t{1} << 20);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::streamsize got = in.gcount();
    if (got > 0)
      sha256_update(&context, static_cast<std::size_t>(got), reinterpret_cast<const std::uint8_t*>(block.data()));
  }
  if (in.bad()) {
    *error = path + ": read error";
    return false;
  }
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, SHA256_DIGEST_SIZE, digest);
  hex->clear();
  for (const std::uint8_t byte : digest) *hex += fmt::format("{:02x}", byte);
  return true;
}

UVRect TileReach(const Tile& tile, int width, int height) {
  const double w = width, h = height;
  // A pixel's filtered taps lie half a pixel off its centre, and a derivative step up to
  // max(half a pixel, kDerivStepFloor) further; the slope and hillshade also read the heights of
  // the pixels round the tile, whose taps reach a pixel and a half out. One more pixel covers
  // both, and a little more the float rounding of the UV generator's identity transform.
  const double mu = kDerivStepFloor + 2.0 / w + 1e-4, mv = kDerivStepFloor + 2.0 / h + 1e-4;
  UVRect r;
  r.u0 = (tile.x0 + 0.5) / w - mu;
  r.u1 = (tile.x0 + tile.width - 0.5) / w + mu;
  // Rows run down the image, V up it.
  r.v0 = 1.0 - (tile.y0 + tile.height - 0.5) / h - mv;
  r.v1 = 1.0 - (tile.y0 + 0.5) / h + mv;
  return r;
}

namespace {

// Faces between calls to a source: a few hundred kilobytes, so a walk stays in the caches.
constexpr std::size_t kWalkBlock = 16384;

// Calls visit(face) for every face of source in order, block by block of kWalkBlock faces,
// passing over the blocks take(block index) declines without reading them.
template <typename Take, typename Visit>
void Walk(const FaceSource& source, Take&& take, Visit&& visit) {
  const std::size_t total = source.FaceCount();
  std::vector<Face> block(std::min(total, kWalkBlock));
  for (std::size_t first = 0, b = 0; first < total; first += block.size(), ++b) {
    if (!take(b)) continue;
    const std::size_t count = std::min(block.size(), total - first);
    if (!source.Read(first, count, block.data())) {
      throw BadInput{"the mesh file changed while it was being split"};
    }
    for (std::size_t f = 0; f < count; ++f) visit(block[f]);
  }
}

template <typename Visit>
void Walk(const FaceSource& source, Visit&& visit) {
  Walk(
      source, [](std::size_t) { return true; }, std::forward<Visit>(visit));
}

// Whether any bit lo..hi (inclusive) of bits is set.
bool AnySet(const std::vector<std::uint64_t>& bits, std::size_t lo, std::size_t hi) {
  for (std::size_t w = lo / 64; w <= hi / 64; ++w) {
    std::uint64_t word = bits[w];
    if (w == lo / 64) word &= ~std::uint64_t{0} << (lo % 64);
    if (w == hi / 64 && hi % 64 != 63) word &= (std::uint64_t{1} << (hi % 64 + 1)) - 1;
    if (word != 0) return true;
  }
  return false;
}

bool Valid(const Face& face, std::size_t vertices) {
  return face.v[0] < vertices && face.v[1] < vertices && face.v[2] < vertices;
}

// FacingSign of a face over verts, as the import's orientation and facing counts take it.
int FacingSign(const std::vector<Point3>& verts, const Face& face) {
  return ::FacingSign(verts[face.v[0]], verts[face.v[1]], verts[face.v[2]]);
}

// As HasUpwardFace tests a face.
bool FacesUp(const std::vector<Point3>& verts, const Face& face) {
  const Point3 a = verts[face.v[0]], b = verts[face.v[1]], c = verts[face.v[2]];
  const float cross = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
  return cross > 0.0f && std::isfinite(cross);
}

class MeshFaces final : public FaceSource {
 public:
  explicit MeshFaces(const Mesh& mesh) : faces_(mesh.faces) {}
  std::size_t FaceCount() const override { return faces_.size(); }
  bool Read(std::size_t first, std::size_t count, Face* out) const override {
    std::copy_n(faces_.begin() + static_cast<std::ptrdiff_t>(first), count, out);
    return true;
  }

 private:
  const std::vector<Face>& faces_;
};

}  // namespace

std::unique_ptr<FaceSource> FacesOf(const Mesh& mesh) { return std::make_unique<MeshFaces>(mesh); }

bool OrientedFaces::Read(std::size_t first, std::size_t count, Face* out) const {
  if (!faces_.Read(first, count, out)) return false;
  for (std::size_t f = 0; f < count; ++f) {
    Face& face = out[f];
    if (Valid(face, verts_.size()) && FacingSign(verts_, face) < 0) std::swap(face.v[1], face.v[2]);
  }
  return true;
}

WalkedWinding WindingOf(const Mesh& vertices, const FaceSource& faces, bool orientUp) {
  const std::vector<Point3>& verts = vertices.verts;
  WalkedWinding found;
  found.winding.orientedUp = orientUp;
  FaceFacing& facing = found.winding.facing;
  Walk(faces, [&](Face face) {
    if (!Valid(face, verts.size())) return;
    int sign = FacingSign(verts, face);
    if (orientUp && sign < 0) {
      std::swap(face.v[1], face.v[2]);
      ++found.winding.turned;
      sign = FacingSign(verts, face);
    }
    facing.Add(sign);
    found.hasUpward = found.hasUpward || FacesUp(verts, face);
  });
  return found;
}

ShardCutter::ShardCutter(const Mesh& mesh, const Placement& placement, int width, int height, TileGrid grid)
    : verts_(mesh.verts), owned_(FacesOf(mesh)), faces_(*owned_), width_(width), height_(height), grid_(grid) {
  Mark(placement);
}

ShardCutter::ShardCutter(const Mesh& vertices, const FaceSource& faces, const Placement& placement, int width,
                         int height, TileGrid grid)
    : verts_(vertices.verts), faces_(faces), width_(width), height_(height), grid_(grid) {
  Mark(placement);
}

ShardCutter::~ShardCutter() = default;

void ShardCutter::Mark(const Placement& placement) {
  const TileGrid grid = grid_;
  Box3 box;
  box.Init();
  for (const Point3& p : verts_) {
    if (IsFinite(p)) box += p;
  }
  Point3 lo(0.0f, 0.0f, 0.0f), hi(0.0f, 0.0f, 0.0f);
  if (!box.IsEmpty()) {
    lo = box.Min();
    hi = box.Max();
    corners_ = {lo, hi};
  }
  // The map's own placement, step for step in float, so the boxes below are the map's to within
  // rounding; the margin added to each covers that.
  const float su = (placement.normalize ? Reciprocal(hi.x - lo.x) : 1.0f) * placement.uScale;
  const float sv = (placement.normalize ? Reciprocal(hi.y - lo.y) : 1.0f) * placement.vScale;
  const auto place = [&](Point3 p) {
    if (placement.normalize) p -= lo;
    return Point2(su * p.x + placement.uOffset, sv * p.y + placement.vOffset);
  };

  std::vector<UVRect> columns(static_cast<std::size_t>(grid.cols)), rows(static_cast<std::size_t>(grid.rows));
  for (int c = 0; c < grid.cols; ++c) columns[static_cast<std::size_t>(c)] = TileReach(PixelTile(c), width_, height_);
  for (int r = 0; r < grid.rows; ++r)
    rows[static_cast<std::size_t>(r)] = TileReach(PixelTile(r * grid.cols), width_, height_);

  const std::size_t words = (verts_.size() + 63) / 64;
  marks_.assign(static_cast<std::size_t>(grid.Count()), std::vector<std::uint64_t>(words, 0));
  spans_.assign((faces_.FaceCount() + kWalkBlock - 1) / kWalkBlock, Span{});
  std::size_t walked = 0;
  Walk(faces_, [&](const Face& face) {
    Span& span = spans_[walked++ / kWalkBlock];
    if (!Valid(face, verts_.size())) return;
    span.lo = std::min({span.lo, face.v[0], face.v[1], face.v[2]});
    span.hi = std::max({span.hi, face.v[0], face.v[1], face.v[2]});
    Point2 uv[3];
    bool finite = true;
    for (int k = 0; k < 3; ++k) {
      const Point3& p = verts_[face.v[k]];
      uv[k] = place(p);
      finite = finite && IsFinite(p) && std::isfinite(uv[k].x) && std::isfinite(uv[k].y);
    }
    // The map never indexes a face that is not finite in UV space.
    if (!finite) return;
    // Nor one that faces down; only a face clearly down is left out here, so the map's own
    // rounding at the edge of its upward test cannot make a difference.
    const double e1x = double(uv[1].x) - uv[0].x, e1y = double(uv[1].y) - uv[0].y;
    const double e2x = double(uv[2].x) - uv[0].x, e2y = double(uv[2].y) - uv[0].y;
    const double cross = e1x * e2y - e1y * e2x;
    const double lengths = std::hypot(e1x, e1y) * std::hypot(e2x, e2y);
    if (lengths > 1e-30 && cross < -1e-3 * lengths) return;

    double u0 = uv[0].x, u1 = uv[0].x, v0 = uv[0].y, v1 = uv[0].y;
    for (int k = 1; k < 3; ++k) {
      u0 = std::min(u0, double(uv[k].x));
      u1 = std::max(u1, double(uv[k].x));
      v0 = std::min(v0, double(uv[k].y));
      v1 = std::max(v1, double(uv[k].y));
    }
    // Float placement errs by a few units in the last place of the larger of its terms.
    const double slack = 1e-6 * (std::max({std::fabs(u0), std::fabs(u1), std::fabs(v0), std::fabs(v1)}) +
                                 std::fabs(placement.uOffset) + std::fabs(placement.vOffset)) +
                         1e-12;
    u0 -= slack;
    u1 += slack;
    v0 -= slack;
    v1 += slack;
    for (int r = 0; r < grid.rows; ++r) {
      const UVRect& row = rows[static_cast<std::size_t>(r)];
      if (v1 < row.v0 || v0 > row.v1) continue;
      for (int c = 0; c < grid.cols; ++c) {
        const UVRect& column = columns[static_cast<std::size_t>(c)];
        if (u1 < column.u0 || u0 > column.u1) continue;
        std::vector<std::uint64_t>& marks =
            marks_[static_cast<std::size_t>(r) * static_cast<std::size_t>(grid.cols) + static_cast<std::size_t>(c)];
        for (const DWORD v : face.v) marks[v / 64] |= std::uint64_t{1} << (v % 64);
      }
    }
  });
}

Tile ShardCutter::PixelTile(int index) const {
  Tile tile;
  std::string error;
  // The grid was checked against the image by the caller, so the cut cannot fail.
  SplitTile(width_, height_, index, grid_.Count(), grid_.rows, grid_.cols, &tile, &error);
  return tile;
}

Mesh ShardCutter::Shard(int index) const {
  const std::vector<std::uint64_t>& marks = marks_[static_cast<std::size_t>(index)];
  const auto marked = [&](DWORD v) { return (marks[v / 64] >> (v % 64) & 1) != 0; };
  // One walk collects the kept faces over the whole mesh's indices and which vertices they use;
  // a vertex's new index is then the count of used vertices before it, so the renumbering costs
  // a bit per vertex rather than an index.
  std::vector<std::uint64_t> used(marks.size(), 0);
  Mesh shard;
  // A block whose faces use no vertex marked for the tile holds none of its faces: it is not read.
  // Files list faces near one another together, so a tile's faces lie in a band of the blocks.
  const auto holdsSome = [&](std::size_t b) {
    const Span& span = spans_[b];
    return span.lo <= span.hi && AnySet(marks, span.lo, span.hi);
  };
  Walk(faces_, holdsSome, [&](const Face& face) {
    if (!Valid(face, verts_.size())) return;
    if (!marked(face.v[0]) && !marked(face.v[1]) && !marked(face.v[2])) return;
    for (const DWORD v : face.v) used[v / 64] |= std::uint64_t{1} << (v % 64);
    shard.faces.push_back(face);
  });
  std::vector<std::uint32_t> before(used.size() + 1, 0);
  for (std::size_t w = 0; w < used.size(); ++w) {
    before[w + 1] = before[w] + static_cast<std::uint32_t>(std::popcount(used[w]));
  }
  shard.verts.reserve(before.back() + corners_.size());
  for (std::size_t w = 0; w < used.size(); ++w) {
    for (std::uint64_t bits = used[w]; bits != 0; bits &= bits - 1) {
      shard.verts.push_back(verts_[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))]);
    }
  }
  shard.verts.insert(shard.verts.end(), corners_.begin(), corners_.end());
  for (Face& face : shard.faces) {
    for (DWORD& v : face.v) {
      const std::uint64_t below = (std::uint64_t{1} << (v % 64)) - 1;
      v = before[v / 64] + static_cast<DWORD>(std::popcount(used[v / 64] & below));
    }
  }
  return shard;
}

// ---- A shard's identity ----

std::string ShardMapName(const ShardInfo& info) {
  const FaceFacing& facing = info.winding.facing;
  return fmt::format(
      "veldmap shard 1; sha256 {}; tile {}/{}; grid {}x{}; size {}x{}; faces {} {} {} turned {} orient {}; source {}",
      info.sourceHash, info.index, info.grid.Count(), info.grid.rows, info.grid.cols, info.width, info.height,
      facing.up, facing.down, facing.vertical, info.winding.turned, info.winding.OrientName(), info.sourceName);
}

std::optional<ShardInfo> ShardOf(Texmap* map, TimeValue t) {
  const std::string name = map->GetName().str();
  ShardInfo info;
  char hash[65] = {}, orient[5] = {};
  int count = 0, used = 0;
  long long up = 0, down = 0, vertical = 0, turned = 0;
  if (std::sscanf(name.c_str(),
                  "veldmap shard 1; sha256 %64[0-9a-f]; tile %d/%d; grid %dx%d; size %dx%d; faces %lld %lld %lld "
                  "turned %lld orient %4[a-z]; source %n",
                  hash, &info.index, &count, &info.grid.rows, &info.grid.cols, &info.width, &info.height, &up, &down,
                  &vertical, &turned, orient, &used) != 12 ||
      used == 0) {
    return std::nullopt;
  }
  info.winding.facing = FaceFacing{up, down, vertical};
  info.winding.turned = turned;
  info.winding.orientedUp = std::string(orient) == "up";
  info.sourceHash = hash;
  info.sourceName = name.substr(static_cast<std::size_t>(used));
  if (info.sourceHash.size() != 64 || count != info.grid.Count() || info.index < 1 || info.index > count) {
    return std::nullopt;
  }
  int depth = 0;
  info.placement = BlockPlacement(Block(map), t, &depth);
  return info;
}

void CheckShardTask(const ShardInfo& shard, Texmap* map, const MapOptions& mapOptions, const OutputOptions& out,
                    int width, int height, const Tile& tile, TimeValue t, const std::string& shardPath) {
  Tile expected;
  std::string error;
  const bool cut = SplitTile(shard.width, shard.height, shard.index - 1, shard.grid.Count(), shard.grid.rows,
                             shard.grid.cols, &expected, &error);
  if (!cut || out.tile.empty() || width != shard.width || height != shard.height || tile.x0 != expected.x0 ||
      tile.y0 != expected.y0 || tile.width != expected.width || tile.height != expected.height) {
    throw UsageError{fmt::format(
        "{}: a shard holds only the faces of tile {}/{} of a {}x{} image cut {}x{}: render it with --tile {}/{} "
        "--tile-rows {} --tile-cols {} --width {} --height {}",
        shardPath, shard.index, shard.grid.Count(), shard.width, shard.height, shard.grid.rows, shard.grid.cols,
        shard.index, shard.grid.Count(), shard.grid.rows, shard.grid.cols, shard.width, shard.height)};
  }
  if (!mapOptions.uvOffset.empty() || !mapOptions.uvTiling.empty() || mapOptions.uvAngle || mapOptions.wrap ||
      mapOptions.mirrorU || mapOptions.mirrorV) {
    throw UsageError{shardPath +
                     ": a shard cannot be rendered with UV generator options (--uv-*, --wrap, --mirror-*): they "
                     "sample the map outside the tile's faces"};
  }
  const auto it = out.paths.find("preview");
  if ((it != out.paths.end() && !it->second.empty()) || (!out.output.empty() && out.kind == "preview")) {
    throw UsageError{shardPath + ": the preview shows the whole map, and a shard holds only one tile's faces"};
  }
  int depth = 0;
  const Placement now = BlockPlacement(Block(map), t, &depth);
  if (now.normalize != shard.placement.normalize || now.uOffset != shard.placement.uOffset ||
      now.vOffset != shard.placement.vOffset || now.uScale != shard.placement.uScale ||
      now.vScale != shard.placement.vScale) {
    throw UsageError{shardPath +
                     ": a shard keeps the placement it was cut with; --u-offset, --v-offset, --u-scale, --v-scale "
                     "and --no-normalize cannot change it"};
  }
}

std::string ShardSource(const ShardInfo& shard) {
  return fmt::format("{} (sha256 {})", shard.sourceName, shard.sourceHash);
}
