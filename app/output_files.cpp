#include "app/output_files.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

#include "app/cli_options.h"
#include "app/scene_setup.h"
#include "host/atomic_file.h"

namespace fs = std::filesystem;

ImageFormat FormatFor(const std::string& path, const std::string& forced) {
  if (!forced.empty()) {
    const auto format = FormatFromName(forced);
    if (!format) throw BadInput{"--format " + forced + ": use " + std::string(kFormatNames)};
    return *format;
  }
  if (path == kStandardOutput)
    throw BadInput{"an image on standard output needs --format (" + std::string(kFormatNames) + ")"};
  const auto format = FormatFromExtension(path);
  if (!format) throw BadInput{path + ": unknown image type (use .png, .exr, .tif or .r16, or --format)"};
  return *format;
}

ImageFormat OutputFormat(std::string_view kind, const std::string& path, const std::string& forced) {
  const ImageFormat format = FormatFor(path, forced);
  if (!forced.empty()) return format;
  // A height needs more than 256 steps (an 8-bit terrain shows terraces), and so does a slope; a
  // colour, a mask or a hillshade (whose levels are bytes anyway) has no use for floats.
  const bool height = kind == "height" || kind == "slope";
  if (format == ImageFormat::Png8 && height) return ImageFormat::Png16;
  if (format == ImageFormat::Tiff32 && !height) return ImageFormat::Tiff16;
  return format;
}

void CheckWritable(const std::string& path, const std::string& what) {
  if (path == kStandardOutput) return;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (fs::is_directory(status)) throw BadInput{fmt::format("{}: is a folder; the {} needs a file name", path, what)};
  if (fs::exists(status) && !fs::is_regular_file(status)) return;  // a device or a pipe, written in place
  // The file a link names is the one written, and its folder the one that must take it.
  fs::path file(path);
  for (int hop = 0; hop < 40 && fs::is_symlink(file, ec); ++hop) {
    const fs::path target = fs::read_symlink(file, ec);
    if (ec) break;
    file = target.is_absolute() ? target : file.parent_path() / target;
  }
  const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  if (!fs::is_directory(folder, ec)) {
    throw BadInput{fmt::format("{}: no folder {} for the {}", path, folder.string(), what)};
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    throw BadInput{fmt::format("{}: the folder {} cannot be written", path, folder.string())};
  }
}

void WriteText(const std::string& path, const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::string why;
  if (path == kStandardOutput) {
    if (!WriteAll(STDOUT_FILENO, bytes, text.size(), &why)) throw BadInput{"standard output: " + why};
    return;
  }
  AtomicFileWriter file;
  if (!file.Open(path, &why) || !file.Write(bytes, text.size(), &why) || !file.Commit(&why)) {
    throw BadInput{path + ": " + why};
  }
}

namespace {

// A float as the shortest decimal that reads back as it: what a user wrote in the mesh file,
// rather than the binary value's long double expansion.
double Decimal(double value) {
  if (!(std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max()))) return value;
  return std::strtod(fmt::format("{}", static_cast<float>(value)).c_str(), nullptr);
}

ReportJson Rect(const std::optional<XYRect>& rect) {
  if (!rect) return nullptr;
  return ReportJson::array({Decimal(rect->x0), Decimal(rect->y0), Decimal(rect->x1), Decimal(rect->y1)});
}

}  // namespace

double ReportedCoverage(double share) { return std::round(share * 1e6) / 1e6; }

ReportJson RenderFacts(Texmap* map, const RenderRecord& record) {
  const auto& zRange = record.zRange;
  int depth = 0;
  const Placement placement = BlockPlacement(Block(map), record.time, &depth);
  const std::optional<XYRect> region = ImageRegion(record.extent, placement, GeneratorFrame(map));
  ReportJson pixelSize = nullptr;
  // Edge-aligned samples span the region in one step fewer than their number.
  const int steps = record.edgeAligned ? 1 : 0;
  if (region && record.width > steps && record.height > steps) {
    pixelSize = ReportJson::array({Decimal(std::fabs(region->Width()) / (record.width - steps)),
                                   Decimal(std::fabs(region->Height()) / (record.height - steps))});
  }
  ReportJson facts = ReportJson::object();
  facts["veldmap:source"] = record.source;
  facts["veldmap:z_min"] = zRange ? ReportJson(Decimal(zRange->first)) : ReportJson(nullptr);
  facts["veldmap:z_max"] = zRange ? ReportJson(Decimal(zRange->second)) : ReportJson(nullptr);
  facts["veldmap:normalized"] =
      placement.normalize ? "yes: z = z_min + height * (z_max - z_min)" : "no: z = height * (z_max - z_min)";
  facts["veldmap:params"] = ParamSummary(map);
  facts["veldmap:size"] = ReportJson::array({record.width, record.height});
  facts["veldmap:extent"] = Rect(record.extent);
  facts["veldmap:region"] = Rect(region);
  facts["veldmap:pixel_size"] = pixelSize;
  facts["veldmap:heights"] = record.heightsInMeshUnits ? "metres" : "map";
  // JSON has no NaN: it is written as the text a reader of the images' metadata sees.
  facts["veldmap:nodata"] = !record.nodata               ? ReportJson(nullptr)
                            : std::isnan(*record.nodata) ? ReportJson("nan")
                                                         : ReportJson(*record.nodata);
  facts["veldmap:samples"] = record.edgeAligned ? "edges: u = x / (width - 1), v = 1 - y / (height - 1)"
                                                : "centres: u = (x + 0.5) / width, v = 1 - (y + 0.5) / height";
  facts["veldmap:orient"] = record.winding.OrientName();
  facts["veldmap:faces_down"] = record.winding.facing.down;
  facts["veldmap:faces_turned"] = record.winding.turned;
  if (record.normals) facts["veldmap:normal_convention"] = NormalConventionName(*record.normals);
  if (record.light) facts["veldmap:light"] = {{"azimuth", record.light->first}, {"altitude", record.light->second}};
  facts["veldmap:coverage"] = ReportedCoverage(record.coverage);
  facts["veldmap:seconds"] = {{"update", std::round(record.updateSeconds * 1e3) / 1e3},
                              {"render", std::round(record.renderSeconds * 1e3) / 1e3}};
  return facts;
}

std::string MetadataText(const ReportJson& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "none";
  std::string text;
  if (value.is_array()) {
    // Appended piece by piece: a literal joined to a temporary trips GCC 12's -Wrestrict at -O3.
    for (const ReportJson& item : value) {
      if (!text.empty()) text += ',';
      text += MetadataText(item);
    }
    return text;
  }
  if (value.is_object()) {
    for (const auto& [key, item] : value.items()) {
      if (!text.empty()) text += ' ';
      text += key;
      text += ' ';
      text += MetadataText(item);
    }
    return text;
  }
  // A float as its shortest text ("20", not the report's "20.0"); integers as they are.
  if (value.is_number_float()) return fmt::format("{}", value.get<double>());
  return value.dump();
}

std::string FactText(const std::string& key, const ReportJson& value) {
  return key == "veldmap:coverage" && value.is_number() ? CoverageText(value.get<double>()) : MetadataText(value);
}

ImageMetadata MetadataFromFacts(const ReportJson& facts) {
  ImageMetadata meta;
  for (const auto& [key, value] : facts.items()) meta.entries.emplace_back(key, FactText(key, value));
  return meta;
}

ImageMetadata RenderMetadata(Texmap* map, const RenderRecord& record) {
  return MetadataFromFacts(RenderFacts(map, record));
}

std::string CoverageText(double share) { return fmt::format("{:.6f}", ReportedCoverage(share)); }

std::vector<LateEntry> LateRenderEntries() { return {{"veldmap:coverage", 8}, {"veldmap:seconds", 48}}; }

namespace {

bool IsLate(const std::string& key) {
  for (const LateEntry& entry : LateRenderEntries()) {
    if (entry.key == key) return true;
  }
  return false;
}

}  // namespace

ImageMetadata EarlyEntries(const ImageMetadata& meta) {
  ImageMetadata early;
  for (const auto& entry : meta.entries) {
    if (!IsLate(entry.first)) early.entries.push_back(entry);
  }
  return early;
}

// In the order LateRenderEntries gives them, which ImageStreamWriter::Finish wants.
ImageMetadata LateEntries(const ImageMetadata& meta) {
  ImageMetadata late;
  for (const LateEntry& entry : LateRenderEntries()) {
    for (const auto& [key, value] : meta.entries) {
      if (key == entry.key) late.entries.emplace_back(key, value);
    }
  }
  return late;
}

std::string OutputEncoding(const RenderOutput& output, const RenderRequest& request) {
  const std::string kind = output.kind;
  if (output.pixel != nullptr && kind == "bump") {
    return fmt::format(
        "{}; from {}, scale {}; green {}", output.encoding, BumpName(request.bump), request.bumpScale,
        request.normalConvention == NormalConvention::Dx ? "down +Y (dx: 1 - gl's green)" : "up +Y (gl)");
  }
  const TerrainFrame& frame = request.terrain;
  if (kind == "slope") {
    return fmt::format(
        "{}{}, 0 level to 90 vertical, in the mesh's own X, Y and Z units from Horn's 3x3 gradient (heights "
        "extended in a straight line past the image's edges)",
        output.encoding, frame.slopeScale == 1.0 ? "" : " / 90 (full scale, 65535 or 255, is 90 degrees)");
  }
  if (kind == "hillshade") {
    return fmt::format(
        "{} {}1..255 (1: in shadow or facing away; 0: no value) of a light at azimuth {} and altitude {} "
        "degrees, in the mesh's own units, z factor 1",
        output.encoding, frame.shadeScale == 1.0 ? "" : "/ 255 (an 8-bit PNG holds the level itself) of ",
        frame.azimuth, frame.altitude);
  }
  if (output.pixel != nullptr && std::string(output.kind) == "height" && request.heightUnits.meshUnits) {
    return "z in the mesh's own units: the map's mono value h as z = veldmap:normalized's formula";
  }
  return output.encoding;
}

namespace {

int CheckedSide(long long side, const std::string& why) {
  if (side < 1 || side > 65535)
    throw UsageError{fmt::format("{} gives a side of {} pixels; the most is 65535", why, side)};
  return static_cast<int>(side);
}

}  // namespace

std::pair<int, int> ImageSize(const OutputOptions& out, const std::optional<XYRect>& region) {
  if (!region || (out.width > 0 && out.height > 0)) {
    return {out.width > 0 ? out.width : out.size, out.height > 0 ? out.height : out.size};
  }
  const double w = std::fabs(region->Width()), h = std::fabs(region->Height());
  // Sizes below are counted in steps between samples: pixels, or one fewer when edge-aligned.
  const int extra = out.edgeAligned ? 1 : 0;
  if (out.pixelSize) {
    const ImageSides sides = SidesForRegion(w, h, out.pixelSize, out.size);
    const std::string why = fmt::format("--pixel-size {} over {} x {}", *out.pixelSize, w, h);
    return {CheckedSide(sides.width + extra, why), CheckedSide(sides.height + extra, why)};
  }
  // Held below what a long long takes, so a needle-thin region is refused rather than overflowing.
  const auto side = [extra](double steps) { return std::max(1LL, std::llround(std::min(steps, 1e15))) + extra; };
  if (out.width > 0)
    return {out.width, CheckedSide(side((out.width - extra) * h / w), "--width and the mesh's aspect")};
  if (out.height > 0)
    return {CheckedSide(side((out.height - extra) * w / h), "--height and the mesh's aspect"), out.height};
  const ImageSides sides = SidesForRegion(w, h, std::nullopt, std::max(1, out.size - extra));
  return {CheckedSide(sides.width + extra, "--size and the mesh's aspect"),
          CheckedSide(sides.height + extra, "--size and the mesh's aspect")};
}
