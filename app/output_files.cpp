#include "app/output_files.h"

#include <fmt/format.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "app/cli_options.h"
#include "app/scene_setup.h"
#include "host/atomic_file.h"

namespace fs = std::filesystem;

ImageFormat FormatFor(const std::string& path, const std::string& forced) {
  if (!forced.empty()) {
    const auto format = FormatFromName(forced);
    if (!format) throw BadInput{"--format " + forced + ": use png8, png16 or exr"};
    return *format;
  }
  if (path == kStandardOutput) throw BadInput{"an image on standard output needs --format (png8, png16 or exr)"};
  const auto format = FormatFromExtension(path);
  if (!format) throw BadInput{path + ": unknown image type (use .png or .exr, or --format)"};
  return *format;
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

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<int>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
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

ImageMetadata RenderMetadata(Texmap* map, const RenderRecord& record) {
  const auto& zRange = record.zRange;
  int normalized = 1;
  Interval ignore = FOREVER;
  Block(map)->GetValue(ParamByName(Block(map), "normalizeMesh"), record.time, normalized, ignore);
  ImageMetadata meta;
  meta.entries = {
      {"veldmap:source", record.source},
      {"veldmap:z_min", zRange ? fmt::format("{}", zRange->first) : "none"},
      {"veldmap:z_max", zRange ? fmt::format("{}", zRange->second) : "none"},
      {"veldmap:normalized",
       normalized != 0 ? "yes: z = z_min + height * (z_max - z_min)" : "no: z = height * (z_max - z_min)"},
      {"veldmap:params", ParamSummary(map)},
      {"veldmap:size", fmt::format("{}x{}", record.width, record.height)},
      {"veldmap:coverage", fmt::format("{:.6f}", record.coverage)},
      {"veldmap:seconds", fmt::format("update {:.3f} render {:.3f}", record.updateSeconds, record.renderSeconds)},
  };
  return meta;
}

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
  if (output.pixel != nullptr && std::string(output.kind) == "bump") {
    return fmt::format("{}; from {}, scale {}", output.encoding, BumpName(request.bump), request.bumpScale);
  }
  return output.encoding;
}
