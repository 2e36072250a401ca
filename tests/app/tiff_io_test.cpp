// TIFF and RAW16 files as their readers see them: GDAL for TIFF (size, tiles, sample type,
// compression and predictor, no-data, statistics, GeoTIFF placement and coordinate system), the
// bytes themselves for RAW16.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/image_io.h"
#include "app/sample_codes.h"
#include "app/tiff_io.h"
#include "tests/support/gdal_reader.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using test_support::GdalInfo;
using test_support::GdalValues;

namespace {

class TiffIoTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = test_support::MakeTempFolder("veldmap_tiff_"); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // Writes image through the stream writer band rows at a time.
  static void Stream(const std::string& path, const Image& image, ImageFormat format, const ImageMetadata& meta,
                     const ImageWriteOptions& options, int band) {
    ImageStreamWriter writer;
    std::string error;
    ASSERT_TRUE(
        writer.Open(path, image.width, image.height, image.channels, format, meta, {{"late", 8}}, options, &error))
        << error;
    const std::size_t row = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.channels);
    for (int first = 0; first < image.height; first += band) {
      const int count = std::min(band, image.height - first);
      ASSERT_TRUE(writer.WriteRows(first, count, image.pixels.data() + static_cast<std::size_t>(first) * row, &error))
          << error;
    }
    ASSERT_TRUE(writer.Finish({{{"late", "done"}}}, &error)) << error;
  }
  static std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
};

// 300 x 270: more than one tile each way, with partial tiles at the right and bottom.
Image Ramp(int channels) {
  Image image{300, 270, channels, {}};
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      for (int c = 0; c < channels; ++c) image.pixels.push_back(static_cast<float>(x + y + c) / 600.0f);
    }
  }
  return image;
}

TEST_F(TiffIoTest, SixteenBitIsTiledDeflatedWithTheIntegerPredictorAndTheNodataTag) {
  if (!test_support::HaveGdal()) GTEST_SKIP() << "gdal-bin is not installed";
  const Image image = Ramp(1);
  ImageWriteOptions options;
  options.nodata = 0.0;
  Stream(Path("h.tif"), image, ImageFormat::Tiff16, {{{"veldmap:z_min", "1.5"}, {"note", "a < b"}}}, options, 37);
  const Json info = GdalInfo(Path("h.tif"), "-stats");
  ASSERT_TRUE(info.is_object());
  EXPECT_EQ(info["size"], Json::array({300, 270}));
  EXPECT_FALSE(info.contains("geoTransform")) << "no placement was asked for";
  EXPECT_EQ(info["metadata"]["IMAGE_STRUCTURE"]["COMPRESSION"], "DEFLATE");
  EXPECT_EQ(info["metadata"]["IMAGE_STRUCTURE"]["PREDICTOR"], "2");
  EXPECT_EQ(info["metadata"]["veldmap"]["z_min"], "1.5");
  EXPECT_EQ(info["metadata"][""]["note"], "a < b");
  EXPECT_EQ(info["metadata"][""]["late"], "done") << "an entry given at Finish";
  ASSERT_EQ(info["bands"].size(), 1u);
  const Json& band = info["bands"][0];
  EXPECT_EQ(band["type"], "UInt16");
  EXPECT_EQ(band["block"], Json::array({256, 256}));
  EXPECT_EQ(band["noDataValue"], 0.0);
  // Pixel (0, 0) is 0, the no-data value, so the smallest valid one is its neighbour's.
  EXPECT_EQ(band["minimum"], QuantizeSample(1.0f / 600.0f, 65535));
  EXPECT_EQ(band["maximum"], QuantizeSample(568.0f / 600.0f, 65535));
  // Rows from the top, in every tile: corners of the partial tiles and a pixel inside the first.
  for (const auto& [x, y] : {std::pair{299, 269}, std::pair{257, 3}, std::pair{3, 260}, std::pair{100, 200}}) {
    EXPECT_EQ(std::stoi(GdalValues(Path("h.tif"), x, y)), QuantizeSample(static_cast<float>(x + y) / 600.0f, 65535))
        << x << "," << y;
  }
  // However the rows come, the file is the same.
  Stream(Path("one.tif"), image, ImageFormat::Tiff16, {{{"veldmap:z_min", "1.5"}, {"note", "a < b"}}}, options, 1);
  Stream(Path("all.tif"), image, ImageFormat::Tiff16, {{{"veldmap:z_min", "1.5"}, {"note", "a < b"}}}, options, 270);
  EXPECT_EQ(Bytes(Path("one.tif")), Bytes(Path("h.tif")));
  EXPECT_EQ(Bytes(Path("all.tif")), Bytes(Path("h.tif")));
}

TEST_F(TiffIoTest, FloatKeepsEveryValueWithTheFloatPredictorAndNanAsNodata) {
  if (!test_support::HaveGdal()) GTEST_SKIP() << "gdal-bin is not installed";
  Image image = Ramp(3);
  // Out of 0..1 and far out: a float TIFF clamps nothing.
  image.pixels[0] = -2.5f;
  image.pixels[1] = 1.0e6f;
  image.pixels[2] = 0.1f;
  ImageWriteOptions options;
  options.nodata = std::nan("");
  Stream(Path("c.tif"), image, ImageFormat::Tiff32, {}, options, 64);
  const Json info = GdalInfo(Path("c.tif"));
  ASSERT_TRUE(info.is_object());
  EXPECT_EQ(info["metadata"]["IMAGE_STRUCTURE"]["PREDICTOR"], "3");
  EXPECT_EQ(info["metadata"]["IMAGE_STRUCTURE"]["INTERLEAVE"], "PIXEL");
  ASSERT_EQ(info["bands"].size(), 3u);
  const char* colours[3] = {"Red", "Green", "Blue"};
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(info["bands"][c]["type"], "Float32");
    EXPECT_EQ(info["bands"][c]["colorInterpretation"], colours[c]);
    EXPECT_EQ(info["bands"][c]["noDataValue"], "NaN");
  }
  std::istringstream values(GdalValues(Path("c.tif"), 0, 0));
  float r = 0, g = 0, b = 0;
  values >> r >> g >> b;
  EXPECT_EQ(r, -2.5f);
  EXPECT_EQ(g, 1.0e6f);
  EXPECT_EQ(b, 0.1f);
  std::istringstream corner(GdalValues(Path("c.tif"), 299, 269));
  corner >> r >> g >> b;
  EXPECT_EQ(b, 570.0f / 600.0f);
}

TEST_F(TiffIoTest, GeoReferencePlacesThePixelsAndNamesOnlyTheCoordinateSystemGiven) {
  if (!test_support::HaveGdal()) GTEST_SKIP() << "gdal-bin is not installed";
  const Image image = Ramp(1);
  const auto write = [&](const std::string& name, const GeoReference& georef) {
    ImageWriteOptions options;
    options.georef = georef;
    std::string error;
    EXPECT_TRUE(WriteImage(Path(name), image, ImageFormat::Tiff32, {}, options, &error)) << error;
    return GdalInfo(Path(name));
  };
  GeoReference north{1000.0, 500.0, 0.5, -0.25, std::nullopt, false};
  Json info = write("plain.tif", north);
  EXPECT_EQ(info["geoTransform"], Json::array({1000.0, 0.5, 0.0, 500.0, 0.0, -0.25}));
  EXPECT_EQ(info["cornerCoordinates"]["lowerRight"], Json::array({1150.0, 432.5}));
  EXPECT_EQ(info["metadata"][""]["AREA_OR_POINT"], "Area");
  const std::string plainWkt = info["coordinateSystem"].value("wkt", "");
  EXPECT_EQ(plainWkt.find("EPSG"), std::string::npos) << "no coordinate system was named: " << plainWkt;

  north.epsg = 32633;
  info = write("utm.tif", north);
  EXPECT_EQ(info["stac"]["proj:epsg"], 32633);
  EXPECT_EQ(info["coordinateSystem"]["wkt"].get<std::string>().rfind("PROJCRS", 0), 0u);

  north.epsg = 4326;
  north.geographic = true;
  info = write("wgs.tif", north);
  EXPECT_EQ(info["stac"]["proj:epsg"], 4326);
  EXPECT_EQ(info["coordinateSystem"]["wkt"].get<std::string>().rfind("GEOGCRS", 0), 0u);

  // A mirrored image (X falling to the right, Y rising downward) needs the whole transformation.
  const GeoReference mirrored{20.0, 0.0, -0.1, 0.2, std::nullopt, false};
  info = write("mirrored.tif", mirrored);
  EXPECT_EQ(info["geoTransform"], Json::array({20.0, -0.1, 0.0, 0.0, 0.0, 0.2}));
}

TEST(EpsgCodes, ProjectedGeographicAndNeither) {
  std::string why;
  EXPECT_EQ(EpsgIsGeographic(4326, &why), true) << why;
  EXPECT_EQ(EpsgIsGeographic(4258, &why), true) << why;  // ETRS89
  EXPECT_EQ(EpsgIsGeographic(32633, &why), false) << why;
  EXPECT_EQ(EpsgIsGeographic(2056, &why), false) << why;  // CH1903+ / LV95
  EXPECT_TRUE(why.empty()) << why;
  EXPECT_EQ(EpsgIsGeographic(5703, &why), std::nullopt) << "a vertical system (NAVD88 height)";
  EXPECT_NE(why.find("5703"), std::string::npos) << why;
  EXPECT_EQ(EpsgIsGeographic(0, &why), std::nullopt);
  EXPECT_EQ(EpsgIsGeographic(70000, &why), std::nullopt) << "more than a GeoTIFF key holds";
}

TEST(GdalMetadata, KeysWithAPrefixGoToItsDomainAndTextIsEscaped) {
  const std::string xml = GdalMetadataXml({{{"veldmap:z_min", "0.5"}, {"plain", "a<b & \"c\"\x01"}, {":odd", "x"}}});
  EXPECT_NE(xml.find("<Item name=\"z_min\" domain=\"veldmap\">0.5</Item>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<Item name=\"plain\">a&lt;b &amp; &quot;c&quot;&#xFFFD;</Item>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<Item name=\":odd\">x</Item>"), std::string::npos) << xml;
}

TEST_F(TiffIoTest, Raw16IsLittleEndianRowsWithoutAHeaderAndOneChannel) {
  Image image{3, 2, 1, {0.0f, 0.5f, 1.0f, -1.0f, 2.0f, 1.0f / 65535.0f}};
  std::string error;
  ASSERT_TRUE(WriteImage(Path("t.r16"), image, ImageFormat::Raw16, {{{"ignored", "x"}}}, &error)) << error;
  const std::string bytes = Bytes(Path("t.r16"));
  const unsigned char want[12] = {0, 0, 0x00, 0x80, 0xff, 0xff, 0, 0, 0xff, 0xff, 1, 0};
  ASSERT_EQ(bytes.size(), sizeof want);
  EXPECT_EQ(std::memcmp(bytes.data(), want, sizeof want), 0);
  image.channels = 3;
  image.pixels.resize(18);
  EXPECT_FALSE(WriteImage(Path("c.r16"), image, ImageFormat::Raw16, {}, &error));
  EXPECT_NE(error.find("one channel"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(Path("c.r16")));
}

TEST_F(TiffIoTest, ASixteenBitNodataMustBeACode) {
  ImageWriteOptions options;
  std::string error;
  for (const double bad : {-1.0, 0.5, 65536.0, std::nan("")}) {
    options.nodata = bad;
    EXPECT_FALSE(WriteImage(Path("n.tif"), Ramp(1), ImageFormat::Tiff16, {}, options, &error)) << bad;
    EXPECT_NE(error.find("no-data"), std::string::npos) << error;
  }
  EXPECT_FALSE(fs::exists(Path("n.tif")));
  options.nodata = 65535.0;
  EXPECT_TRUE(WriteImage(Path("n.tif"), Ramp(1), ImageFormat::Tiff16, {}, options, &error)) << error;
}

}  // namespace
