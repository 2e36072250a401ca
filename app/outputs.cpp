#include "app/outputs.h"

#include <cmath>

const char* BumpName(Bump bump) { return bump == Bump::Normals ? "normals" : "numerical"; }

const AColor& PixelSample::Color() {
  if (!haveColor_) {
    color_ = map_.EvalColor(sc_);
    haveColor_ = true;
  }
  return color_;
}

// Numerical bump hands back the height's gradient (dh/du, dh/dv); the surface normal of a height
// field is (-dh/du, -dh/dv, 1). Normal bump hands back the mesh normal's x and y, whose z
// completes a unit vector.
Point3 EncodeNormal(const Point3& perturb, Bump bump, float scale) {
  Point3 n;
  if (bump == Bump::Numerical) {
    n = Point3(-perturb.x * scale, -perturb.y * scale, 1.0f);
  } else {
    const float x = perturb.x * scale, y = perturb.y * scale;
    n = Point3(x, y, std::sqrt(std::fmax(0.0f, 1.0f - x * x - y * y)));
  }
  const float length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  if (!(length > 0.0f) || !std::isfinite(length)) return Point3(0.5f, 0.5f, 1.0f);
  return Point3(0.5f + 0.5f * n.x / length, 0.5f + 0.5f * n.y / length, 0.5f + 0.5f * n.z / length);
}

namespace {

void HeightPixel(PixelSample& s, float* out) { out[0] = s.Height(); }

void ColorPixel(PixelSample& s, float* out) {
  const AColor& c = s.Color();
  out[0] = c.r;
  out[1] = c.g;
  out[2] = c.b;
}

void AlphaPixel(PixelSample& s, float* out) { out[0] = s.Color().a; }

void BumpPixel(PixelSample& s, float* out) {
  const Point3 n = EncodeNormal(s.Map().EvalNormalPerturb(s.Context()), s.BumpSource(), s.BumpScale());
  out[0] = n.x;
  out[1] = n.y;
  out[2] = n.z;
}

void MaskPixel(PixelSample& s, float* out) { out[0] = s.Covered() ? 1.0f : 0.0f; }

template <PixelFunction Rgb>
void RgbWithCoverage(PixelSample& s, float* out) {
  Rgb(s, out);
  out[3] = s.Covered() ? 1.0f : 0.0f;
}

}  // namespace

const std::vector<RenderOutput>& RenderOutputs() {
  static const std::vector<RenderOutput> outputs = {
      {"height", "height (mono) image: .png or .exr", OutputFile::Image, 1, "the map's mono value, unclamped in EXR",
       HeightPixel},
      {"color", "colour image (the ramp's colour with --ramp)", OutputFile::Image, 3, "the map's RGB colour",
       ColorPixel},
      {"alpha", "alpha image", OutputFile::Image, 1, "the map's alpha", AlphaPixel},
      {"bump", "bump as a tangent-space normal map", OutputFile::Image, 3,
       "tangent-space normal, stored as 0.5 + 0.5 n", BumpPixel},
      {"mask", "coverage mask: 1 (255 in 8-bit PNG) where an upward face covers the pixel, 0 over holes",
       OutputFile::Image, 1, "coverage: 1 where an upward face covers the pixel's mapped point, 0 where none does",
       MaskPixel},
      {"preview", "the viewport preview, .bmp", OutputFile::Bmp, 0, "the map's viewport preview", nullptr},
  };
  return outputs;
}

const RenderOutput* FindOutput(std::string_view kind) {
  for (const RenderOutput& output : RenderOutputs()) {
    if (kind == output.kind) return &output;
  }
  return nullptr;
}

std::string OutputKinds() {
  std::string text;
  for (const RenderOutput& output : RenderOutputs()) text += (text.empty() ? "" : ", ") + std::string(output.kind);
  return text;
}

bool TakesNodata(const RenderOutput& output) {
  return output.pixel != nullptr && output.channels == 1 && std::string_view(output.kind) != "mask";
}

const RenderOutput& WithCoverageAlpha(const RenderOutput& output) {
  static const RenderOutput color = {"color",
                                     "",
                                     OutputFile::Image,
                                     4,
                                     "the map's RGB colour; A: 1 where an upward face covers the pixel, 0 over holes",
                                     RgbWithCoverage<ColorPixel>};
  static const RenderOutput bump = {
      "bump",
      "",
      OutputFile::Image,
      4,
      "tangent-space normal, stored as 0.5 + 0.5 n; A: 1 where an upward face covers the pixel, 0 over holes",
      RgbWithCoverage<BumpPixel>};
  if (output.pixel == ColorPixel) return color;
  if (output.pixel == BumpPixel) return bump;
  return output;
}
