// Which pixels of a render a face covers, worked out by the host beside the map rather than read
// from the map's value: a covered pixel may hold height 0 (the mesh's lowest point), so a value of
// 0 cannot tell a hole from the ground.
//
// The mask is asked the same question the map answers: its own face index, built by the sampler
// core from the mesh the map reads, with the map's placement and depth, and reached through the
// map's own UV generator (offsets, tiling, angle, wrap and mirror), so the mask and the heights
// agree at every pixel centre. A pixel is covered where an upward face covers its mapped point
// (the centre, also when the map filters over the pixel's footprint).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/image_io.h"
#include "host/mesh.h"
#include "host/mtl_base.h"
#include "host/shade_context.h"

class SurfaceSampler;
class UVGen;

class CoverageMask {
 public:
  // Builds the face index of the mesh the map read at its latest update at t (its picked node's
  // mesh in world space at t, or else baked, which the caller passes as the map's exported mesh)
  // with the placement and depth its block holds at t. The map must outlive the mask, and must
  // not be updated or changed while the mask is used.
  //
  // Unfiltered (filtered false: the map's value at a pixel is its height at the centre), a value
  // other than 0 can only come from a face that covers the centre, so only a value of exactly 0
  // needs the mask, and only a face that can give height 0 can cover such a pixel: one whose
  // vertex heights reach 0 within far more than the arithmetic's rounding. The mask then indexes
  // just those faces (on a terrain, the few at its lowest point), at the cost of a copy of the
  // vertices, not of a second index as large as the map's. Filtered, the value averages several
  // taps, and the mask indexes every face.
  CoverageMask(Texmap& map, const Mesh& bakedMesh, TimeValue t, bool filtered);
  ~CoverageMask();
  CoverageMask(const CoverageMask&) = delete;
  CoverageMask& operator=(const CoverageMask&) = delete;

  // Whether an upward face covers the point the map's UV generator maps sc's UVW to. Reads only;
  // may run on several threads at once, each with its own shading context.
  // value: the map's mono value at sc (EvalMono), which an unfiltered mask trusts where it is not 0.
  bool Covered(ShadeContext& sc, float value) const;

 private:
  std::unique_ptr<SurfaceSampler> sampler_;
  UVGen* generator_ = nullptr;   // the map's; none: the shading point's UV is the map's
  bool onlyZeroValues_ = false;  // the index holds only the faces that can give height 0
};

// --nodata's text as a number: a decimal number, or "nan" in any letter case. Refuses (UsageError)
// anything else, infinities included.
double ParseNodata(const std::string& text);

// Whether an image in format can mark no-data with value, and why not: a float image takes any
// value a float holds (NaN too); a 16-bit image a whole number 0..65535; an 8-bit image none, its
// 256 levels having no value to spare. Empty when it can; else what the format holds, for a
// message.
std::string NodataProblem(ImageFormat format, double value);

// The float a render hands the writer of an image in format for no-data value, so that the file
// stores exactly value: the value itself for a float image, value / 65535 for a 16-bit one (which
// the writer stores as lround(v * 65535)).
float NodataPixel(ImageFormat format, double value);
