#include "host/shade_context.h"

#include <utility>

// Extensions cannot be cloned, and sharing them would free them twice, so a copy starts empty.
ShadeOutput::ShadeOutput(const ShadeOutput& other)
    : flags(other.flags), gbufId(other.gbufId), c(other.c), t(other.t), ior(other.ior), nElements(other.nElements) {}

ShadeOutput::ShadeOutput(ShadeOutput&& other) noexcept
    : extensions(std::exchange(other.extensions, {})),
      flags(other.flags),
      gbufId(other.gbufId),
      c(other.c),
      t(other.t),
      ior(other.ior),
      nElements(other.nElements) {}

void ShadeOutput::CopyValues(const ShadeOutput& other) noexcept {
  flags = other.flags;
  gbufId = other.gbufId;
  c = other.c;
  t = other.t;
  ior = other.ior;
  nElements = other.nElements;
}

ShadeOutput& ShadeOutput::operator=(const ShadeOutput& other) {
  if (this == &other) return *this;
  ReleaseExtensions();
  CopyValues(other);
  return *this;
}

ShadeOutput& ShadeOutput::operator=(ShadeOutput&& other) noexcept {
  if (this == &other) return *this;
  ReleaseExtensions();
  extensions = std::exchange(other.extensions, {});
  CopyValues(other);
  return *this;
}

ShadeOutput::~ShadeOutput() { ReleaseExtensions(); }

void ShadeOutput::Reset(int nEle) {
  flags = 0;
  gbufId = 0;
  c = Color(0.0f, 0.0f, 0.0f);
  t = Color(0.0f, 0.0f, 0.0f);
  ior = 1.0f;
  if (nEle >= 0) nElements = nEle;
}

void ShadeOutput::ReleaseExtensions() noexcept {
  for (IShadeOutputExtension* extension : extensions) {
    if (extension != nullptr) extension->DeleteThis();
  }
  extensions.clear();
}

namespace {

// The direction of transformed at the length of original. A transform that scales uniformly
// gives back a vector as long as the one it was handed; a zero result has no direction to keep.
Point3 AtLengthOf(const Point3& transformed, const Point3& original) {
  const float transformedLength = Length(transformed);
  if (transformedLength == 0.0f) return transformed;
  return transformed * (Length(original) / transformedLength);
}

}  // namespace

Point3 ShadeContext::VectorToNoScale(const Point3& p, int refFrame) { return AtLengthOf(VectorTo(p, refFrame), p); }

Point3 ShadeContext::VectorFromNoScale(const Point3& p, int refFrame) { return AtLengthOf(VectorFrom(p, refFrame), p); }

int ShadeContext::NRenderElements() { return 0; }

IRenderElement* ShadeContext::GetRenderElement(int) { return nullptr; }

Color ShadeContext::DiffuseIllum() {
  Color sum(0.0f, 0.0f, 0.0f);
  for (int i = 0; i < nLights; ++i) {
    LightDesc* light = Light(i);
    if (light == nullptr) continue;
    Color color;
    Point3 dir;
    float dotNL = 0.0f;
    float diffuseCoef = 0.0f;
    if (!light->Illuminate(*this, Normal(), color, dir, dotNL, diffuseCoef)) continue;
    sum.r += color.r * diffuseCoef;
    sum.g += color.g * diffuseCoef;
    sum.b += color.b * diffuseCoef;
  }
  return sum;
}
