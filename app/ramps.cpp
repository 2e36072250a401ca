// Colour ramps. Their records wrap the base data (the name) in a chunk of their own, because the
// base loader reads every chunk at its level.
#include "app/ramps.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "host/byte_order.h"
#include "host/shade_context.h"

namespace {

constexpr unsigned short kRampBaseChunk = 0x6001;
constexpr unsigned short kGradientStopsChunk = 0x6000;
constexpr unsigned short kBitmapPathChunk = 0x6002;
constexpr std::uint32_t kMaxStops = 4096;
constexpr std::size_t kMaxPathBytes = 4096;

const std::map<std::string, std::string>& Presets() {
  static const std::map<std::string, std::string> presets = {
      {"grey", "0:#000000,1:#ffffff"},
      {"terrain", "0:#1d4877,0.3:#4a90c2,0.35:#e8d8a0,0.45:#2e7d32,0.7:#6d4c41,0.9:#9e9e9e,1:#ffffff"},
      {"heat", "0:#000000,0.35:#b71c1c,0.7:#ff9800,1:#ffffe0"},
      {"ocean", "0:#00111f,0.5:#0d47a1,1:#b3e5fc"},
  };
  return presets;
}

std::optional<float> ParseFloat(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const float v = std::strtof(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<Color> ParseHexColor(const std::string& text) {
  if (text.size() != 7 || text[0] != '#') return std::nullopt;
  float channels[3];
  for (int c = 0; c < 3; ++c) {
    int value = 0;
    for (int k = 1; k <= 2; ++k) {
      const char ch = text[static_cast<std::size_t>(1 + 2 * c + k - 1)];
      const int digit = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0'
                        : (ch >= 'a' && ch <= 'f')                   ? ch - 'a' + 10
                        : (ch >= 'A' && ch <= 'F')                   ? ch - 'A' + 10
                                                                     : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + digit;
    }
    channels[c] = static_cast<float>(value) / 255.0f;
  }
  return Color(channels[0], channels[1], channels[2]);
}

// The ramp coordinate a shading context hands over: U of map channel 1.
float RampU(ShadeContext& sc) { return sc.UVW(1).x; }

}  // namespace

std::vector<std::string> GradientPresetNames() {
  std::vector<std::string> names;
  for (const auto& [name, spec] : Presets()) names.push_back(name);
  return names;
}

std::optional<std::vector<ColorStop>> ParseGradient(const std::string& spec, std::string* error) {
  const auto preset = Presets().find(spec);
  const std::string text = preset != Presets().end() ? preset->second : spec;
  std::vector<ColorStop> stops;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    const std::size_t colon = item.find(':');
    const auto position = colon == std::string::npos ? std::nullopt : ParseFloat(item.substr(0, colon));
    const auto color = colon == std::string::npos ? std::nullopt : ParseHexColor(item.substr(colon + 1));
    if (!position || !color || *position < 0.0f || *position > 1.0f) {
      *error = "ramp '" + spec + "': '" + item + "' is not POSITION:#RRGGBB with POSITION in 0..1 (or use a preset: " +
               [] {
                 std::string names;
                 for (const std::string& n : GradientPresetNames()) names += (names.empty() ? "" : ", ") + n;
                 return names;
               }() +
               ")";
      return std::nullopt;
    }
    if (!stops.empty() && *position < stops.back().position) {
      *error = "ramp '" + spec + "': stop positions must not decrease ('" + item + "')";
      return std::nullopt;
    }
    stops.push_back({*position, *color});
    start = comma + 1;
  }
  return stops;
}

// ---- GradientMap ------------------------------------------------------------------------------

GradientMap::GradientMap(std::vector<ColorStop> stops) : stops_(std::move(stops)) {
  if (stops_.empty()) stops_.push_back({0.0f, Color(0, 0, 0)});
}

Color GradientMap::ColorAt(float u) const {
  if (std::isnan(u) || u <= stops_.front().position) return stops_.front().color;
  if (u >= stops_.back().position) return stops_.back().color;
  std::size_t i = 1;
  while (stops_[i].position < u) ++i;  // stops_[i - 1].position < u <= stops_[i].position
  const ColorStop& a = stops_[i - 1];
  const ColorStop& b = stops_[i];
  const float s = (u - a.position) / (b.position - a.position);
  return Color(a.color.r + (b.color.r - a.color.r) * s, a.color.g + (b.color.g - a.color.g) * s,
               a.color.b + (b.color.b - a.color.b) * s);
}

AColor GradientMap::EvalColor(ShadeContext& sc) {
  const Color c = ColorAt(RampU(sc));
  return AColor(c.r, c.g, c.b, 1.0f);
}

ReferenceTarget* GradientMap::Clone(RemapDir& remap) {
  auto* copy = new GradientMap(stops_);
  BaseClone(this, copy, remap);
  return copy;
}

IOResult GradientMap::Save(ISave* save) {
  save->BeginChunk(kRampBaseChunk);
  const IOResult base = MtlBase::Save(save);
  save->EndChunk();
  if (base != IO_OK) return base;
  std::vector<unsigned char> body;
  AppendLE32(body, static_cast<std::uint32_t>(stops_.size()));
  for (const ColorStop& stop : stops_) {
    AppendF32(body, stop.position);
    AppendF32(body, stop.color.r);
    AppendF32(body, stop.color.g);
    AppendF32(body, stop.color.b);
  }
  return WriteChunkBytes(*save, kGradientStopsChunk, body);
}

IOResult GradientMap::Load(ILoad* load) {
  std::vector<ColorStop> stops;
  while (load->OpenChunk() == IO_OK) {
    IOResult result = IO_OK;
    if (load->CurChunkID() == kRampBaseChunk) {
      result = MtlBase::Load(load);
    } else if (load->CurChunkID() == kGradientStopsChunk) {
      std::vector<unsigned char> body;
      if (!ReadChunkBytes(*load, 4 + 16 * std::size_t{kMaxStops}, &body) || body.size() < 4) {
        result = IO_ERROR;
      } else {
        const std::uint32_t count = LoadLE32(body.data());
        if (count == 0 || count > kMaxStops || body.size() != 4 + 16 * std::size_t{count}) {
          result = IO_ERROR;
        } else {
          for (std::uint32_t i = 0; i < count; ++i) {
            const unsigned char* at = body.data() + 4 + std::size_t{16} * i;
            const ColorStop stop{LoadF32(at), Color(LoadF32(at + 4), LoadF32(at + 8), LoadF32(at + 12))};
            // Positions must be in order for ColorAt's walk to stay inside the table.
            if (!(stop.position >= 0.0f && stop.position <= 1.0f) ||
                (!stops.empty() && stop.position < stops.back().position)) {
              result = IO_ERROR;
              break;
            }
            stops.push_back(stop);
          }
        }
      }
    }
    if (load->CloseChunk() != IO_OK || result != IO_OK) return IO_ERROR;
  }
  if (stops.empty()) return IO_ERROR;
  stops_ = std::move(stops);
  return IO_OK;
}

// ---- BitmapMap --------------------------------------------------------------------------------

bool BitmapMap::LoadImage(const std::string& path, std::string* error) {
  Image image;
  if (!ReadImage(path, &image, nullptr, error)) return false;
  if (image.width < 1 || image.height < 1 || image.channels < 1) {
    *error = path + ": the image is empty";
    return false;
  }
  image_ = std::move(image);
  path_ = path;
  return true;
}

AColor BitmapMap::ColorAt(float u, float v) const {
  if (image_.pixels.empty()) return AColor(0, 0, 0, 1);
  const float cu = std::isnan(u) ? 0.0f : std::clamp(u, 0.0f, 1.0f);
  const float cv = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
  // Pixel centres span the image; row 0 is the top, v = 0 the bottom.
  const float x = cu * static_cast<float>(image_.width - 1);
  const float y = (1.0f - cv) * static_cast<float>(image_.height - 1);
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const int x1 = std::min(x0 + 1, image_.width - 1), y1 = std::min(y0 + 1, image_.height - 1);
  const float fx = x - static_cast<float>(x0), fy = y - static_cast<float>(y0);
  auto channel = [&](int px, int py, int c) {
    const int channels = image_.channels;
    // Grey images repeat their one channel; a missing alpha is opaque.
    const int source = channels >= 3 ? std::min(c, channels - 1) : (c < 3 ? 0 : (channels == 2 ? 1 : -1));
    if (c == 3 && (channels == 1 || channels == 3)) return 1.0f;
    return image_
        .pixels[(static_cast<std::size_t>(py) * static_cast<std::size_t>(image_.width) + static_cast<std::size_t>(px)) *
                    static_cast<std::size_t>(channels) +
                static_cast<std::size_t>(source)];
  };
  float out[4];
  for (int c = 0; c < 4; ++c) {
    const float top = channel(x0, y0, c) * (1 - fx) + channel(x1, y0, c) * fx;
    const float bottom = channel(x0, y1, c) * (1 - fx) + channel(x1, y1, c) * fx;
    out[c] = top * (1 - fy) + bottom * fy;
  }
  return AColor(out[0], out[1], out[2], out[3]);
}

AColor BitmapMap::EvalColor(ShadeContext& sc) {
  const Point3 uvw = sc.UVW(1);
  return ColorAt(uvw.x, uvw.y);
}

ReferenceTarget* BitmapMap::Clone(RemapDir& remap) {
  auto* copy = new BitmapMap();
  copy->path_ = path_;
  copy->image_ = image_;
  BaseClone(this, copy, remap);
  return copy;
}

IOResult BitmapMap::Save(ISave* save) {
  save->BeginChunk(kRampBaseChunk);
  const IOResult base = MtlBase::Save(save);
  save->EndChunk();
  if (base != IO_OK) return base;
  return WriteChunkBytes(*save, kBitmapPathChunk, std::vector<unsigned char>(path_.begin(), path_.end()));
}

IOResult BitmapMap::Load(ILoad* load) {
  std::string path;
  while (load->OpenChunk() == IO_OK) {
    IOResult result = IO_OK;
    if (load->CurChunkID() == kRampBaseChunk) {
      result = MtlBase::Load(load);
    } else if (load->CurChunkID() == kBitmapPathChunk) {
      std::vector<unsigned char> body;
      if (!ReadChunkBytes(*load, kMaxPathBytes, &body)) result = IO_ERROR;
      path.assign(body.begin(), body.end());
    }
    if (load->CloseChunk() != IO_OK || result != IO_OK) return IO_ERROR;
  }
  std::string error;
  return !path.empty() && LoadImage(path, &error) ? IO_OK : IO_ERROR;
}
