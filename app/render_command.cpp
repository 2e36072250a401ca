// veldmap render: one image of the map for each output asked for, every output an entry of
// RenderOutputs().
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <sstream>

#include "app/commands.h"
#include "app/mesh_frame.h"
#include "app/output_files.h"
#include "app/outputs.h"
#include "app/progress.h"
#include "app/render.h"
#include "app/scene_setup.h"
#include "app/shards.h"
#include "host/bitmap.h"

namespace {

struct Target {
  const RenderOutput* output;
  std::string path;
};

bool EndsWithBmp(const std::string& path) {
  if (path.size() < 4) return false;
  std::string extension = path.substr(path.size() - 4);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".bmp";
}

// Which outputs go where. Everything that could refuse a file is checked here, before any work,
// so a command that fails writes nothing.
std::vector<Target> Targets(const OutputOptions& out, const MapOptions& mapOptions) {
  std::map<std::string, std::string> paths = out.paths;
  if (!out.output.empty()) {
    const RenderOutput* kind = FindOutput(out.kind);
    if (kind == nullptr) throw UsageError{"--kind " + out.kind + ": use " + OutputKinds()};
    if (!paths[out.kind].empty()) {
      throw UsageError{fmt::format("-o and --{}-out both name the {} image", out.kind, out.kind)};
    }
    paths[out.kind] = out.output;
  }
  std::vector<Target> targets;
  for (const RenderOutput& output : RenderOutputs()) {
    const auto it = paths.find(output.kind);
    if (it != paths.end() && !it->second.empty()) targets.push_back({&output, it->second});
  }
  if (targets.empty()) {
    throw BadInput{"nothing to write: give -o FILE (and --kind) or --" + std::string(RenderOutputs()[0].kind) +
                   "-out/--color-out/... FILE"};
  }
  int toStandardOutput = out.report == kStandardOutput ? 1 : 0;
  bool rampShown = false;
  for (const Target& target : targets) {
    const std::string kind = target.output->kind;
    rampShown = rampShown || kind == "color" || kind == "alpha" || kind == "preview";
    if (target.path == kStandardOutput) ++toStandardOutput;
    if (target.output->file == OutputFile::Bmp) {
      if (target.path == kStandardOutput || !EndsWithBmp(target.path)) {
        throw BadInput{target.path + ": the " + kind + " is a BMP image; give it a .bmp file name"};
      }
    } else {
      FormatFor(target.path, out.format);
    }
    CheckWritable(target.path, kind + " image");
  }
  if (toStandardOutput > 1) throw UsageError{"only one output can go to standard output (-)"};
  if (!out.report.empty()) CheckWritable(out.report, "report");
  if (!mapOptions.ramp.empty() && !rampShown) {
    throw UsageError{
        "--ramp colours the color image (and the alpha and preview), and none is written: use "
        "--kind color with -o, or --color-out FILE"};
  }
  return targets;
}

// ---- Image size and writing options ----

std::string Bytes(std::uint64_t bytes) {
  return fmt::format("{:.1f} GiB", static_cast<double>(bytes) / static_cast<double>(std::uint64_t{1} << 30));
}

// The memory a render holds at its peak besides the mesh and the map: every image it makes as
// floats, its coverage mask, and the largest image once more as it is encoded (quantised rows
// and the encoded file, each of which may grow to twice its size while it is filled). There is
// no limit on the size as such: only this memory, and PNG's own side limit, bound it.
void CheckImageMemory(const std::vector<Target>& targets, const std::string& forcedFormat, int width, int height,
                      const Tile& tile) {
  const std::uint64_t pixels = tile.width > 0
                                   ? static_cast<std::uint64_t>(tile.width) * static_cast<std::uint64_t>(tile.height)
                                   : static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  std::uint64_t images = pixels, encoded = 0;
  std::string kinds;
  for (const Target& target : targets) {
    if (target.output->pixel == nullptr) continue;
    const auto channels = static_cast<std::uint64_t>(target.output->channels);
    images += pixels * channels * sizeof(float);
    const ImageFormat format = FormatFor(target.path, forcedFormat);
    const std::uint64_t sample = format == ImageFormat::Exr ? 4 : format == ImageFormat::Png16 ? 2 : 1;
    encoded = std::max(encoded, pixels * channels * sample * (format == ImageFormat::Exr ? 2 : 3));
    kinds += (kinds.empty() ? "" : ", ") + std::string(target.output->kind);
  }
  const std::uint64_t need = images + encoded, have = UsableMemoryBytes();
  if (need > have) {
    throw BadInput{
        fmt::format("a {}x{} {} of {} needs {} of memory for its pixels and their encoded copy, more than the {} this "
                    "machine has: render it in tiles (--tile)",
                    tile.width > 0 ? tile.width : width, tile.width > 0 ? tile.height : height,
                    tile.width > 0 ? "tile" : "image", kinds, Bytes(need), Bytes(have))};
  }
}

ImageWriteOptions WriteOptions(const OutputOptions& out) {
  ImageWriteOptions options;
  if (!out.exrCompression.empty()) {
    const auto compression = ExrCompressionFromName(out.exrCompression);
    if (!compression)
      throw UsageError{"--exr-compression " + out.exrCompression + ": use zip, zips, piz, dwaa or none"};
    options.exrCompression = *compression;
  }
  if (out.pngLevel) {
    if (*out.pngLevel < 0 || *out.pngLevel > kMaxPngLevel)
      throw UsageError{fmt::format("--png-level {}: use 0 (none) to {} (smallest)", *out.pngLevel, kMaxPngLevel)};
    options.pngLevel = *out.pngLevel;
  }
  options.threads = out.threads;
  return options;
}

// ---- The image in the mesh's own units ----

// --region, --pixel-size and --heights, checked before any work.
void CheckTerrainOptions(const OutputOptions& out, const MapOptions& map, const std::vector<Target>& targets) {
  const bool generatorMoved =
      !map.uvOffset.empty() || !map.uvTiling.empty() || map.uvAngle || map.mirrorU || map.mirrorV;
  if (!out.region.empty()) {
    const auto& r = out.region;
    if (r.size() != 4 || !std::all_of(r.begin(), r.end(), [](double x) { return std::isfinite(x); }) ||
        !(r[0] < r[2]) || !(r[1] < r[3])) {
      throw UsageError{"--region: give X0,Y0,X1,Y1 with X0 < X1 and Y0 < Y1, in the mesh's own coordinates"};
    }
    if (map.uOffset || map.vOffset || map.uScale || map.vScale) {
      throw UsageError{
          "--region sets the map's offsets and scales itself: leave out --u-offset, --v-offset, "
          "--u-scale and --v-scale"};
    }
  }
  if (out.pixelSize) {
    if (!std::isfinite(*out.pixelSize) || !(*out.pixelSize > 0.0))
      throw UsageError{fmt::format("--pixel-size {}: give a size above 0, in the mesh's units", *out.pixelSize)};
    if (out.sizeGiven || out.width > 0 || out.height > 0)
      throw UsageError{"--pixel-size sizes the image itself: leave out --size, --width and --height"};
  }
  if ((!out.region.empty() || out.pixelSize) && generatorMoved) {
    throw UsageError{
        "--region and --pixel-size place the image through the map itself: leave out --uv-offset, "
        "--uv-tiling, --uv-angle and --mirror-u/v"};
  }
  if (out.heights == "metres") {
    const auto height = std::find_if(targets.begin(), targets.end(),
                                     [](const Target& t) { return std::string(t.output->kind) == "height"; });
    if (height == targets.end() || FormatFor(height->path, out.format) != ImageFormat::Exr) {
      throw UsageError{
          "--heights metres writes float heights, and no EXR height image is written: use a .exr "
          "height output (or --format exr)"};
    }
  }
}

// Places the map so that the image covers the region asked for, and with --pixel-size, a whole
// number of pixels of exactly that size: a region that does not divide evenly grows from its
// left and bottom edges to the next whole pixel. Returns the region the image then covers.
std::optional<XYRect> PlaceImage(Texmap* map, const OutputOptions& out, const std::optional<XYRect>& extent,
                                 const std::string& input) {
  int depth = 0;
  const Placement placement = BlockPlacement(Block(map), out.time, &depth);
  if (!out.region.empty() || out.pixelSize) {
    if (!GeneratorFrame(map).Identity()) {
      throw UsageError{input +
                       ": the map's UV generator moves, turns or repeats the map, so its image has no "
                       "region of the mesh to give with --region or --pixel-size"};
    }
  }
  std::optional<XYRect> region = ImageRegion(extent, placement, GeneratorFrame(map));
  if (!out.region.empty()) region = XYRect{out.region[0], out.region[1], out.region[2], out.region[3]};
  if (out.pixelSize && region) {
    const ImageSides sides = SidesForRegion(region->Width(), region->Height(), out.pixelSize, out.size);
    const double width = static_cast<double>(sides.width) * *out.pixelSize;
    const double height = static_cast<double>(sides.height) * *out.pixelSize;
    region->x1 = region->x0 + std::copysign(width, region->Width());
    region->y1 = region->y0 + std::copysign(height, region->Height());
  }
  if (!region) {
    if (out.pixelSize)
      throw BadInput{input +
                     ": the image has no size in the mesh's units (the mesh is flat in X or Y), so "
                     "--pixel-size cannot size it"};
    return region;
  }
  if (!out.region.empty() || out.pixelSize) {
    const std::optional<Placement> placed = PlacementForRegion(extent, placement.normalize, *region);
    if (!placed && placement.normalize && (!extent || !(extent->Width() > 0.0) || !(extent->Height() > 0.0)))
      throw BadInput{input + ": the mesh is flat in X or Y, so no region of it can be placed on the image"};
    if (!placed) throw UsageError{"the region is too small or too large for the map's offsets and scales to place"};
    SetPlacement(map, *placed, !out.region.empty() ? "--region" : "--pixel-size");
  }
  return region;
}

}  // namespace

int Render(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
           OutputOptions out) {
  const std::vector<Target> targets = Targets(out, mapOptions);
  CheckTerrainOptions(out, mapOptions, targets);
  const ImageWriteOptions writeOptions = WriteOptions(out);
  if (!std::isfinite(out.bumpScale)) throw UsageError{fmt::format("--bump-scale {}: not a number", out.bumpScale)};
  // The tile is cut, and the memory it needs weighed, as soon as the size is known: before the
  // mesh is read when --width and --height give it, so that a refusal costs nothing.
  std::string error;
  Tile tile;
  ReportJson tileFact;
  int index = 0, count = 0;
  if (!out.tile.empty()) {
    char slash = 0;
    std::istringstream in(out.tile);
    if (!(in >> index >> slash >> count) || slash != '/' || !in.eof())
      throw BadInput{"--tile " + out.tile + ": use I/N"};
  }
  const auto cutTile = [&](int width, int height) {
    if (width < 1 || height < 1)
      throw UsageError{fmt::format("image size {}x{}: both sides must be 1 or more", width, height)};
    if (!out.tile.empty()) {
      if (!SplitTile(width, height, index - 1, count, out.tileRows, out.tileCols, &tile, &error)) {
        throw BadInput{error};
      }
      tileFact = ReportJson::array({tile.x0, tile.y0, tile.width, tile.height, width, height});
    }
    CheckImageMemory(targets, out.format, width, height, tile);
  };
  const bool sizeGiven = out.width > 0 && out.height > 0;
  if (sizeGiven) cutTile(out.width, out.height);

  Session session;
  OpenSession(session, common, common.program);
  Loaded loaded = LoadInput(session, input, meshOptions);
  WarnFacesDown(input, loaded.winding.facing, common.quiet);
  Texmap* map = loaded.map;
  MapGuard guard(map);
  // A shard renders only the tile it was cut for, as that tile of its source's image.
  const std::optional<ShardInfo> shard = ShardOf(map, out.time);
  ApplyMapOptions(map, mapOptions, Tiling::SingleImage);
  const std::optional<XYRect> extent = XYExtent(loaded.Shown());
  const std::optional<XYRect> region = PlaceImage(map, out, extent, input);
  const auto [width, height] = ImageSize(out, region);
  if (!sizeGiven) cutTile(width, height);
  if (shard) CheckShardTask(*shard, map, mapOptions, out, width, height, tile, out.time, input);
  const std::optional<std::pair<float, float>> zRange = ZRange(loaded.Shown());
  HeightUnits heightUnits;
  if (out.heights == "metres") {
    if (!zRange) throw BadInput{input + ": the mesh has no finite vertex, so its heights have no range"};
    int depth = 0;
    const bool normalized = BlockPlacement(Block(map), out.time, &depth).normalize;
    heightUnits.meshUnits = true;
    heightUnits.scale = static_cast<double>(zRange->second) - static_cast<double>(zRange->first);
    heightUnits.offset = normalized ? static_cast<double>(zRange->first) : 0.0;
  }
  CheckQuadtreeBudget(map, loaded.Shown(), input, out.time);
  Interval valid = FOREVER;
  const auto updateStart = std::chrono::steady_clock::now();
  map->Update(out.time, valid);
  const double updateSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - updateStart).count();

  RenderRequest request;
  request.width = width;
  request.height = height;
  request.tile = tile;
  request.time = out.time;
  request.filter = out.filter;
  request.outputs.clear();
  for (const Target& target : targets) request.outputs.push_back(target.output);
  request.bumpScale = out.bumpScale;
  request.heightUnits = heightUnits;
  request.threads = out.threads;
  int useNormals = 0;
  Interval ignore = FOREVER;
  Block(map)->GetValue(ParamByName(Block(map), "useNormals"), out.time, useNormals, ignore);
  request.bump = useNormals != 0 ? Bump::Normals : Bump::Numerical;

  RenderResult result;
  if (std::any_of(targets.begin(), targets.end(), [](const Target& t) { return t.output->pixel != nullptr; })) {
    Progress progress("render", common.quiet);
    result = RenderMap(*map, request, [&progress](long long done, long long total) { progress(done, total); });
  }

  RenderRecord record;
  record.source = shard ? ShardSource(*shard) : input;
  record.zRange = zRange;
  record.extent = extent;
  record.winding = shard ? shard->winding : loaded.winding;
  record.heightsInMeshUnits = heightUnits.meshUnits;
  record.time = out.time;
  record.width = width;
  record.height = height;
  record.coverage = result.coverage;
  record.updateSeconds = updateSeconds;
  record.renderSeconds = result.seconds;
  ReportJson report = RenderFacts(map, record);
  if (!tileFact.is_null()) report["veldmap:tile"] = tileFact;
  const ImageMetadata meta = MetadataFromFacts(report);

  std::vector<std::pair<std::string, std::string>> written = out.alsoWritten;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const Target& target = targets[i];
    if (target.output->file == OutputFile::Bmp) {
      ViewportTexHandleMaker viewport(std::min(width, height));
      Interval previewValid;
      BITMAPINFO* dib = map->GetVPDisplayDIB(out.time, viewport, previewValid, FALSE, 0, 0);
      if (dib == nullptr) throw BadInput{"the map made no preview"};
      const bool saved = SaveDIBAsBMP(dib, target.path, &error);
      FreeDIB(dib);
      if (!saved) throw BadInput{error};
    } else {
      ImageMetadata imageMeta = meta;
      imageMeta.entries.emplace_back("veldmap:encoding", OutputEncoding(*target.output, request));
      if (!WriteImage(target.path, result.images[i], FormatFor(target.path, out.format), imageMeta, writeOptions,
                      &error)) {
        throw BadInput{error};
      }
    }
    written.emplace_back(target.output->kind, target.path);
  }

  if (!out.report.empty()) {
    // The command's peak memory, and per face: what a larger mesh of the same kind would need.
    if (const std::uint64_t peak = PeakResidentBytes(); peak > 0) {
      report["peak_rss_bytes"] = peak;
      if (const int faces = loaded.Shown().getNumFaces(); faces > 0) {
        report["peak_rss_bytes_per_face"] = std::round(static_cast<double>(peak) / faces * 10.0) / 10.0;
      }
    }
    ReportJson outputs = ReportJson::object();
    for (const auto& [kind, path] : written) outputs[kind] = path;
    report["outputs"] = outputs;
    WriteText(out.report, report.dump(2) + "\n");
  }
  if (!common.quiet) {
    for (const auto& [kind, path] : written) {
      std::fprintf(stderr, "wrote %s: %s\n", kind.c_str(), path == kStandardOutput ? "standard output" : path.c_str());
    }
  }
  return kExitOk;
}
