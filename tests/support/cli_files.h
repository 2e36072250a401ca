// What the end-to-end tests give the veldmap binary and read back from it: a rolling ground mesh,
// its images and its JSON reports.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "app/image_io.h"

namespace test_support {

// Rolling ground over X 0..20, Y 0..10 (Z up, unit cells, two triangles a cell), Z about 0.6 to
// 3.4. With flipEvery, every other triangle is written clockwise: a scan of mixed winding.
inline void WriteRollingGround(const std::string& path, bool flipEvery = false) {
  std::ofstream obj(path);
  constexpr int kCols = 20, kRows = 10;
  for (int y = 0; y <= kRows; ++y) {
    for (int x = 0; x <= kCols; ++x) {
      obj << "v " << x << " " << y << " " << 1.0 + 0.1 * x + 0.4 * std::sin(0.7 * x) * std::cos(0.9 * y) << "\n";
    }
  }
  for (int y = 0; y < kRows; ++y) {
    for (int x = 0; x < kCols; ++x) {
      const int a = y * (kCols + 1) + x + 1, b = a + 1, c = a + kCols + 2, d = a + kCols + 1;
      obj << "f " << a << " " << b << " " << c << "\n";
      if (flipEvery) {
        obj << "f " << a << " " << d << " " << c << "\n";
      } else {
        obj << "f " << a << " " << c << " " << d << "\n";
      }
    }
  }
}

// An image veldmap wrote, and its text entries into meta when given; a failure of the test when
// it cannot be read.
inline Image ReadWrittenImage(const std::string& path, std::map<std::string, std::string>* meta = nullptr) {
  Image image;
  ImageMetadata entries;
  std::string error;
  EXPECT_TRUE(ReadImage(path, &image, &entries, &error)) << error;
  if (meta != nullptr) meta->insert(entries.entries.begin(), entries.entries.end());
  return image;
}

// A JSON file (a report), as the JSON type the test compares with.
template <class Json>
Json ReadJsonFile(const std::string& path) {
  std::ifstream in(path);
  return Json::parse(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

}  // namespace test_support
