// Shading a row of points in one call. A baker shades whole rows of pixels that differ only in
// their texture coordinates; one EvalMono per pixel pays, for every pixel, the map's and the UV
// generator's virtual calls and the generator's set-up. A baker asks the map for I_MONO_ROW_MAP
// with GetInterface; a map asks its UV generator for I_UVGEN_MONO_ROW. Whatever does not answer
// (a map or generator made for another host among them) is shaded point by point as before, so
// the interfaces are only ever a shortcut to the same values.
#pragma once

#include <cstdint>

#include "host/geometry.h"
#include "host/mtl_base.h"
#include "host/shade_context.h"

inline constexpr std::uint32_t I_MONO_ROW_MAP = 0x566D5201;
inline constexpr std::uint32_t I_UVGEN_MONO_ROW = 0x566D5202;

// A map's row of mono values.
class MonoRowMap {
 public:
  // out[i] = what EvalMono(sc) would return were sc's UVW on every channel uvw[i] (sc otherwise
  // as it is, its footprint included), for i < count. False when the map cannot do it here, with
  // out untouched: the caller then shades the points one by one.
  virtual bool EvalMonoRow(ShadeContext& sc, const Point3* uvw, int count, float* out) = 0;

 protected:
  ~MonoRowMap() = default;
};

// A map sampler's row of unfiltered mono values, for samplers whose values do not depend on the
// tile numbers: out[i] = SampleMono(sc, uv[i].x, uv[i].y).
class MonoRowSampler {
 public:
  virtual void SampleMonoRow(ShadeContext& sc, const Point2* uv, int count, float* out) = 0;

 protected:
  ~MonoRowSampler() = default;
};

// A UV generator's row of EvalUVMapMono values.
class UVGenMonoRow {
 public:
  // out[i] = EvalUVMapMono(sc, samp, filter) were sc's UVW on every channel uvw[i]. rows, when
  // not null, is samp's row form; unfiltered rows then go to it in runs instead of point by
  // point. False when the generator cannot do it, with out untouched.
  virtual bool EvalUVMapMonoRow(ShadeContext& sc, MapSampler* samp, MonoRowSampler* rows, BOOL filter,
                                const Point3* uvw, int count, float* out) = 0;

 protected:
  ~UVGenMonoRow() = default;
};
