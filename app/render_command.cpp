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
#include "app/output_files.h"
#include "app/outputs.h"
#include "app/progress.h"
#include "app/render.h"
#include "app/scene_setup.h"
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
void CheckImageMemory(const std::vector<Target>& targets, const std::string& forcedFormat, int width, int height,
                      const Tile& tile, int threads) {
  const std::uint64_t w = static_cast<std::uint64_t>(tile.width > 0 ? tile.width : width);
  const std::uint64_t h = static_cast<std::uint64_t>(tile.width > 0 ? tile.height : height);
  const std::uint64_t bandRows = std::min<std::uint64_t>(h, static_cast<std::uint64_t>(RenderBandRows(int(w))));
  const std::uint64_t cores =
      static_cast<std::uint64_t>(threads > 0 ? threads : std::max(1u, std::thread::hardware_concurrency()));
  std::uint64_t need = 0, inMemory = 0;
  std::string kinds;
  for (const Target& target : targets) {
    if (target.output->pixel == nullptr) continue;
    const auto channels = static_cast<std::uint64_t>(target.output->channels);
    const ImageFormat format = FormatFor(target.path, forcedFormat);
    // Two sets of bands (one encoded while the next renders), and a PNG band's quantised rows.
    need += 2 * w * bandRows * channels * sizeof(float) + w * bandRows * channels *
                                                              (format == ImageFormat::Exr     ? 0
                                                               : format == ImageFormat::Png16 ? 2
                                                                                              : 1);
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
          "a {}x{} {} of {} as EXR on standard output or a pipe is encoded whole in memory before it is written "
          "(its line offset table comes last), and needs {}, more than the {} this machine has: write it to a file, "
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

}  // namespace

int Render(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
           OutputOptions out) {
  const std::vector<Target> targets = Targets(out, mapOptions);
  const int width = out.width > 0 ? out.width : out.size;
  const int height = out.height > 0 ? out.height : out.size;
  if (width < 1 || height < 1)
    throw UsageError{fmt::format("image size {}x{}: both sides must be 1 or more", width, height)};
  const ImageWriteOptions writeOptions = WriteOptions(out);
  // The tile is cut, and the memory it needs weighed, before the mesh is read: a refusal costs nothing.
  std::string error;
  Tile tile;
  std::string tileText;
  if (!out.tile.empty()) {
    int index = 0, count = 0;
    char slash = 0;
    std::istringstream in(out.tile);
    if (!(in >> index >> slash >> count) || slash != '/' || !in.eof())
      throw BadInput{"--tile " + out.tile + ": use I/N"};
    if (!SplitTile(width, height, index - 1, count, out.tileRows, out.tileCols, &tile, &error)) {
      throw BadInput{error};
    }
    tileText = fmt::format("{},{},{},{},{},{}", tile.x0, tile.y0, tile.width, tile.height, width, height);
  }
  CheckImageMemory(targets, out.format, width, height, tile, out.threads);
  if (!std::isfinite(out.bumpScale)) throw UsageError{fmt::format("--bump-scale {}: not a number", out.bumpScale)};

  Session session;
  OpenSession(session, common, common.program);
  Loaded loaded = LoadInput(session, input, meshOptions);
  Texmap* map = loaded.map;
  MapGuard guard(map);
  ApplyMapOptions(map, mapOptions, Tiling::SingleImage);
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
  request.threads = out.threads;
  int useNormals = 0;
  Interval ignore = FOREVER;
  Block(map)->GetValue(ParamByName(Block(map), "useNormals"), out.time, useNormals, ignore);
  request.bump = useNormals != 0 ? Bump::Normals : Bump::Numerical;

  RenderRecord record;
  record.source = input;
  record.zRange = ZRange(loaded.Shown());
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
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const Target& target = targets[i];
    if (target.output->pixel == nullptr) continue;
    ImageMetadata imageMeta = EarlyEntries(RenderMetadata(map, record));
    if (!tileText.empty()) imageMeta.entries.emplace_back("veldmap:tile", tileText);
    imageMeta.entries.emplace_back("veldmap:encoding", OutputEncoding(*target.output, request));
    writers[i] = std::make_unique<ImageStreamWriter>();
    const int imageWidth = tile.width > 0 ? tile.width : width, imageHeight = tile.width > 0 ? tile.height : height;
    if (!writers[i]->Open(target.path, imageWidth, imageHeight, target.output->channels,
                          FormatFor(target.path, out.format), imageMeta, late, writeOptions, &error)) {
      throw BadInput{error};
    }
    sinks[i] = [writer = writers[i].get(), &rowError = errors[i]](int first, int count, const float* pixels) {
      return writer->WriteRows(first, count, pixels, &rowError);
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
  ImageMetadata meta = RenderMetadata(map, record);
  if (!tileText.empty()) meta.entries.emplace_back("veldmap:tile", tileText);

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
    std::string json = "{\n";
    for (const auto& [key, value] : meta.entries) json += "  " + JsonString(key) + ": " + JsonString(value) + ",\n";
    // The command's peak memory, and per face: what a larger mesh of the same kind would need.
    if (const std::uint64_t peak = PeakResidentBytes(); peak > 0) {
      json += fmt::format("  \"peak_rss_bytes\": {},\n", peak);
      if (const int faces = loaded.Shown().getNumFaces(); faces > 0) {
        json += fmt::format("  \"peak_rss_bytes_per_face\": {:.1f},\n", double(peak) / faces);
      }
    }
    json += "  \"outputs\": {";
    for (std::size_t i = 0; i < written.size(); ++i) {
      json += (i ? ", " : "") + JsonString(written[i].first) + ": " + JsonString(written[i].second);
    }
    json += "}\n}\n";
    WriteText(out.report, json);
  }
  if (!common.quiet) {
    for (const auto& [kind, path] : written) {
      std::fprintf(stderr, "wrote %s: %s\n", kind.c_str(), path == kStandardOutput ? "standard output" : path.c_str());
    }
  }
  return kExitOk;
}
