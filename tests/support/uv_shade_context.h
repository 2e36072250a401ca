// A shading context for tests: a point that knows its texture coordinates (and their footprint
// and bump basis) on one map channel only: any other channel answers far-off values, so reading
// the wrong one shows.
#pragma once

#include "host/texture_shade_context.h"

class UVContext final : public TextureShadeContext {
 public:
  int channel = 1;

  Point3 UVW(int ch) override { return ch == channel ? uvw : Point3(1000, 1000, 1000); }
  Point3 DUVW(int ch) override { return ch == channel ? duvw : Point3(1000, 1000, 1000); }
  void DPdUVW(Point3 dP[3], int ch) override {
    dP[0] = ch == channel ? dPdu : Point3();
    dP[1] = ch == channel ? dPdv : Point3();
    dP[2] = Point3();
  }
};
