// The slope and hillshade arithmetic on heights whose answers are known: planes, for which Horn's
// gradient is exact whatever the pixel's shape or direction, a raster a GIS tool shaded for us,
// and the ring of heights round a band at the image's edges.
#include "app/terrain_maps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

constexpr double kDegrees = 180.0 / std::numbers::pi;

// Heights of the plane h = a * column + b * row + c, the window round (column, row).
std::vector<float> PlaneWindow(double a, double b, double c, int column = 0, int row = 0) {
  std::vector<float> window;
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) window.push_back(static_cast<float>(a * (column + dx) + b * (row + dy) + c));
  }
  return window;
}

TEST(TerrainMaps, HornGradientOfPlanesInTheMeshsUnitsForAnyPixelShapeAndDirection) {
  // 0.25 of the map's height a column, -0.5 a row down; 40 mesh units of Z per unit of height.
  const std::vector<float> window = PlaneWindow(0.25, -0.5, 3.0);
  struct Case {
    double xStep, yStep;
  };
  // Square pixels, pixels twice as tall as wide, and images that mirror X or Y.
  for (const Case c : {Case{2.0, -2.0}, Case{2.0, -4.0}, Case{-2.0, -2.0}, Case{0.5, 3.0}}) {
    SCOPED_TRACE(testing::Message() << c.xStep << " " << c.yStep);
    TerrainFrame frame;
    frame.zScale = 40.0;
    frame.xStep = c.xStep;
    frame.yStep = c.yStep;
    const Gradient g = HornGradient(window.data(), frame);
    EXPECT_DOUBLE_EQ(g.dzdx, 40.0 * 0.25 / c.xStep);
    EXPECT_DOUBLE_EQ(g.dzdy, 40.0 * -0.5 / c.yStep);
    EXPECT_NEAR(SlopeDegrees(g), std::atan(std::hypot(10.0 / c.xStep, 20.0 / c.yStep)) * kDegrees, 1e-12);
  }
  // Level ground is 0 degrees whatever its height; a rise of one unit a unit is 45.
  TerrainFrame unit;
  EXPECT_EQ(SlopeDegrees(HornGradient(PlaneWindow(0.0, 0.0, 7.0).data(), unit)), 0.0);
  EXPECT_NEAR(SlopeDegrees(HornGradient(PlaneWindow(1.0, 0.0, 0.0).data(), unit)), 45.0, 1e-12);
  // A height field without relief in Z (a flat mesh: z_max = z_min) is level too.
  unit.zScale = 0.0;
  EXPECT_EQ(SlopeDegrees(HornGradient(PlaneWindow(0.3, 0.1, 0.0).data(), unit)), 0.0);
}

// Only the four nearest neighbours weigh twice: a spike in a corner moves the gradient half as
// much as the same spike beside the centre, and the centre itself never counts.
TEST(TerrainMaps, HornWeightsTheNearestNeighboursTwiceAndIgnoresTheCentre) {
  TerrainFrame frame;
  frame.yStep = -1.0;
  std::vector<float> side(9, 0.0f), corner(9, 0.0f), centre(9, 0.0f);
  side[5] = 8.0f;    // right of the centre
  corner[2] = 8.0f;  // top right
  centre[4] = 8.0f;
  EXPECT_DOUBLE_EQ(HornGradient(side.data(), frame).dzdx, 2.0);
  EXPECT_DOUBLE_EQ(HornGradient(side.data(), frame).dzdy, 0.0);
  EXPECT_DOUBLE_EQ(HornGradient(corner.data(), frame).dzdx, 1.0);
  EXPECT_DOUBLE_EQ(HornGradient(corner.data(), frame).dzdy, 1.0);  // the top row is +Y
  EXPECT_EQ(HornGradient(centre.data(), frame).dzdx, 0.0);
  EXPECT_EQ(HornGradient(centre.data(), frame).dzdy, 0.0);
}

TEST(TerrainMaps, HillshadeLightsTheGroundFacingTheLightAndShadesTheRest) {
  // Level ground under a light 45 degrees up: 1 + 254 sin 45 = 180.6, rounded.
  EXPECT_EQ(Hillshade({0.0, 0.0}, 315.0, 45.0), 181.0);
  EXPECT_EQ(Hillshade({0.0, 0.0}, 0.0, 90.0), 255.0);
  // Ground facing the light square on (its normal the light's direction) is the brightest; the
  // light from 315 degrees (north-west) at 45 is along (-1/2, 1/2, 1/sqrt 2), so the ground
  // rises to the south-east with gradient (1/sqrt 2, -1/sqrt 2).
  const double r = 1.0 / std::sqrt(2.0);
  EXPECT_EQ(Hillshade({r, -r}, 315.0, 45.0), 255.0);
  // The same slope turned away from the light, and a cliff in its own shadow, are 1.
  EXPECT_EQ(Hillshade({-3.0, 3.0}, 315.0, 45.0), 1.0);
  EXPECT_EQ(Hillshade({1e6, 0.0}, 90.0, 10.0), 1.0);  // a wall facing west, lit from the east
  // Azimuth turns clockwise from +Y: ground falling towards +X faces east, lit from 90 degrees
  // and shaded from 270.
  EXPECT_GT(Hillshade({-0.5, 0.0}, 90.0, 45.0), Hillshade({0.0, 0.0}, 90.0, 45.0));
  EXPECT_LT(Hillshade({-0.5, 0.0}, 270.0, 45.0), Hillshade({0.0, 0.0}, 270.0, 45.0));
  // Facing north: lit from 0, not from 180.
  EXPECT_GT(Hillshade({0.0, -0.5}, 0.0, 45.0), Hillshade({0.0, -0.5}, 180.0, 45.0));
  // Heights that are not numbers give no value, never a level.
  EXPECT_EQ(Hillshade({std::nan(""), 0.0}, 315.0, 45.0), 0.0);
}

// A 4x3 raster with pixels 2 wide and 1 tall, z rising 1 a column and 1 a row down the image,
// slope and hillshade as `gdaldem` (GDAL 3.6) gave them for its one interior row: 48.189686
// degrees and 248.
TEST(TerrainMaps, AgreesWithAGisToolOnARasterOfNonSquarePixels) {
  const std::vector<float> window = {1, 2, 3, 2, 3, 4, 3, 4, 5};
  TerrainFrame frame;
  frame.zScale = 1.0;
  frame.xStep = 2.0;
  frame.yStep = -1.0;
  const Gradient g = HornGradient(window.data(), frame);
  EXPECT_NEAR(SlopeDegrees(g), 48.189685821533203125, 1e-5);
  EXPECT_EQ(Hillshade(g, 315.0, 45.0), 248.0);
}

TEST(TerrainMaps, TheRingPastTheImagesEdgeContinuesTheGroundInAStraightLine) {
  // A 5x4 image of a plane, as one band (all rows) and as a tile of its corner in bands of one
  // row: wherever the ring lies past the edge, it holds the plane's own heights, so the border's
  // gradient is the plane's.
  const auto plane = [](int x, int y) { return static_cast<float>(0.5 * x - 0.25 * y + 2.0); };
  struct Band {
    int x0, width, first, count;
  };
  for (const Band band : {Band{0, 5, 0, 4}, Band{0, 2, 0, 1}, Band{3, 2, 3, 1}, Band{1, 3, 1, 2}}) {
    SCOPED_TRACE(testing::Message() << band.x0 << " " << band.width << " " << band.first << " " << band.count);
    HeightHalo halo(5, 4, band.x0, band.width, band.first, band.count);
    EXPECT_EQ(halo.RowBegin(), std::max(0, band.first - 1));
    EXPECT_EQ(halo.RowEnd(), std::min(4, band.first + band.count + 1));
    EXPECT_EQ(halo.ColBegin(), std::max(0, band.x0 - 1));
    EXPECT_EQ(halo.ColEnd(), std::min(5, band.x0 + band.width + 1));
    for (int y = halo.RowBegin(); y < halo.RowEnd(); ++y) {
      for (int x = halo.ColBegin(); x < halo.ColEnd(); ++x) halo.Set(x, y, plane(x, y));
    }
    halo.ExtendPastImage();
    for (int y = band.first - 1; y <= band.first + band.count; ++y) {
      for (int x = band.x0 - 1; x <= band.x0 + band.width; ++x) EXPECT_EQ(halo.At(x, y), plane(x, y)) << x << "," << y;
    }
    // The centre's neighbours are one cell and one stride away.
    const float* centre = halo.Centre(band.x0, band.first);
    EXPECT_EQ(centre[-1], plane(band.x0 - 1, band.first));
    EXPECT_EQ(*(centre + halo.Stride() + 1), plane(band.x0 + 1, band.first + 1));
  }
  // An image one pixel wide and tall: nothing to extend from, so the ring repeats the pixel.
  HeightHalo dot(1, 1, 0, 1, 0, 1);
  dot.Set(0, 0, 4.5f);
  dot.ExtendPastImage();
  for (int y = -1; y <= 1; ++y) {
    for (int x = -1; x <= 1; ++x) EXPECT_EQ(dot.At(x, y), 4.5f);
  }
}

}  // namespace
