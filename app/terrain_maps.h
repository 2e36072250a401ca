// Maps derived from the ground an image shows: slope in degrees and a hillshade, both in the
// mesh's own units, from the heights of each pixel's 3x3 neighbourhood.
//
// The gradient is Horn's weighted difference over the eight neighbours, the one GIS tools use by
// default, so on the same heights these maps agree with theirs pixel for pixel. A pixel's
// neighbours are pixels of the whole image whatever band or tile is rendered, so bands and tiles
// hold the whole image's values; past the image's edge the heights are extended in a straight
// line from the two nearest rows or columns, which makes the border's gradient the one-sided
// difference rather than a cliff down to nothing.
#pragma once

#include <cstddef>
#include <vector>

// How the image's pixels and the map's heights stand in the mesh's own units, and how the derived
// maps store their values.
struct TerrainFrame {
  double zScale = 1.0;      // mesh units of Z per unit of the map's height (z_max - z_min)
  double xStep = 1.0;       // mesh X from one column to the next; negative when the image mirrors X
  double yStep = -1.0;      // mesh Y from one row to the row below; negative when +Y is up the image
  double azimuth = 315.0;   // the hillshade's light, degrees clockwise from +Y seen from above
  double altitude = 45.0;   // and degrees above the horizon
  double slopeScale = 1.0;  // what one degree of slope is stored as (1/90 where 1 is full scale)
  double shadeScale = 1.0;  // what one hillshade level is stored as (1/255 where 1 is full scale)
};

// The ground's gradient in the mesh's units, along its own +X and +Y.
struct Gradient {
  double dzdx = 0.0, dzdy = 0.0;
};

// window holds the map's heights of a pixel and its eight neighbours, row by row from the top of
// the image, left to right.
Gradient HornGradient(const float window[9], const TerrainFrame& frame);

// 0 for level ground, approaching 90 as the ground turns vertical.
double SlopeDegrees(const Gradient& gradient);

// The light's cosine on the ground as 1 + 254 cos, rounded to a whole level: 255 where the ground
// faces the light, 1 where it is in its own shadow or faces away. Angles in degrees; the light
// comes from azimuth (clockwise from +Y) at altitude above the horizon.
double Hillshade(const Gradient& gradient, double azimuth, double altitude);

// The map's heights of rows first .. first + count - 1 of a tile, with a ring of one pixel round
// them: filled inside the image by the caller (Set), then extended past the image's edges.
// Coordinates are the whole image's pixels.
class HeightHalo {
 public:
  // tileX0, tileWidth: the tile's columns; rowFirst, rowCount: the band's rows, all in pixels of
  // an image of imageWidth x imageHeight.
  HeightHalo(int imageWidth, int imageHeight, int tileX0, int tileWidth, int rowFirst, int rowCount);

  // The pixels the caller must evaluate: rows [RowBegin, RowEnd) and columns [ColBegin, ColEnd),
  // the band and its ring clipped to the image.
  int RowBegin() const { return rowBegin_; }
  int RowEnd() const { return rowEnd_; }
  int ColBegin() const { return colBegin_; }
  int ColEnd() const { return colEnd_; }

  void Set(int x, int y, float height) { heights_[Index(x, y)] = height; }
  float At(int x, int y) const { return heights_[Index(x, y)]; }
  // Fills the ring's cells outside the image, once every pixel inside is set.
  void ExtendPastImage();
  // The pixel's own cell; its neighbours are one cell and one Stride() away.
  const float* Centre(int x, int y) const { return heights_.data() + Index(x, y); }
  std::size_t Stride() const { return stride_; }

 private:
  std::size_t Index(int x, int y) const {
    return static_cast<std::size_t>(y - top_) * stride_ + static_cast<std::size_t>(x - left_);
  }

  int imageWidth_, imageHeight_;
  int left_, top_;  // the ring's first column and row (one before the tile's and the band's)
  int rowBegin_, rowEnd_, colBegin_, colEnd_;
  std::size_t stride_, rows_;
  std::vector<float> heights_;
};
