// TIFF images as GIS tools and terrain generators exchange them: 16-bit unsigned or 32-bit float
// samples, cut into 256 x 256 tiles, each deflated with the horizontal predictor that suits its
// samples (differences of integers, or of the floats' bytes), and, when asked, GeoTIFF keys that
// place the pixels in the world and GDAL's tag for the no-data value.
//
// Samples: 16-bit ones are the values clamped to 0..1 and stored as lround(v * 65535), as in a
// 16-bit PNG; float ones are the values as they are. Channels: 1 grey, 2 grey + alpha, 3 RGB,
// 4 RGBA (the alpha unassociated). Text metadata goes into GDAL's metadata tag (GdalMetadataXml),
// so gdalinfo and GIS tools show each entry.
//
// Rows come a band at a time from the top, and are encoded a row of tiles at a time: besides the
// rows in hand, only one row of tiles (256 rows of stored samples) is held.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/image_io.h"

inline constexpr int kTiffTileSide = 256;

class TiffEncoder {
 public:
  TiffEncoder();
  ~TiffEncoder();
  TiffEncoder(const TiffEncoder&) = delete;
  TiffEncoder& operator=(const TiffEncoder&) = delete;

  // Starts a TIFF named name (for messages) of width x height pixels of channels samples, float
  // or 16-bit, with options.nodata and options.georef. fd >= 0 is a file that may be written at
  // any offset (the image's temporary); with fd < 0 the file is built in Memory(). False with
  // *why (what went wrong, without the name) on failure; the encoder is then spent.
  bool Begin(const std::string& name, int fd, int width, int height, int channels, bool floatSamples,
             const ImageWriteOptions& options, std::string* why);
  // The next count rows, laid out as Image::pixels.
  bool Rows(const float* pixels, int count, std::string* why);
  // After the last row: writes meta into the metadata tag and completes the file.
  bool End(const ImageMetadata& meta, std::string* why);
  // The whole file, when Begin was given no descriptor.
  const std::vector<unsigned char>& Memory() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether EPSG code names a geographic (latitude/longitude) coordinate system rather than a
// projected one, from the EPSG database libgeotiff reads through PROJ. nullopt with *why when the
// code is neither, or is outside the 1..65535 a GeoTIFF key holds; true/false with *why set to a
// warning when the database cannot be read (the code is then taken as projected).
std::optional<bool> EpsgIsGeographic(int code, std::string* why);

// GDAL's metadata tag for entries: an XML document with one Item per entry. A key "prefix:name"
// is the item name in the metadata domain prefix (gdalinfo -mdd veldmap lists "veldmap:z_min" as
// z_min); any other key is an item of the default domain.
std::string GdalMetadataXml(const ImageMetadata& meta);
