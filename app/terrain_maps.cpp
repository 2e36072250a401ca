// Horn (1981), "Hill shading and the reflectance map": the gradient from the eight neighbours,
// the four nearest weighted twice. The hillshade is Lambert's cosine of a light at infinity.
#include "app/terrain_maps.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

double Radians(double degrees) { return degrees * std::numbers::pi / 180.0; }

// The straight line through inner and edge, one pixel further out.
float Extend(float edge, float inner) {
  return static_cast<float>(2.0 * static_cast<double>(edge) - static_cast<double>(inner));
}

}  // namespace

Gradient HornGradient(const float window[9], const TerrainFrame& frame) {
  const auto h = [window](int i) { return static_cast<double>(window[i]); };
  // In the map's height per pixel: along a row to the right, and down a column.
  const double perColumn = ((h(2) + 2.0 * h(5) + h(8)) - (h(0) + 2.0 * h(3) + h(6))) / 8.0;
  const double perRow = ((h(6) + 2.0 * h(7) + h(8)) - (h(0) + 2.0 * h(1) + h(2))) / 8.0;
  return {frame.zScale * perColumn / frame.xStep, frame.zScale * perRow / frame.yStep};
}

double SlopeDegrees(const Gradient& gradient) {
  return std::atan(std::hypot(gradient.dzdx, gradient.dzdy)) * 180.0 / std::numbers::pi;
}

double Hillshade(const Gradient& gradient, double azimuth, double altitude) {
  // The light's direction, X east and Y north: azimuth turns clockwise from north.
  const double az = Radians(azimuth), alt = Radians(altitude);
  const double lightX = std::sin(az) * std::cos(alt), lightY = std::cos(az) * std::cos(alt);
  const double lightZ = std::sin(alt);
  // The ground's normal is (-dz/dx, -dz/dy, 1) before it is made unit length.
  const double along = lightZ - gradient.dzdx * lightX - gradient.dzdy * lightY;
  const double cosine = along / std::sqrt(1.0 + gradient.dzdx * gradient.dzdx + gradient.dzdy * gradient.dzdy);
  if (std::isnan(cosine)) return 0.0;  // heights that are not numbers: no value, as no-data
  if (cosine <= 0.0) return 1.0;
  // Rounded half up, as a float is stored into a byte by GIS tools.
  return std::floor(1.0 + 254.0 * cosine + 0.5);
}

HeightHalo::HeightHalo(int imageWidth, int imageHeight, int tileX0, int tileWidth, int rowFirst, int rowCount)
    : imageWidth_(imageWidth),
      imageHeight_(imageHeight),
      left_(tileX0 - 1),
      top_(rowFirst - 1),
      rowBegin_(std::max(0, rowFirst - 1)),
      rowEnd_(std::min(imageHeight, rowFirst + rowCount + 1)),
      colBegin_(std::max(0, tileX0 - 1)),
      colEnd_(std::min(imageWidth, tileX0 + tileWidth + 1)),
      stride_(static_cast<std::size_t>(tileWidth) + 2),
      rows_(static_cast<std::size_t>(rowCount) + 2),
      heights_(stride_ * rows_, 0.0f) {}

void HeightHalo::ExtendPastImage() {
  const int right = left_ + static_cast<int>(stride_) - 1, bottom = top_ + static_cast<int>(rows_) - 1;
  // Columns first, on the rows inside the image; then whole rows, so the corners continue both lines.
  for (int y = rowBegin_; y < rowEnd_; ++y) {
    if (left_ < 0) Set(-1, y, imageWidth_ > 1 ? Extend(At(0, y), At(1, y)) : At(0, y));
    if (right >= imageWidth_) {
      const int last = imageWidth_ - 1;
      Set(imageWidth_, y, imageWidth_ > 1 ? Extend(At(last, y), At(last - 1, y)) : At(last, y));
    }
  }
  for (int x = left_; x <= right; ++x) {
    if (top_ < 0) Set(x, -1, imageHeight_ > 1 ? Extend(At(x, 0), At(x, 1)) : At(x, 0));
    if (bottom >= imageHeight_) {
      const int last = imageHeight_ - 1;
      Set(x, imageHeight_, imageHeight_ > 1 ? Extend(At(x, last), At(x, last - 1)) : At(x, last));
    }
  }
}
