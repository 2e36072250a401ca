// veldmap join: tiles rendered with --tile into the whole image, only when every tile is a piece
// of the same render.
#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "app/commands.h"
#include "app/image_io.h"
#include "app/output_files.h"

namespace {

// Entries that differ from tile to tile by nature; every other entry (source, Z range, size,
// parameters, encoding) must be the same in all tiles.
bool PerTile(const std::string& key) {
  return key == "veldmap:tile" || key == "veldmap:coverage" || key == "veldmap:seconds";
}

const char* FormatName(ImageFormat format) {
  return format == ImageFormat::Png16 ? "16-bit PNG" : format == ImageFormat::Png8 ? "8-bit PNG" : "EXR";
}

}  // namespace

int Join(const std::vector<std::string>& tiles, const std::string& output, const std::string& format) {
  CheckWritable(output, "joined image");
  const ImageFormat asked = FormatFor(output, format);
  Image whole;
  ImageMetadata wholeMeta;
  std::map<std::string, std::string> shared;
  ImageFormat stored = ImageFormat::Png8;
  double coveredPixels = 0.0;
  std::vector<unsigned char> filled;
  std::map<std::string, std::string> pathOfTile;  // veldmap:tile entry -> the first file with it
  for (const std::string& path : tiles) {
    Image tile;
    ImageMetadata meta;
    std::string error;
    if (!ReadImage(path, &tile, &meta, &error)) throw BadInput{error};
    std::string where, coverage;
    std::map<std::string, std::string> entries;
    for (const auto& [key, value] : meta.entries) {
      if (key == "veldmap:tile") where = value;
      if (key == "veldmap:coverage") coverage = value;
      if (!PerTile(key)) entries[key] = value;
    }
    int x0 = 0, y0 = 0, w = 0, h = 0, fullW = 0, fullH = 0;
    if (where.empty() || std::sscanf(where.c_str(), "%d,%d,%d,%d,%d,%d", &x0, &y0, &w, &h, &fullW, &fullH) != 6) {
      throw BadInput{path + ": not a tile (no veldmap:tile entry; render it with --tile)"};
    }
    if (const auto [it, isNew] = pathOfTile.emplace(where, path); !isNew) {
      throw BadInput{fmt::format("{}: the same tile as {} (pixels {},{} {}x{}); give each tile once", path, it->second,
                                 x0, y0, w, h)};
    }
    if (w != tile.width || h != tile.height || x0 < 0 || y0 < 0 || fullW < 1 || fullH < 1 || x0 + w > fullW ||
        y0 + h > fullH) {
      throw BadInput{path + ": its tile entry does not match the image"};
    }
    const ImageFormat tileFormat = StoredFormat(path).value_or(ImageFormat::Exr);
    if (whole.pixels.empty()) {
      whole.width = fullW;
      whole.height = fullH;
      whole.channels = tile.channels;
      whole.pixels.assign(static_cast<std::size_t>(fullW) * fullH * tile.channels, 0.0f);
      filled.assign(static_cast<std::size_t>(fullW) * fullH, 0);
      for (const auto& entry : meta.entries) {
        if (entry.first != "veldmap:tile" && entry.first != "veldmap:seconds") wholeMeta.entries.push_back(entry);
      }
      shared = entries;
      stored = tileFormat;
    } else if (fullW != whole.width || fullH != whole.height || tile.channels != whole.channels) {
      throw BadInput{path + ": belongs to another image (size or channels differ)"};
    } else if (tileFormat != stored) {
      throw BadInput{fmt::format("{}: a {} tile among {} ones", path, FormatName(tileFormat), FormatName(stored))};
    } else if (entries != shared) {
      // Name the first entry that differs, so the user sees which option or file changed; the
      // source first, since a tile of another mesh differs in much else too.
      std::string differs, here = "none", there = "none";
      std::vector<std::pair<std::string, std::string>> order;
      if (const auto source = shared.find("veldmap:source"); source != shared.end()) order.push_back(*source);
      order.insert(order.end(), shared.begin(), shared.end());
      for (const auto& [key, value] : order) {
        const auto it = entries.find(key);
        if (it == entries.end() || it->second != value) {
          differs = key;
          there = value;
          if (it != entries.end()) here = it->second;
          break;
        }
      }
      if (differs.empty()) {
        differs = entries.begin()->first;
        here = entries.begin()->second;
      }
      throw BadInput{fmt::format("{}: not a tile of the same render as {} ({} differs: \"{}\" here, \"{}\" there)",
                                 path, tiles[0], differs, here, there)};
    }
    double share = 0.0;
    if (std::sscanf(coverage.c_str(), "%lf", &share) == 1) coveredPixels += share * w * h;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const std::size_t at = static_cast<std::size_t>(y0 + y) * fullW + static_cast<std::size_t>(x0 + x);
        if (filled[at]++ != 0) throw BadInput{path + ": overlaps another tile"};
        for (int c = 0; c < tile.channels; ++c) {
          whole.pixels[at * tile.channels + c] =
              tile.pixels[(static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)) * tile.channels + c];
        }
      }
    }
  }
  if (std::find(filled.begin(), filled.end(), 0) != filled.end()) {
    // Name where the gap is, so the missing tile can be found.
    int gapX0 = whole.width, gapY0 = whole.height, gapX1 = -1, gapY1 = -1;
    long long gap = 0;
    for (int y = 0; y < whole.height; ++y) {
      for (int x = 0; x < whole.width; ++x) {
        if (filled[static_cast<std::size_t>(y) * whole.width + static_cast<std::size_t>(x)] != 0) continue;
        ++gap;
        gapX0 = std::min(gapX0, x);
        gapY0 = std::min(gapY0, y);
        gapX1 = std::max(gapX1, x);
        gapY1 = std::max(gapY1, y);
      }
    }
    throw BadInput{fmt::format(
        "the tiles leave part of the image empty: no tile covers pixels {},{} to {},{} ({} of {}); a tile is missing",
        gapX0, gapY0, gapX1, gapY1, gap, static_cast<long long>(whole.width) * whole.height)};
  }
  // The whole image's share of covered pixels is the tiles' shares weighted by their sizes.
  for (auto& [key, value] : wholeMeta.entries) {
    if (key == "veldmap:coverage") {
      value = CoverageText(coveredPixels / (static_cast<double>(whole.width) * whole.height));
    }
  }
  // A .png name asks for PNG, not for fewer bits than the tiles hold; --format decides exactly.
  const ImageFormat chosen =
      format.empty() && asked == ImageFormat::Png8 && stored != ImageFormat::Png8 ? ImageFormat::Png16 : asked;
  std::string error;
  if (!WriteImage(output, whole, chosen, wholeMeta, &error)) throw BadInput{error};
  return kExitOk;
}
