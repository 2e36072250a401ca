// Where an image's pixels lie in the world, as a GeoTIFF records it.
#pragma once

#include <optional>

// The affine map from an image's pixel grid to world X/Y: the pixel corner (col, row) lies at
// (originX + col * stepX, originY + row * stepY), so (originX, originY) is the top-left corner of
// the top-left pixel, and a north-up image has stepX > 0 and stepY < 0. Each pixel stands for the
// area it covers (GeoTIFF's PixelIsArea).
struct GeoReference {
  double originX = 0, originY = 0, stepX = 1, stepY = -1;
  // The coordinate system, an EPSG code, and whether it is geographic (latitude and longitude)
  // rather than projected; none: the file names no coordinate system at all.
  std::optional<int> epsg;
  bool geographic = false;
};
