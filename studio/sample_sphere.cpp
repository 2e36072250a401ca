// Each pixel inside the disc is a point of the unit sphere; a shading context built for that
// point gives the map its spherical UV, footprint and tangent basis, as a renderer would, and the
// map's colour and bump are lit by one directional light plus ambient (Lambert).
#include "studio/sample_sphere.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "host/texture_shade_context.h"

namespace {

constexpr float kTwoPi = 2.0f * std::numbers::pi_v<float>;
constexpr float kPi = std::numbers::pi_v<float>;

class SampleLight final : public LightDesc {
 public:
  explicit SampleLight(Point3 toLight) : toLight_(toLight) {}
  BOOL Illuminate(ShadeContext&, Point3 normal, Color& color, Point3& dir, float& dotNL, float& diffuseCoef) override {
    color = Color(kLightIntensity, kLightIntensity, kLightIntensity);
    dir = toLight_;
    dotNL = normal % toLight_;
    diffuseCoef = std::max(dotNL, 0.0f);
    return TRUE;
  }

 private:
  Point3 toLight_;
};

// A point of the sample sphere as the map sees it. The texture-space context already answers
// UVW, its footprint and the tangent basis from its fields; this one adds the sphere's own
// normal (which bump mapping may replace), the view, the point and the light.
class SphereShadeContext final : public TextureShadeContext {
 public:
  Point3 normal, origNormal, point;
  SampleLight* light = nullptr;  // not owned

  BOOL InMtlEditor() override { return TRUE; }
  LightDesc* Light(int n) override { return n == 0 ? light : nullptr; }
  Point3 Normal() override { return normal; }
  void SetNormal(Point3 p) override { normal = p; }
  Point3 OrigNormal() override { return origNormal; }
  Point3 GNormal() override { return origNormal; }
  Point3 P() override { return point; }
  Point3 PObj() override { return point; }
  Point3 UVWNormal(int) override { return origNormal; }
};

// The sphere's UV at a point of the disc; a point outside it is taken to the silhouette first,
// so a footprint at the rim stays finite.
Point2 SphereUV(float x, float y) {
  const float r2 = x * x + y * y;
  if (r2 > 1.0f) {
    const float r = std::sqrt(r2);
    x /= r;
    y /= r;
  }
  const float z = std::sqrt(std::max(0.0f, 1.0f - x * x - y * y));
  const float longitude = std::atan2(x, z);
  const float latitude = std::asin(std::clamp(y, -1.0f, 1.0f));
  return {0.5f + longitude / kTwoPi, 0.5f + latitude / kPi};
}

// A map that answers NaN shows black rather than whatever the encoder makes of it.
float Clamp01(float v) { return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f; }

}  // namespace

Image RenderSampleSphere(Texmap& map, const SampleSphereOptions& options) {
  const int side = std::max(options.size, 1);
  Image image;
  image.width = image.height = side;
  image.channels = 3;
  image.pixels.assign(static_cast<std::size_t>(side) * static_cast<std::size_t>(side) * 3, kSphereBackground);

  SampleLight light(Normalize(Point3(kToLight[0], kToLight[1], kToLight[2])));
  SphereShadeContext sc;
  sc.light = &light;
  sc.nLights = 1;
  sc.ambientLight = Color(kAmbient, kAmbient, kAmbient);
  sc.time = options.time;

  const float half = 0.5f * static_cast<float>(side);
  const float radius = kSphereRadiusShare * static_cast<float>(side);
  const float pixel = 1.0f / radius;  // one pixel in units of the sphere's radius
  for (int py = 0; py < side; ++py) {
    const float y = (half - static_cast<float>(py) - 0.5f) / radius;
    for (int px = 0; px < side; ++px) {
      const float x = (static_cast<float>(px) + 0.5f - half) / radius;
      const float r2 = x * x + y * y;
      if (r2 > 1.0f) continue;
      const float z = std::sqrt(1.0f - r2);
      const Point3 normal(x, y, z);
      const Point2 uv = SphereUV(x, y);
      // The footprint: how far UV moves to the next pixel across and down.
      const Point2 across = SphereUV(x + pixel, y) - uv;
      const Point2 down = SphereUV(x, y - pixel) - uv;
      // Unit tangents along increasing u (longitude) and v (latitude).
      const float longitude = std::atan2(x, z);
      const float latitude = std::asin(std::clamp(y, -1.0f, 1.0f));
      const Point3 dPdu(std::cos(longitude), 0.0f, -std::sin(longitude));
      const Point3 dPdv(-std::sin(longitude) * std::sin(latitude), std::cos(latitude),
                        -std::cos(longitude) * std::sin(latitude));

      sc.uvw = Point3(uv.x, uv.y, 0.0f);
      sc.duvw =
          Point3(std::max(std::abs(across.x), std::abs(down.x)), std::max(std::abs(across.y), std::abs(down.y)), 0.0f);
      sc.dPdu = dPdu;
      sc.dPdv = dPdv;
      sc.point = normal;
      sc.normal = sc.origNormal = normal;
      sc.out.Reset();

      const AColor diffuse = map.EvalColor(sc);
      if (options.bump) {
        const Point3 moved = normal + map.EvalNormalPerturb(sc) * kBumpAmount;
        // A perturbation that cancels the normal leaves it as it was rather than undefined.
        if (Length(moved) > 1e-6f) sc.SetNormal(Normalize(moved));
      }
      const Color illum = sc.DiffuseIllum();
      float* out =
          &image.pixels[(static_cast<std::size_t>(py) * static_cast<std::size_t>(side) + static_cast<std::size_t>(px)) *
                        3];
      out[0] = Clamp01(diffuse.r * (sc.ambientLight.r + illum.r));
      out[1] = Clamp01(diffuse.g * (sc.ambientLight.g + illum.g));
      out[2] = Clamp01(diffuse.b * (sc.ambientLight.b + illum.b));
    }
  }
  return image;
}
