#include "app/outputs.h"

#include <cmath>

const char* BumpName(Bump bump) { return bump == Bump::Normals ? "normals" : "numerical"; }

const char* NormalConventionName(NormalConvention convention) {
  return convention == NormalConvention::Dx ? "dx" : "gl";
}

const AColor& PixelSample::Color() {
  if (!haveColor_) {
    color_ = map_.EvalColor(sc_);
    haveColor_ = true;
  }
  return color_;
}

void PixelSample::Neighbourhood(float window[9]) const {
  const float* row = centre_ - stride_ - 1;
  for (int r = 0; r < 3; ++r, row += stride_) {
    for (int c = 0; c < 3; ++c) window[3 * r + c] = row[c];
  }
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
  out[1] = s.Convention() == NormalConvention::Dx ? 1.0f - n.y : n.y;
  out[2] = n.z;
}

void MaskPixel(PixelSample& s, float* out) { out[0] = s.Covered() ? 1.0f : 0.0f; }

template <PixelFunction Rgb>
void RgbWithCoverage(PixelSample& s, float* out) {
  Rgb(s, out);
  out[3] = s.Covered() ? 1.0f : 0.0f;
}

void SlopePixel(PixelSample& s, float* out) {
  float window[9];
  s.Neighbourhood(window);
  const TerrainFrame& frame = s.Terrain();
  out[0] = static_cast<float>(SlopeDegrees(HornGradient(window, frame)) * frame.slopeScale);
}

void HillshadePixel(PixelSample& s, float* out) {
  float window[9];
  s.Neighbourhood(window);
  const TerrainFrame& frame = s.Terrain();
  out[0] = static_cast<float>(Hillshade(HornGradient(window, frame), frame.azimuth, frame.altitude) * frame.shadeScale);
}

}  // namespace

const std::vector<RenderOutput>& RenderOutputs() {
  static const std::vector<RenderOutput> outputs = {
      {"height", "height (mono) image: .png or .exr", OutputFile::Image, 1, "the map's mono value, unclamped in EXR",
       HeightPixel, false},
      {"color", "colour image (the ramp's colour with --ramp)", OutputFile::Image, 3, "the map's RGB colour",
       ColorPixel, false},
      {"alpha", "alpha image", OutputFile::Image, 1, "the map's alpha", AlphaPixel, false},
      {"bump", "bump as a tangent-space normal map", OutputFile::Image, 3,
       "tangent-space normal, stored as 0.5 + 0.5 n", BumpPixel, false},
      {"mask", "coverage mask: 1 (255 in 8-bit PNG) where an upward face covers the pixel, 0 over holes",
       OutputFile::Image, 1, "coverage: 1 where an upward face covers the pixel's mapped point, 0 where none does",
       MaskPixel, false},
      {"slope", "slope in degrees from the mesh's own X, Y and Z units: .exr, or .png (90 degrees full scale)",
       OutputFile::Image, 1, "slope in degrees", SlopePixel, true},
      {"hillshade", "hillshade, 1..255 (--azimuth, --altitude): .png or .exr", OutputFile::Image, 1, "hillshade",
       HillshadePixel, true},
      {"preview", "the viewport preview, .bmp", OutputFile::Bmp, 0, "the map's viewport preview", nullptr, false},
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
                                     RgbWithCoverage<ColorPixel>,
                                     false};
  static const RenderOutput bump = {
      "bump",
      "",
      OutputFile::Image,
      4,
      "tangent-space normal, stored as 0.5 + 0.5 n; A: 1 where an upward face covers the pixel, 0 over holes",
      RgbWithCoverage<BumpPixel>,
      false};
  if (output.pixel == ColorPixel) return color;
  if (output.pixel == BumpPixel) return bump;
  return output;
}
