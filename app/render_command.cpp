// veldmap render: one image of the map for each output asked for, every output an entry of
// RenderOutputs().
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <thread>

#include "app/commands.h"
#include "app/coverage.h"
#include "app/mesh_frame.h"
#include "app/output_files.h"
#include "app/outputs.h"
#include "app/progress.h"
#include "app/render.h"
#include "app/scene_setup.h"
#include "app/shards.h"
#include "app/tiff_io.h"
#include "host/bitmap.h"

namespace {

struct Target {
  const RenderOutput* output;
  std::string path;
  ImageFormat format = ImageFormat::Png8;  // for an image output
};

bool IsTiff(ImageFormat format) { return format == ImageFormat::Tiff16 || format == ImageFormat::Tiff32; }
bool IsFloat(ImageFormat format) { return format == ImageFormat::Exr || format == ImageFormat::Tiff32; }

// Each image output's format: its own --KIND-format, or --format for the -o output (or for the
// only image output when there is no -o), or else its file's extension at the depth that suits
// its kind. --format no longer reaches every output, so a 16-bit height does not make the colour
// 16-bit; with several outputs and no -o it would be ambiguous, and each output names its own.
void ChooseFormats(std::vector<Target>& targets, const OutputOptions& out) {
  std::vector<Target*> images;
  for (Target& target : targets) {
    if (target.output->file == OutputFile::Image) images.push_back(&target);
  }
  const Target* formatted = nullptr;  // the output --format is for
  if (!out.format.empty()) {
    for (Target* target : images) {
      if (!out.output.empty() ? target->output->kind == out.kind : images.size() == 1) formatted = target;
    }
    if (formatted == nullptr) {
      throw UsageError{
          "--format sets the format of the -o output (or of the only image): with several outputs and no -o, "
          "give each its own (--height-format, --color-format, ...)"};
    }
  }
  for (const auto& [kind, format] : out.formats) {
    if (format.empty()) continue;
    const auto it =
        std::find_if(images.begin(), images.end(), [&kind = kind](const Target* t) { return t->output->kind == kind; });
    if (it == images.end()) throw UsageError{fmt::format("--{}-format: no {} image is written", kind, kind)};
    if (*it == formatted)
      throw UsageError{fmt::format("--format and --{}-format both set the {} image's format", kind, kind)};
  }
  for (Target* target : images) {
    const auto own = out.formats.find(target->output->kind);
    const std::string forced = own != out.formats.end() && !own->second.empty() ? own->second
                               : target == formatted                            ? out.format
                                                                                : std::string();
    target->format = OutputFormat(target->output->kind, target->path, forced);
    if (target->format == ImageFormat::Raw16 && target->output->channels != 1) {
      throw UsageError{fmt::format("{}: RAW16 holds one channel, and the {} image has {}: use PNG, EXR or TIFF",
                                   target->path, target->output->kind, target->output->channels)};
    }
  }
}

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
    }
    CheckWritable(target.path, kind + " image");
  }
  ChooseFormats(targets, out);
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

// Whether path can only be written front to back (standard output, a pipe, a device): an EXR
// going there is encoded whole in memory first, since its line offset table comes last.
bool WrittenInOrder(const std::string& path) {
  if (path == kStandardOutput) return true;
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  return std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
}

// The memory a render holds at its peak besides the mesh and the map. Images are rendered and
// written a band of rows at a time, so a file of any size needs only its bands (floats, and for
// PNG their quantised rows) and its encoder's blocks. The one copy that grows with the image is
// an EXR's encoded bytes when its target can only be written in order (standard output, a pipe):
// that copy is the limit named in a refusal.
void CheckImageMemory(const std::vector<Target>& targets, int width, int height, const Tile& tile, int threads) {
  const std::uint64_t w = static_cast<std::uint64_t>(tile.width > 0 ? tile.width : width);
  const std::uint64_t h = static_cast<std::uint64_t>(tile.width > 0 ? tile.height : height);
  const std::uint64_t bandRows = std::min<std::uint64_t>(h, static_cast<std::uint64_t>(RenderBandRows(int(w))));
  const std::uint64_t cores =
      static_cast<std::uint64_t>(threads > 0 ? threads : std::max(1u, std::thread::hardware_concurrency()));
  std::uint64_t need = 0, inMemory = 0;
  std::string kinds;
  // Outputs that read their neighbours share one band of heights with a ring round it.
  if (std::any_of(targets.begin(), targets.end(), [](const Target& t) { return t.output->neighbours; })) {
    need += (w + 2) * (bandRows + 2) * sizeof(float);
  }
  for (const Target& target : targets) {
    if (target.output->pixel == nullptr) continue;
    const auto channels = static_cast<std::uint64_t>(target.output->channels);
    const ImageFormat format = target.format;
    // Two sets of bands (one encoded while the next renders), and a PNG or RAW band's quantised rows.
    need += 2 * w * bandRows * channels * sizeof(float) + w * bandRows * channels *
                                                              (format == ImageFormat::Png8    ? 1
                                                               : format == ImageFormat::Png16 ? 2
                                                               : format == ImageFormat::Raw16 ? 2
                                                                                              : 0);
    if (IsTiff(format)) {
      // A row of tiles of stored samples, and the encoded file itself when it goes out in order.
      const std::uint64_t sample = format == ImageFormat::Tiff32 ? 4 : 2;
      need += w * static_cast<std::uint64_t>(kTiffTileSide) * channels * sample;
      if (WrittenInOrder(target.path)) {
        inMemory += 2 * w * h * channels * sample;
        kinds += (kinds.empty() ? "" : ", ") + std::string(target.output->kind);
      }
    }
    if (format == ImageFormat::Exr) {
      // OpenEXR keeps two blocks of up to 32 rows per thread, raw and compressed.
      need += std::uint64_t{4} * cores * 32 * w * channels * sizeof(float);
      if (WrittenInOrder(target.path)) {
        // The encoded file, in a buffer that may grow to twice its size while it is filled.
        inMemory += 2 * w * h * channels * sizeof(float);
        kinds += (kinds.empty() ? "" : ", ") + std::string(target.output->kind);
      }
    }
  }
  need += inMemory;
  const std::uint64_t have = UsableMemoryBytes();
  if (need > have) {
    if (inMemory > 0) {
      throw BadInput{fmt::format(
          "a {}x{} {} of {} as EXR or TIFF on standard output or a pipe is encoded whole in memory before it is "
          "written (its offsets are written last), and needs {}, more than the {} this machine has: write it to a "
          "file, "
          "or render it in tiles (--tile)",
          w, h, tile.width > 0 ? "tile" : "image", kinds, Bytes(need), Bytes(have))};
    }
    throw BadInput{
        fmt::format("a {}x{} {} needs {} of memory for its bands of rows, more than the {} this machine "
                    "has: render it in tiles (--tile)",
                    w, h, tile.width > 0 ? "tile" : "image", Bytes(need), Bytes(have))};
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

// ---- Holes: the coverage mask's options ----

// --coverage-alpha: the colour outputs written with the mask as their alpha.
void AddCoverageAlpha(std::vector<Target>& targets) {
  bool any = false;
  for (Target& target : targets) {
    const RenderOutput& withAlpha = WithCoverageAlpha(*target.output);
    any = any || &withAlpha != target.output;
    target.output = &withAlpha;
  }
  if (!any) {
    throw UsageError{"--coverage-alpha adds an alpha channel to the color and bump images, and none is written"};
  }
}

// --nodata, checked against every image that takes it before any work. Returns the value as the
// images store it.
std::optional<double> CheckNodata(const OutputOptions& out, const std::vector<Target>& targets) {
  if (!out.nodata) return std::nullopt;
  const double value = ParseNodata(*out.nodata);
  bool any = false;
  for (const Target& target : targets) {
    if (!TakesNodata(*target.output)) continue;
    any = true;
    const std::string problem = NodataProblem(target.format, value);
    if (!problem.empty()) {
      throw UsageError{fmt::format("--nodata {}: the {} image {} cannot hold it: {}", *out.nodata, target.output->kind,
                                   target.path, problem)};
    }
  }
  if (!any) {
    throw UsageError{"--nodata marks the holes of the height (and other one-channel) images, and none is written"};
  }
  return value;
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
  if (out.edgeAligned && out.sizeGiven && out.size < 2)
    throw UsageError{"--edge-aligned puts samples on both borders: --size must be 2 or more"};
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
  const auto writes = [&targets](const char* kind) {
    return std::any_of(targets.begin(), targets.end(),
                       [kind](const Target& t) { return t.output->kind == std::string(kind); });
  };
  if ((out.azimuth || out.altitude) && !writes("hillshade")) {
    throw UsageError{"--azimuth and --altitude light the hillshade, and none is written: give --hillshade-out FILE"};
  }
  if (out.azimuth && !(*out.azimuth >= 0.0 && *out.azimuth <= 360.0))
    throw UsageError{fmt::format("--azimuth {}: give 0 to 360 degrees, clockwise from +Y", *out.azimuth)};
  if (out.altitude && !(*out.altitude >= 0.0 && *out.altitude <= 90.0))
    throw UsageError{fmt::format("--altitude {}: give 0 (the horizon) to 90 (straight above) degrees", *out.altitude)};
  if (!out.normalConvention.empty() && !writes("bump")) {
    throw UsageError{
        "--normal-convention sets the bump image's green channel, and none is written: give --bump-out FILE"};
  }
  if (out.heights == "metres") {
    const auto height = std::find_if(targets.begin(), targets.end(),
                                     [](const Target& t) { return std::string(t.output->kind) == "height"; });
    if (height == targets.end() || !IsFloat(height->format)) {
      throw UsageError{
          "--heights metres writes float heights, and no float height image is written: use a .exr or .tif "
          "height output (or --format exr or tiff32)"};
    }
  }
}

}  // namespace

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

HeightUnits HeightsInMeshUnits(Texmap* map, const std::optional<std::pair<float, float>>& zRange, TimeValue t,
                               const std::string& input) {
  if (!zRange) throw BadInput{input + ": the mesh has no finite vertex, so its heights have no range"};
  int depth = 0;
  const bool normalized = BlockPlacement(Block(map), t, &depth).normalize;
  HeightUnits units;
  units.meshUnits = true;
  units.scale = static_cast<double>(zRange->second) - static_cast<double>(zRange->first);
  units.offset = normalized ? static_cast<double>(zRange->first) : 0.0;
  return units;
}

TerrainFrame MeshTerrainFrame(const std::optional<XYRect>& region, const std::optional<std::pair<float, float>>& zRange,
                              int width, int height, bool edgeAligned, const std::string& input) {
  if (!region) {
    throw BadInput{input +
                   ": the image covers no one rectangle of the mesh (the UV generator turns, mirrors or repeats the "
                   "map, or the mesh is flat in X or Y), so it has no slope or hillshade in the mesh's units"};
  }
  if (!zRange) throw BadInput{input + ": the mesh has no finite vertex, so its heights have no range"};
  TerrainFrame frame;
  frame.zScale = static_cast<double>(zRange->second) - static_cast<double>(zRange->first);
  // Edge-aligned samples lie on the region's borders: one step fewer than samples.
  frame.xStep = region->Width() / (edgeAligned ? std::max(1, width - 1) : width);
  frame.yStep = -region->Height() / (edgeAligned ? std::max(1, height - 1) : height);
  return frame;
}

namespace {

// The mesh-unit frame of the slope and hillshade images among targets, with the light and the
// scale each image stores its values at.
TerrainFrame TerrainFrameFor(const std::vector<Target>& targets, const OutputOptions& out,
                             const std::optional<XYRect>& region, const std::optional<std::pair<float, float>>& zRange,
                             int width, int height, const std::string& input) {
  const bool neighbours =
      std::any_of(targets.begin(), targets.end(), [](const Target& t) { return t.output->neighbours; });
  TerrainFrame frame =
      neighbours ? MeshTerrainFrame(region, zRange, width, height, out.edgeAligned, input) : TerrainFrame{};
  if (out.azimuth) frame.azimuth = *out.azimuth;
  if (out.altitude) frame.altitude = *out.altitude;
  for (const Target& target : targets) {
    // A float image holds the values themselves; an integer one their share of full scale.
    const bool floats =
        target.output->pixel != nullptr && (target.format == ImageFormat::Exr || target.format == ImageFormat::Tiff32);
    if (target.output->kind == std::string("slope")) frame.slopeScale = floats ? 1.0 : 1.0 / 90.0;
    if (target.output->kind == std::string("hillshade")) frame.shadeScale = floats ? 1.0 : 1.0 / 255.0;
  }
  return frame;
}

// ---- GeoTIFF ----

// The coordinate system --crs names, checked before any work; none without --crs.
std::optional<GeoReference> CheckGeoOptions(const OutputOptions& out, const std::vector<Target>& targets, bool quiet) {
  if (!out.georef && out.crs.empty()) return std::nullopt;
  if (std::none_of(targets.begin(), targets.end(),
                   [](const Target& t) { return t.output->file == OutputFile::Image && IsTiff(t.format); })) {
    throw UsageError{"--georef and --crs place TIFF images, and no TIFF is written: use a .tif output"};
  }
  GeoReference crs;
  if (!out.crs.empty()) {
    std::string code = out.crs;
    const bool epsg = code.size() > 5 && (code.compare(0, 5, "EPSG:") == 0 || code.compare(0, 5, "epsg:") == 0);
    code.erase(0, epsg ? 5 : code.size());
    const bool digits = !code.empty() && code.size() <= 9 &&
                        std::all_of(code.begin(), code.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!epsg || !digits) throw UsageError{"--crs " + out.crs + ": give EPSG:N, such as EPSG:32633 or EPSG:4326"};
    crs.epsg = std::stoi(code);
    std::string why;
    const std::optional<bool> geographic = EpsgIsGeographic(*crs.epsg, &why);
    if (!geographic) throw UsageError{"--crs " + out.crs + ": " + why};
    if (!why.empty() && !quiet) std::fprintf(stderr, "veldmap: warning: %s\n", why.c_str());
    crs.geographic = *geographic;
  }
  return crs;
}

// The GeoTIFF placement of an image (the whole image, or its tile) over region, the rectangle of
// the mesh's X/Y that UV 0..1 covers. Row 0 is the top of the image, where V is 1 (region.y1), so a
// row down is a step of -Y. Pixel-centre samples cover region exactly; edge-aligned samples lie
// on its borders, so the pixels they stand for reach half a step beyond.
GeoReference PlaceGeoReference(GeoReference crs, const XYRect& region, int width, int height, const Tile& tile,
                               bool edgeAligned) {
  const int across = edgeAligned ? width - 1 : width, down = edgeAligned ? height - 1 : height;
  crs.stepX = region.Width() / across;
  crs.stepY = -region.Height() / down;
  crs.originX = region.x0 - (edgeAligned ? crs.stepX / 2 : 0.0) + tile.x0 * crs.stepX;
  crs.originY = region.y1 - (edgeAligned ? crs.stepY / 2 : 0.0) + tile.y0 * crs.stepY;
  return crs;
}

}  // namespace

int Render(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
           OutputOptions out) {
  std::vector<Target> targets = Targets(out, mapOptions);
  if (out.coverageAlpha) AddCoverageAlpha(targets);
  CheckTerrainOptions(out, mapOptions, targets);
  const std::optional<double> nodata = CheckNodata(out, targets);
  const std::optional<GeoReference> crs = CheckGeoOptions(out, targets, common.quiet);
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
    if (out.edgeAligned && (width < 2 || height < 2)) {
      throw UsageError{
          fmt::format("image size {}x{}: --edge-aligned puts samples on both borders, so each side needs 2 or more",
                      width, height)};
    }
    if (!out.tile.empty()) {
      if (!SplitTile(width, height, index - 1, count, out.tileRows, out.tileCols, &tile, &error)) {
        throw BadInput{error};
      }
      tileFact = ReportJson::array({tile.x0, tile.y0, tile.width, tile.height, width, height});
    }
    CheckImageMemory(targets, width, height, tile, out.threads);
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
  const HeightUnits heightUnits =
      out.heights == "metres" ? HeightsInMeshUnits(map, zRange, out.time, input) : HeightUnits{};
  const TerrainFrame terrain = TerrainFrameFor(targets, out, region, zRange, width, height, input);
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
  request.edgeAligned = out.edgeAligned;
  request.outputs.clear();
  for (const Target& target : targets) request.outputs.push_back(target.output);
  request.bumpScale = out.bumpScale;
  request.heightUnits = heightUnits;
  request.normalConvention =
      out.normalConvention == NormalConventionName(NormalConvention::Dx) ? NormalConvention::Dx : NormalConvention::Gl;
  request.terrain = terrain;
  request.threads = out.threads;
  // Built after the update, from what the map has just read, so that the two agree.
  const CoverageMask coverage(*map, loaded.exported, out.time, request.filter);
  request.coverage = &coverage;
  for (const Target& target : targets) {
    request.nodata.push_back(nodata && TakesNodata(*target.output)
                                 ? std::optional<float>(NodataPixel(target.format, *nodata))
                                 : std::nullopt);
  }
  int useNormals = 0;
  Interval ignore = FOREVER;
  Block(map)->GetValue(ParamByName(Block(map), "useNormals"), out.time, useNormals, ignore);
  request.bump = useNormals != 0 ? Bump::Normals : Bump::Numerical;

  RenderRecord record;
  record.source = shard ? ShardSource(*shard) : input;
  record.zRange = zRange;
  record.extent = extent;
  record.winding = shard ? shard->winding : loaded.winding;
  record.heightsInMeshUnits = heightUnits.meshUnits;
  record.nodata = nodata;
  for (const Target& target : targets) {
    const std::string kind = target.output->kind;
    if (kind == "bump") record.normals = request.normalConvention;
    if (kind == "hillshade") record.light = std::make_pair(request.terrain.azimuth, request.terrain.altitude);
  }
  record.edgeAligned = out.edgeAligned;
  record.time = out.time;
  record.width = width;
  record.height = height;
  record.updateSeconds = updateSeconds;

  // Every image is opened before the render and takes its rows as they are done; its entries
  // that depend on the render come last.
  const std::vector<LateEntry> late = LateRenderEntries();
  std::vector<std::unique_ptr<ImageStreamWriter>> writers(targets.size());
  std::vector<RowSink> sinks(targets.size());
  std::vector<std::string> errors(targets.size());
  ReportJson earlyFacts = RenderFacts(map, record);
  if (!tileFact.is_null()) earlyFacts["veldmap:tile"] = tileFact;
  const ImageMetadata early = EarlyEntries(MetadataFromFacts(earlyFacts));
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const Target& target = targets[i];
    if (target.output->pixel == nullptr) continue;
    ImageWriteOptions imageOptions = writeOptions;
    if (crs && IsTiff(target.format)) {
      if (!region) {
        throw BadInput{input +
                       ": the map's UV generator turns, mirrors or repeats the map, so the image has no region of "
                       "the mesh for --georef to place"};
      }
      imageOptions.georef = PlaceGeoReference(*crs, *region, width, height, tile, out.edgeAligned);
    }
    ImageMetadata imageMeta = early;
    std::string encoding = OutputEncoding(*target.output, request);
    if (request.nodata[i]) {
      encoding += "; veldmap:nodata where no upward face covers the pixel";
      imageOptions.nodata = nodata;
    }
    imageMeta.entries.emplace_back("veldmap:encoding", encoding);
    writers[i] = std::make_unique<ImageStreamWriter>();
    const int imageWidth = tile.width > 0 ? tile.width : width, imageHeight = tile.width > 0 ? tile.height : height;
    if (!writers[i]->Open(target.path, imageWidth, imageHeight, target.output->channels, target.format, imageMeta, late,
                          imageOptions, &error)) {
      throw BadInput{error};
    }
    sinks[i] = [writer = writers[i].get(), &rowError = errors[i]](int first, int rows, const float* pixels) {
      return writer->WriteRows(first, rows, pixels, &rowError);
    };
  }

  RenderResult result;
  if (std::any_of(targets.begin(), targets.end(), [](const Target& t) { return t.output->pixel != nullptr; })) {
    Progress progress("render", common.quiet);
    result =
        RenderMapToSinks(*map, request, sinks, [&progress](long long done, long long total) { progress(done, total); });
  }
  for (const std::string& rowError : errors) {
    if (!rowError.empty()) throw BadInput{rowError};
  }

  record.coverage = result.coverage;
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
    } else if (!writers[i]->Finish(LateEntries(meta), &error)) {
      throw BadInput{error};
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
