// The mesh's own frame as a terrain user sees it: which way its faces look from above, and which
// rectangle of its X/Y an image of the map covers.
//
// The map places a mesh in UV space by its normalisation and its uOffset, vOffset, uScale and
// vScale; the UV generator then maps the image's UV onto that. Seen the other way round, an image
// covers a rectangle of the mesh's own X/Y, which these functions compute (and set, for a region
// the user names) in double precision. Everything here is pure: no map, no host calls.
#pragma once

#include <cstdint>
#include <optional>

#include "app/session.h"
#include "host/mesh.h"

// Faces by the sign of their geometric normal's Z (counter-clockwise seen from +Z is up), as the
// map's index tests them. Faces with an index out of range or a coordinate that is not finite
// count as neither.
struct FaceFacing {
  std::int64_t up = 0, down = 0, vertical = 0;
  std::int64_t NonVertical() const { return up + down; }
  // Counts a face by its FacingSign.
  void Add(int sign) { ++(sign > 0 ? up : sign < 0 ? down : vertical); }
};
FaceFacing CountFacing(const Mesh& mesh);
// +1 up, -1 down, 0 vertical or unusable: the sign of the XY cross product of the triangle's
// edges, in the same float arithmetic as HasUpwardFace, 0 where a coordinate is not finite.
int FacingSign(const Point3& a, const Point3& b, const Point3& c);

// Above this share of the non-vertical faces facing down, the commands warn: a few flipped faces
// in a scan already leave visible holes, while a mesh built facing up has none at all. (A closed
// mesh warns too: its underside is ignored, which is worth knowing.)
inline constexpr double kFacesDownWarningShare = 0.01;
bool FacesDownNoticeable(const FaceFacing& facing);

// Turns every downward face up by swapping its second and third vertex; returns how many were
// turned. Vertical and invalid faces are left alone. Smoothing groups stay with their faces, so
// the vertex normals the map computes then sum faces that all point up, instead of cancelling
// where flipped neighbours meet.
std::int64_t OrientUp(Mesh& mesh);

// A rectangle of the mesh's own X/Y. x0 is at the image's left edge and y0 at its bottom edge, so
// a mirroring placement gives x0 > x1 (or y0 > y1).
struct XYRect {
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  double Width() const { return x1 - x0; }
  double Height() const { return y1 - y0; }
};
// The X/Y bounds of the mesh's finite vertices (as the map's normalisation takes them); none for a
// mesh without one.
std::optional<XYRect> XYExtent(const Mesh& mesh);

// The UV generator's part in where the image lies: UV (s, t) of the image is sampled at
// (uTiling s + uOffset, vTiling t + vOffset). Only a generator that neither turns nor mirrors, and
// repeats only where the image stays inside 0..1, maps the image onto one rectangle.
struct UvFrame {
  float uOffset = 0, vOffset = 0, uTiling = 1, vTiling = 1, angle = 0;
  int tilingFlags = 0;
  bool Identity() const;
};

// The rectangle of the mesh's X/Y that the image's UV 0..1 covers; none when the generator turns,
// mirrors or repeats it, when a scale is 0, or (normalised) when the extent is flat in X or Y.
std::optional<XYRect> ImageRegion(const std::optional<XYRect>& extent, const Placement& placement,
                                  const UvFrame& generator);

// The map's offsets and scales that put region onto the unit square, with the generator at its
// defaults; none when that cannot be (a flat extent with normalisation on, an empty region).
std::optional<Placement> PlacementForRegion(const std::optional<XYRect>& extent, bool normalize, const XYRect& region);

// Image sides for a region of the given world width and height (absolute values): with
// pixelSize, as many pixels as the region holds (a side that does not divide evenly rounds up, by
// at most one pixel); otherwise `longer` pixels on the longer side and the shorter side in
// proportion, at least 1. Sides are not limited here.
struct ImageSides {
  long long width = 0, height = 0;
};
ImageSides SidesForRegion(double worldWidth, double worldHeight, std::optional<double> pixelSize, int longer);
