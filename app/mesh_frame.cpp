// The normalisation maps X to U = (X - minX) / (maxX - minX) * uScale + uOffset (without it,
// U = X * uScale + uOffset), and Y to V alike; these functions run that line both ways.
#include "app/mesh_frame.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "host/uvgen.h"

namespace {

int Facing(const Mesh& mesh, int f) {
  if (!mesh.faceIsValid(f)) return 0;
  const Face& face = mesh.faces[static_cast<std::size_t>(f)];
  return FacingSign(mesh.verts[face.v[0]], mesh.verts[face.v[1]], mesh.verts[face.v[2]]);
}

struct Axis {
  double low, high;  // the mesh's bounds on this axis (unused without normalisation)
};

// One axis of the mesh's coordinate at UV coordinate u.
double MeshAt(double u, const Axis& axis, bool normalize, double offset, double scale) {
  const double unit = (u - offset) / scale;
  return normalize ? axis.low + unit * (axis.high - axis.low) : unit;
}

}  // namespace

int FacingSign(const Point3& a, const Point3& b, const Point3& c) {
  const float cross = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
  if (!std::isfinite(cross) || !std::isfinite(a.z) || !std::isfinite(b.z) || !std::isfinite(c.z)) return 0;
  return cross > 0.0f ? 1 : cross < 0.0f ? -1 : 0;
}

FaceFacing CountFacing(const Mesh& mesh) {
  FaceFacing facing;
  for (int f = 0; f < mesh.getNumFaces(); ++f) {
    if (mesh.faceIsValid(f)) facing.Add(Facing(mesh, f));
  }
  return facing;
}

bool FacesDownNoticeable(const FaceFacing& facing) {
  return facing.down > 0 &&
         static_cast<double>(facing.down) > kFacesDownWarningShare * static_cast<double>(facing.NonVertical());
}

std::int64_t OrientUp(Mesh& mesh) {
  std::int64_t turned = 0;
  for (int f = 0; f < mesh.getNumFaces(); ++f) {
    if (Facing(mesh, f) >= 0) continue;
    Face& face = mesh.faces[static_cast<std::size_t>(f)];
    std::swap(face.v[1], face.v[2]);
    ++turned;
  }
  return turned;
}

std::optional<XYRect> XYExtent(const Mesh& mesh) {
  std::optional<XYRect> extent;
  for (const Point3& p : mesh.verts) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    if (!extent) {
      extent = XYRect{p.x, p.y, p.x, p.y};
      continue;
    }
    extent->x0 = std::min(extent->x0, static_cast<double>(p.x));
    extent->y0 = std::min(extent->y0, static_cast<double>(p.y));
    extent->x1 = std::max(extent->x1, static_cast<double>(p.x));
    extent->y1 = std::max(extent->y1, static_cast<double>(p.y));
  }
  return extent;
}

bool UvFrame::Identity() const {
  return uOffset == 0.0f && vOffset == 0.0f && uTiling == 1.0f && vTiling == 1.0f && angle == 0.0f &&
         (tilingFlags & (U_MIRROR | V_MIRROR)) == 0;
}

std::optional<XYRect> ImageRegion(const std::optional<XYRect>& extent, const Placement& placement,
                                  const UvFrame& generator) {
  if (generator.angle != 0.0f || (generator.tilingFlags & (U_MIRROR | V_MIRROR)) != 0) return std::nullopt;
  // A repeat that the image reaches makes it show the map more than once.
  const auto repeats = [](int flag, int flags, float tiling, float offset) {
    return (flags & flag) != 0 && (tiling != 1.0f || offset != 0.0f);
  };
  if (repeats(U_WRAP, generator.tilingFlags, generator.uTiling, generator.uOffset) ||
      repeats(V_WRAP, generator.tilingFlags, generator.vTiling, generator.vOffset)) {
    return std::nullopt;
  }
  if (placement.uScale == 0.0f || placement.vScale == 0.0f || !std::isfinite(placement.uScale) ||
      !std::isfinite(placement.vScale)) {
    return std::nullopt;
  }
  if (placement.normalize && (!extent || !(extent->x1 > extent->x0) || !(extent->y1 > extent->y0))) {
    return std::nullopt;
  }
  const Axis xAxis{extent ? extent->x0 : 0.0, extent ? extent->x1 : 0.0};
  const Axis yAxis{extent ? extent->y0 : 0.0, extent ? extent->y1 : 0.0};
  const double u0 = generator.uOffset, u1 = static_cast<double>(generator.uTiling) + generator.uOffset;
  const double v0 = generator.vOffset, v1 = static_cast<double>(generator.vTiling) + generator.vOffset;
  XYRect region;
  region.x0 = MeshAt(u0, xAxis, placement.normalize, placement.uOffset, placement.uScale);
  region.x1 = MeshAt(u1, xAxis, placement.normalize, placement.uOffset, placement.uScale);
  region.y0 = MeshAt(v0, yAxis, placement.normalize, placement.vOffset, placement.vScale);
  region.y1 = MeshAt(v1, yAxis, placement.normalize, placement.vOffset, placement.vScale);
  if (!std::isfinite(region.x0) || !std::isfinite(region.x1) || !std::isfinite(region.y0) ||
      !std::isfinite(region.y1) || region.Width() == 0.0 || region.Height() == 0.0) {
    return std::nullopt;
  }
  return region;
}

std::optional<Placement> PlacementForRegion(const std::optional<XYRect>& extent, bool normalize, const XYRect& region) {
  if (!(region.Width() != 0.0) || !(region.Height() != 0.0)) return std::nullopt;
  double uScale = 0, vScale = 0, uOffset = 0, vOffset = 0;
  if (normalize) {
    if (!extent || !(extent->x1 > extent->x0) || !(extent->y1 > extent->y0)) return std::nullopt;
    uScale = (extent->x1 - extent->x0) / region.Width();
    vScale = (extent->y1 - extent->y0) / region.Height();
    uOffset = -(region.x0 - extent->x0) / region.Width();
    vOffset = -(region.y0 - extent->y0) / region.Height();
  } else {
    uScale = 1.0 / region.Width();
    vScale = 1.0 / region.Height();
    uOffset = -region.x0 / region.Width();
    vOffset = -region.y0 / region.Height();
  }
  // A region starting at the mesh's corner gives -0 offsets; +0 reads better in the parameters.
  uOffset += 0.0;
  vOffset += 0.0;
  // The parameters are floats: a value beyond their range has no placement (and no cast).
  for (const double value : {uScale, vScale, uOffset, vOffset}) {
    if (!(std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max()))) return std::nullopt;
  }
  Placement placement;
  placement.normalize = normalize;
  placement.uScale = static_cast<float>(uScale);
  placement.vScale = static_cast<float>(vScale);
  placement.uOffset = static_cast<float>(uOffset);
  placement.vOffset = static_cast<float>(vOffset);
  if (placement.uScale == 0.0f || placement.vScale == 0.0f) return std::nullopt;
  return placement;
}

ImageSides SidesForRegion(double worldWidth, double worldHeight, std::optional<double> pixelSize, int longer) {
  const double w = std::fabs(worldWidth), h = std::fabs(worldHeight);
  const auto count = [](double pixels) {
    // A side that is a whole number of pixels up to rounding keeps that number.
    const double nearest = std::round(pixels);
    const double side = std::fabs(pixels - nearest) <= 1e-6 * std::max(1.0, pixels) ? nearest : std::ceil(pixels);
    return std::max(1.0, std::min(side, 1e15));
  };
  ImageSides sides;
  if (pixelSize) {
    sides.width = static_cast<long long>(count(w / *pixelSize));
    sides.height = static_cast<long long>(count(h / *pixelSize));
  } else if (w >= h) {
    sides.width = longer;
    sides.height = static_cast<long long>(std::max(1.0, std::round(longer * h / w)));
  } else {
    sides.height = longer;
    sides.width = static_cast<long long>(std::max(1.0, std::round(longer * w / h)));
  }
  return sides;
}
