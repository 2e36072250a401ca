// veldmap split: a mesh into one baked-map scene per tile of an image, plus a manifest that says
// which tile each shard renders and how.
#include <fmt/format.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "app/commands.h"
#include "app/mesh_io.h"
#include "app/output_files.h"
#include "app/scene_setup.h"
#include "app/shards.h"
#include "host/scene.h"
#include "host/scene_io.h"

namespace fs = std::filesystem;

namespace {

void RefuseUVGeneratorOptions(const MapOptions& o) {
  if (!o.uvOffset.empty() || !o.uvTiling.empty() || o.uvAngle || o.wrap || o.noWrap || o.mirrorU || o.mirrorV) {
    throw UsageError{
        "split: UV generator options (--uv-*, --wrap, --no-wrap, --mirror-*) move where a pixel samples the map, so a "
        "tile could need faces outside its shard; split with the map's own placement (--u-offset, --u-scale, ...)"};
  }
}

std::string ShardFileName(int index, int count) {
  const int digits = static_cast<int>(std::to_string(count).size());
  return fmt::format("tile-{:0{}}.vlds", index, digits);
}

}  // namespace

int Split(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
          const SplitOptions& options) {
  // Everything that could refuse is checked before the mesh is read.
  TileGrid grid;
  std::string error;
  if (!ParseTileGrid(options.tiles, &grid, &error)) throw UsageError{error};
  const auto checkSize = [&](int width, int height) {
    if (width < 1 || height < 1 || width > 65535 || height > 65535) {
      throw UsageError{fmt::format("image size {}x{}: both sides must be 1 to 65535", width, height)};
    }
    Tile first;
    if (!SplitTile(width, height, 0, grid.Count(), grid.rows, grid.cols, &first, &error)) throw UsageError{error};
  };
  // As in render: both sides given are checked now; otherwise the image follows the mesh's aspect,
  // known once it is read.
  const bool sizeGiven = options.width > 0 && options.height > 0;
  if (sizeGiven)
    checkSize(options.width, options.height);
  else
    checkSize(options.size, options.size);
  RefuseUVGeneratorOptions(mapOptions);
  if (IsSceneFile(input)) throw BadInput{input + ": already a scene; split takes a mesh file"};
  std::error_code ec;
  if (!fs::exists(input, ec)) throw BadInput{input + ": no such file"};
  const fs::path folder(options.folder);
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder, ec)) throw BadInput{options.folder + ": not a folder that can be made"};
  const std::string manifestPath = (folder / "manifest.json").string();
  CheckWritable(manifestPath, "manifest");
  for (int i = 1; i <= grid.Count(); ++i) CheckWritable((folder / ShardFileName(i, grid.Count())).string(), "shard");

  ShardInfo info;
  if (!HashFile(input, &info.sourceHash, &error)) throw BadInput{error};
  info.sourceName = fs::path(input).filename().string();
  info.grid = grid;

  Session session;
  OpenSession(session, common, common.program);
  // The faces are walked from the file where its reader can (one pass to mark the tiles, one per
  // shard), so the split holds the vertices but never all the faces; other files are imported
  // whole, as render imports them.
  ImportOptions importOptions;
  if (!meshOptions.up.empty()) importOptions.up = meshOptions.up[0];
  importOptions.flat = meshOptions.flat;
  importOptions.node = meshOptions.node;
  std::unique_ptr<StreamedMesh> stream = OpenStreamedMesh(input, importOptions);
  if (stream) {
    const WalkedWinding found = WindingOf(stream->Vertices(), *stream, meshOptions.orient == "up");
    // A mesh with no upward face is refused by the import, in its words.
    if (found.hasUpward) {
      info.winding = found.winding;
    } else {
      stream.reset();
    }
  }
  Mesh whole;
  std::unique_ptr<FaceSource> wholeFaces;
  std::optional<OrientedFaces> oriented;
  const FaceSource* source = nullptr;
  if (stream) {
    if (info.winding.orientedUp) oriented.emplace(stream->Vertices(), *stream);
    source = oriented ? static_cast<const FaceSource*>(&*oriented) : stream.get();
  } else {
    whole = ImportOne(input, meshOptions, nullptr, &info.winding);
    wholeFaces = FacesOf(whole);
    source = wholeFaces.get();
  }
  const Mesh& mesh = stream ? stream->Vertices() : whole;
  // The placement as the map holds it once the options are set.
  Texmap* probe = session.CreateVeldmap();
  if (probe == nullptr) throw BadInput{"the Veldmap class could not make a map"};
  std::string params;
  {
    MapGuard guard(probe);
    ApplyMapOptions(probe, mapOptions, Tiling::AsStored);
    int depth = 0;
    info.placement = BlockPlacement(Block(probe), 0, &depth);
    params = ParamSummary(probe);
  }
  OutputOptions sizing;
  sizing.width = options.width;
  sizing.height = options.height;
  sizing.size = options.size;
  const auto [width, height] =
      ImageSize(sizing, sizeGiven ? std::nullopt : ImageRegion(XYExtent(mesh), info.placement, UvFrame{}));
  if (!sizeGiven) checkSize(width, height);
  info.width = width;
  info.height = height;
  const ShardCutter cutter(mesh, *source, info.placement, width, height, grid);

  nlohmann::json tiles = nlohmann::json::array();
  for (int i = 0; i < grid.Count(); ++i) {
    info.index = i + 1;
    const std::string file = ShardFileName(info.index, grid.Count());
    Mesh shard = cutter.Shard(i);
    const int faces = shard.getNumFaces(), vertices = shard.getNumVerts();
    INode* node = AddMeshNode(std::move(shard), fs::path(input).stem().string());
    Texmap* map = session.CreateVeldmap();
    if (map == nullptr) throw BadInput{"the Veldmap class could not make a map"};
    MapGuard guard(map);
    ApplyMapOptions(map, mapOptions, Tiling::AsStored);
    map->SetName(CStr(ShardMapName(info)));
    PressButton(map, "Bake Object into Texture", node);
    node->DeleteThis();
    if (SaveScene((folder / file).string(), {map}, &error) != IO_OK) throw BadInput{error};
    const Tile tile = cutter.PixelTile(i);
    tiles.push_back({{"index", info.index},
                     {"row", i / grid.cols},
                     {"col", i % grid.cols},
                     {"pixels", {{"x", tile.x0}, {"y", tile.y0}, {"width", tile.width}, {"height", tile.height}}},
                     {"shard", file},
                     {"faces", faces},
                     {"vertices", vertices},
                     {"render", fmt::format("--tile {}/{} --tile-rows {} --tile-cols {} --width {} --height {}",
                                            info.index, grid.Count(), grid.rows, grid.cols, width, height)}});
    if (options.announce) {
      // The shard file is complete (saved under its name by a rename) before its line appears.
      const std::string line = tiles.back().dump() + "\n";
      std::fputs(line.c_str(), stdout);
      std::fflush(stdout);
    }
    if (!common.quiet) std::fprintf(stderr, "split: %s: %d faces\n", file.c_str(), faces);
  }

  nlohmann::json manifest = {
      {"veldmap_split", 1},
      {"source",
       {{"path", input},
        {"name", info.sourceName},
        {"sha256", info.sourceHash},
        {"faces", source->FaceCount()},
        {"vertices", mesh.getNumVerts()}}},
      {"size", {{"width", width}, {"height", height}}},
      {"grid", {{"rows", grid.rows}, {"cols", grid.cols}}},
      {"params", params},
      {"tiles", tiles},
  };
  if (const std::uint64_t peak = PeakResidentBytes(); peak > 0) manifest["peak_rss_bytes"] = peak;
  WriteText(manifestPath, manifest.dump(2) + "\n");
  if (!common.quiet) {
    std::fprintf(stderr, "split %s into %d shards in %s\n", input.c_str(), grid.Count(), options.folder.c_str());
  }
  return kExitOk;
}
