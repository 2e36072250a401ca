// The sample slot's lit sphere against shading worked out here from the view's description: a
// double whose colour is a known function of UV, and the real map on a mesh that is flat on one
// half and sloped on the other. Everything runs on the test's thread (no render pool).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "app/scene_setup.h"
#include "app/session.h"
#include "host/texture_shade_context.h"
#include "studio/sample_sphere.h"
#include "tests/support/stub_texmap.h"

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// Pixel (px, py) of an image of the given side as the sphere's view describes it.
struct SpherePoint {
  bool inside = false;
  Point3 normal;
  float u = 0.0f, v = 0.0f;
};

SpherePoint PointAt(int side, int px, int py) {
  const float radius = kSphereRadiusShare * static_cast<float>(side);
  const float x = (static_cast<float>(px) + 0.5f - 0.5f * static_cast<float>(side)) / radius;
  const float y = (0.5f * static_cast<float>(side) - static_cast<float>(py) - 0.5f) / radius;
  SpherePoint p;
  if (x * x + y * y > 1.0f) return p;
  p.inside = true;
  p.normal = Point3(x, y, std::sqrt(1.0f - x * x - y * y));
  p.u = 0.5f + std::atan2(p.normal.x, p.normal.z) / (2.0f * kPi);
  p.v = 0.5f + std::asin(y) / kPi;
  return p;
}

float Lit(float diffuse, const Point3& normal) {
  const Point3 toLight = Normalize(Point3(kToLight[0], kToLight[1], kToLight[2]));
  return std::clamp(diffuse * (kAmbient + kLightIntensity * std::max(0.0f, normal % toLight)), 0.0f, 1.0f);
}

const float* Pixel(const Image& image, int px, int py) {
  return &image.pixels[(static_cast<std::size_t>(py) * static_cast<std::size_t>(image.width) +
                        static_cast<std::size_t>(px)) *
                       3];
}

// Colour (u, v, 1 - u) and, when asked, a fixed tilt of the normal.
class UvColourMap : public StubTexmap {
 public:
  AColor EvalColor(ShadeContext& sc) override {
    const Point3 uvw = sc.UVW(1);
    return {uvw.x, uvw.y, 1.0f - uvw.x, 1.0f};
  }
  Point3 EvalNormalPerturb(ShadeContext&) override {
    ++perturbCalls;
    return {1.0f, 0.0f, 0.0f};
  }
  int perturbCalls = 0;
};

TEST(SampleSphereTest, LightsTheMapsColourAtTheSpheresUvAndShowsTheBackgroundOutside) {
  UvColourMap map;
  SampleSphereOptions options;
  options.size = 96;
  options.bump = false;
  const Image image = RenderSampleSphere(map, options);
  ASSERT_EQ(image.width, 96);
  ASSERT_EQ(image.height, 96);
  ASSERT_EQ(image.channels, 3);
  EXPECT_EQ(map.perturbCalls, 0);  // no bump asked for, none evaluated

  int inside = 0;
  for (int py = 0; py < 96; ++py) {
    for (int px = 0; px < 96; ++px) {
      const SpherePoint p = PointAt(96, px, py);
      const float* rgb = Pixel(image, px, py);
      if (!p.inside) {
        for (int c = 0; c < 3; ++c) ASSERT_EQ(rgb[c], kSphereBackground) << px << "," << py;
        continue;
      }
      ++inside;
      ASSERT_NEAR(rgb[0], Lit(p.u, p.normal), 1e-4f) << px << "," << py;
      ASSERT_NEAR(rgb[1], Lit(p.v, p.normal), 1e-4f) << px << "," << py;
      ASSERT_NEAR(rgb[2], Lit(1.0f - p.u, p.normal), 1e-4f) << px << "," << py;
    }
  }
  // The disc covers pi r^2 of the image's pixels.
  const double disc = kPi * std::pow(kSphereRadiusShare * 96.0, 2.0);
  EXPECT_NEAR(inside, disc, 0.02 * disc);

  // A bump tilting every normal toward +X (the sphere's u direction at the centre) turns the
  // shading: the light comes from the left, so the centre gets darker.
  options.bump = true;
  const Image bumped = RenderSampleSphere(map, options);
  EXPECT_EQ(map.perturbCalls, inside);
  EXPECT_LT(Pixel(bumped, 48, 48)[1], Pixel(image, 48, 48)[1] - 0.05f);
  EXPECT_EQ(Pixel(bumped, 0, 0)[0], kSphereBackground);
}

// Flat at mid height for x <= 0.5; beyond, a twisted slope whose height changes with both x
// and y, reaching 0 and 1 at the far corners.
Mesh FlatAndSloped(int n) {
  Mesh mesh;
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      const float x = static_cast<float>(i) / static_cast<float>(n - 1);
      const float y = static_cast<float>(j) / static_cast<float>(n - 1);
      const float z = x <= 0.5f ? 0.5f : 0.5f + (x - 0.5f) * (2.0f * y - 1.0f);
      mesh.verts.emplace_back(x, y, z);
    }
  }
  for (int j = 0; j + 1 < n; ++j) {
    for (int i = 0; i + 1 < n; ++i) {
      const auto a = static_cast<DWORD>(j * n + i);
      const auto row = static_cast<DWORD>(n);
      Face f1, f2;
      f1.setVerts(a, a + 1, a + row + 1);
      f2.setVerts(a, a + row + 1, a + row);
      f1.setSmGroup(1);
      f2.setSmGroup(1);
      mesh.faces.push_back(f1);
      mesh.faces.push_back(f2);
    }
  }
  return mesh;
}

TEST(SampleSphereTest, RealMapsColourIsLitAndItsBumpMovesOnlyTheSlopedHalf) {
  Session session;
  std::string error;
  ASSERT_TRUE(session.Open(VELDMAP_PLUGIN_DIR, &error)) << error;
  INode* node = AddMeshNode(FlatAndSloped(41), "flat-and-sloped");
  Texmap* map = session.CreateVeldmap();
  ASSERT_NE(map, nullptr);
  const MapGuard guard(map);
  IParamBlock2* block = Block(map);
  ASSERT_TRUE(block->SetValue(ParamByName(block, "node"), 0, node));
  Interval valid = FOREVER;
  map->Update(0, valid);

  constexpr int kSide = 128;
  SampleSphereOptions options;
  options.size = kSide;
  options.bump = false;
  const Image flat = RenderSampleSphere(*map, options);
  options.bump = true;
  const Image bumped = RenderSampleSphere(*map, options);

  int flatPixels = 0, slopedPixels = 0, slopedChanged = 0, checkedColours = 0;
  for (int py = 0; py < kSide; ++py) {
    for (int px = 0; px < kSide; ++px) {
      const SpherePoint p = PointAt(kSide, px, py);
      if (!p.inside) {
        EXPECT_EQ(Pixel(bumped, px, py)[0], kSphereBackground);
        continue;
      }
      // The map's own colour at the point's UV, lit here: the sphere without bump shows it. The
      // sphere hands the map a pixel's footprint, this lookup none: a smooth height differs by
      // less than a step of the 8-bit image.
      if (px % 8 == 0 && py % 8 == 0 && p.v > 0.15f && p.v < 0.85f) {
        TextureShadeContext sc;
        sc.uvw = Point3(p.u, p.v, 0.0f);
        const AColor c = map->EvalColor(sc);
        EXPECT_NEAR(Pixel(flat, px, py)[0], Lit(c.r, p.normal), 1.0f / 255.0f) << px << "," << py;
        EXPECT_NEAR(Pixel(flat, px, py)[2], Lit(c.b, p.normal), 1.0f / 255.0f) << px << "," << py;
        ++checkedColours;
      }
      const float before = Pixel(flat, px, py)[0], after = Pixel(bumped, px, py)[0];
      if (p.u > 0.28f && p.u < 0.45f && p.v > 0.1f && p.v < 0.9f) {
        ++flatPixels;
        EXPECT_NEAR(after, before, 1e-6f) << "flat half at " << px << "," << py;
      } else if (p.u > 0.58f && p.u < 0.72f && p.v > 0.62f && p.v < 0.88f) {
        ++slopedPixels;
        if (std::abs(after - before) > 1.0f / 255.0f) ++slopedChanged;
      }
    }
  }
  EXPECT_GT(checkedColours, 50);
  EXPECT_GT(flatPixels, 500);
  ASSERT_GT(slopedPixels, 200);
  EXPECT_GT(slopedChanged, slopedPixels * 9 / 10) << slopedChanged << " of " << slopedPixels;
}

}  // namespace
