// `veldmap render` into the formats terrain and GIS users exchange, read back by independent
// readers: GDAL for TIFF and GeoTIFF, Python's struct for RAW16; and each output's own format.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "app/image_io.h"
#include "tests/support/cli_files.h"
#include "tests/support/cli_run.h"
#include "tests/support/gdal_reader.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using test_support::CliRun;
using test_support::GdalInfo;
using test_support::GdalValues;
using test_support::Veldmap;

namespace {

class FormatsCliTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test_support::MakeTempFolder("veldmap_formats_");
    test_support::WriteRollingGround(Path("ground.obj"));
    // The vertices' heights as the file holds them (printed to 6 digits), by their X and Y.
    std::ifstream obj(Path("ground.obj"));
    std::string tag;
    double x = 0, y = 0, z = 0;
    while (obj >> tag && tag == "v" && obj >> x >> y >> z) heights_[{static_cast<int>(x), static_cast<int>(y)}] = z;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Render(const std::string& args) const { return "render " + Path("ground.obj") + " --up z -q " + args; }
  Json Report(const std::string& name) const { return test_support::ReadJsonFile<Json>(Path(name)); }
  double Vertex(int x, int y) const { return heights_.at({x, y}); }

  fs::path dir_;
  std::map<std::pair<int, int>, double> heights_;
};

TEST_F(FormatsCliTest, EachOutputHasItsOwnFormatAndAHeightPngIsSixteenBit) {
  const auto stored = [this](const std::string& name) { return StoredFormat(Path(name)); };
  // By default a height PNG is 16-bit and a colour or bump PNG 8-bit.
  ASSERT_EQ(Veldmap(Render("--size 16 -o " + Path("h.png") + " --color-out " + Path("c.png"))).code, 0);
  EXPECT_EQ(stored("h.png"), ImageFormat::Png16);
  EXPECT_EQ(stored("c.png"), ImageFormat::Png8);
  // A slope needs the steps of a height; a mask and a hillshade are levels of a byte.
  ASSERT_EQ(Veldmap(Render("--size 16 --slope-out " + Path("s.png") + " --hillshade-out " + Path("hs.png") +
                           " --mask-out " + Path("m.png")))
                .code,
            0);
  EXPECT_EQ(stored("s.png"), ImageFormat::Png16);
  EXPECT_EQ(stored("hs.png"), ImageFormat::Png8);
  EXPECT_EQ(stored("m.png"), ImageFormat::Png8);
  // --format is the -o output's: a 16-bit height no longer makes the colour 16-bit.
  ASSERT_EQ(Veldmap(Render("--size 16 --format png16 -o " + Path("h.png") + " --color-out " + Path("c.png") +
                           " --bump-out " + Path("b.png")))
                .code,
            0);
  EXPECT_EQ(stored("h.png"), ImageFormat::Png16);
  EXPECT_EQ(stored("c.png"), ImageFormat::Png8);
  EXPECT_EQ(stored("b.png"), ImageFormat::Png8);
  // Each output's own --KIND-format; an 8-bit height when asked for.
  ASSERT_EQ(Veldmap(Render("--size 16 --format png8 -o " + Path("h.png") + " --color-format png16 --color-out " +
                           Path("c.png")))
                .code,
            0);
  EXPECT_EQ(stored("h.png"), ImageFormat::Png8);
  EXPECT_EQ(stored("c.png"), ImageFormat::Png16);
  // The only image output takes --format without -o, as before.
  ASSERT_EQ(Veldmap(Render("--size 16 --format exr --bump-out " + Path("b.img"))).code, 0);
  EXPECT_EQ(stored("b.img"), ImageFormat::Exr);

  // Ambiguous, contradictory or impossible choices are usage errors, and nothing is written.
  for (const std::string& bad : {
           "--format png16 --height-out " + Path("x.png") + " --color-out " + Path("y.png"),
           "--alpha-format png16 -o " + Path("x.png"),
           "--format png16 --height-format exr -o " + Path("x.png"),
           "--bump-format raw16 --bump-out " + Path("x.r16"),
           "--color-out " + Path("x.raw"),
       }) {
    SCOPED_TRACE(bad);
    const CliRun run = Veldmap(Render("--size 16 " + bad));
    EXPECT_EQ(run.code, 2) << run.output;
    EXPECT_FALSE(fs::exists(Path("x.png")) || fs::exists(Path("y.png")) || fs::exists(Path("x.r16")) ||
                 fs::exists(Path("x.raw")));
  }
}

TEST_F(FormatsCliTest, GeoTiffCornersAreTheMeshExtentWithRowZeroAtTheTop) {
  if (!test_support::HaveGdal()) GTEST_SKIP() << "gdal-bin is not installed";
  CliRun run = Veldmap(
      Render("--pixel-size 0.25 --heights metres --georef -o " + Path("h.tif") + " --report " + Path("r.json")));
  ASSERT_EQ(run.code, 0) << run.output;
  Json info = GdalInfo(Path("h.tif"), "-stats");
  ASSERT_TRUE(info.is_object());
  EXPECT_EQ(info["size"], Json::array({80, 40}));
  EXPECT_EQ(info["geoTransform"], Json::array({0.0, 0.25, 0.0, 10.0, 0.0, -0.25}));
  EXPECT_EQ(info["cornerCoordinates"]["upperLeft"], Json::array({0.0, 10.0}));
  EXPECT_EQ(info["cornerCoordinates"]["lowerRight"], Json::array({20.0, 0.0}));
  EXPECT_EQ(info["bands"][0]["type"], "Float32");
  EXPECT_EQ(info["metadata"]["IMAGE_STRUCTURE"]["COMPRESSION"], "DEFLATE");
  EXPECT_EQ(info["metadata"]["veldmap"]["heights"], "metres");
  // Heights in metres: the statistics lie within the mesh's Z range, and most of it.
  const Json report = Report("r.json");
  const double zMin = report["veldmap:z_min"], zMax = report["veldmap:z_max"];
  EXPECT_GE(info["bands"][0]["minimum"].get<double>(), zMin - 1e-4);
  EXPECT_LE(info["bands"][0]["maximum"].get<double>(), zMax + 1e-4);
  EXPECT_GT(info["bands"][0]["maximum"].get<double>() - info["bands"][0]["minimum"].get<double>(), 0.9 * (zMax - zMin));
  // A point looked up by its world X/Y has the height of the mesh there (the cells are small
  // enough for the formula to hold within 0.07), which a flipped image would not (off by 0.24).
  for (const auto& [x, y] : {std::pair{5.125, 7.625}, std::pair{5.125, 2.375}, std::pair{14.875, 9.125}}) {
    const double z = 1.0 + 0.1 * x + 0.4 * std::sin(0.7 * x) * std::cos(0.9 * y);
    EXPECT_NEAR(std::stod(GdalValues(Path("h.tif"), x, y, true)), z, 0.07) << x << "," << y;
  }

  // No coordinate system unless one is named; a named one is written as what it is.
  EXPECT_EQ(info["coordinateSystem"].value("wkt", "").find("EPSG"), std::string::npos);
  ASSERT_EQ(Veldmap(Render("--size 40 --crs EPSG:32633 -o " + Path("utm.tif"))).code, 0);
  info = GdalInfo(Path("utm.tif"));
  EXPECT_EQ(info["stac"]["proj:epsg"], 32633);
  EXPECT_EQ(info["cornerCoordinates"]["lowerRight"], Json::array({20.0, 0.0}));
  ASSERT_EQ(Veldmap(Render("--size 40 --georef --crs epsg:4326 -o " + Path("wgs.tif"))).code, 0);
  EXPECT_EQ(GdalInfo(Path("wgs.tif"))["coordinateSystem"]["wkt"].get<std::string>().rfind("GEOGCRS", 0), 0u);

  // A region, and one tile of it, are placed where they lie in the mesh.
  ASSERT_EQ(Veldmap(Render("--region 5,2,15,8 --size 50 --georef -o " + Path("r.tif"))).code, 0);
  info = GdalInfo(Path("r.tif"));
  EXPECT_EQ(info["cornerCoordinates"]["upperLeft"], Json::array({5.0, 8.0}));
  EXPECT_EQ(info["cornerCoordinates"]["lowerRight"], Json::array({15.0, 2.0}));
  ASSERT_EQ(Veldmap(Render("--region 5,2,15,8 --size 50 --georef --tile 4/4 -o " + Path("t.tif"))).code, 0);
  info = GdalInfo(Path("t.tif"));
  EXPECT_EQ(info["size"], Json::array({25, 15}));
  EXPECT_EQ(info["cornerCoordinates"]["upperLeft"], Json::array({10.0, 5.0}));
  EXPECT_EQ(info["cornerCoordinates"]["lowerRight"], Json::array({15.0, 2.0}));

  // What cannot be placed or named is refused before any work.
  for (const std::string& bad : {"--georef -o " + Path("x.png"), "--crs EPSG:5703 -o " + Path("x.tif"),
                                 "--crs 32633 -o " + Path("x.tif"), "--crs EPSG:99999 -o " + Path("x.tif")}) {
    SCOPED_TRACE(bad);
    run = Veldmap(Render("--size 8 " + bad));
    EXPECT_EQ(run.code, 2) << run.output;
    EXPECT_FALSE(fs::exists(Path("x.png")) || fs::exists(Path("x.tif")));
  }
  run = Veldmap(Render("--size 8 --georef --uv-angle 30 -o " + Path("x.tif")));
  EXPECT_EQ(run.code, 1) << run.output;
  EXPECT_FALSE(fs::exists(Path("x.tif")));
}

TEST_F(FormatsCliTest, TiffOnStandardOutputHoldsWhatItsFileWould) {
  if (!test_support::HaveGdal()) GTEST_SKIP() << "gdal-bin is not installed";
  ASSERT_EQ(Veldmap(Render("--size 300 --format tiff16 -o " + Path("file.tif"))).code, 0);
  ASSERT_EQ(Veldmap(Render("--size 300 --format tiff16 -o - > " + Path("piped.tif"))).code, 0);
  const Json file = GdalInfo(Path("file.tif"), "-checksum"), piped = GdalInfo(Path("piped.tif"), "-checksum");
  ASSERT_TRUE(piped.is_object());
  EXPECT_EQ(piped["size"], Json::array({300, 150}));
  EXPECT_EQ(piped["bands"][0]["type"], "UInt16");
  EXPECT_EQ(piped["bands"][0]["checksum"], file["bands"][0]["checksum"]);
  EXPECT_EQ(piped["metadata"]["veldmap"]["z_max"], file["metadata"]["veldmap"]["z_max"]);
}

// Engines' terrains: samples on the mesh's borders, 16-bit little-endian codes, no header.
TEST_F(FormatsCliTest, EdgeAlignedRaw16SamplesTheMeshBordersExactly) {
  // 21 x 11 samples over 20 x 10 units: one on every vertex, the borders included.
  ASSERT_EQ(Veldmap(Render("--edge-aligned --size 21 -o " + Path("t.r16") + " --report " + Path("r.json"))).code, 0);
  const Json report = Report("r.json");
  EXPECT_EQ(report["veldmap:size"], Json::array({21, 11}));
  EXPECT_EQ(report["veldmap:pixel_size"], Json::array({1.0, 1.0}));
  EXPECT_EQ(fs::file_size(Path("t.r16")), 21u * 11u * 2u);
  const double zMin = report["veldmap:z_min"], zMax = report["veldmap:z_max"];
  // Python reads the file as an engine would, and prints the codes that are not the vertex's
  // height within a code (the Z range maps onto 0..65535).
  std::ostringstream expected;
  for (int y = 10; y >= 0; --y) {
    for (int x = 0; x <= 20; ++x) expected << std::lround((Vertex(x, y) - zMin) / (zMax - zMin) * 65535.0) << ",";
  }
  const std::string script =
      "import struct,sys\n"
      "data = open(sys.argv[1], 'rb').read()\n"
      "codes = struct.unpack('<%dH' % (len(data) // 2), data)\n"
      "want = [int(v) for v in sys.argv[2].split(',') if v]\n"
      "bad = [(i % 21, i // 21, c, w) for i, (c, w) in enumerate(zip(codes, want)) if abs(c - w) > 1]\n"
      "print(len(codes), bad[:8])\n";
  std::ofstream(Path("check.py")) << script;
  const CliRun run =
      test_support::RunProgram("/usr/bin/python3", Path("check.py") + " " + Path("t.r16") + " " + expected.str());
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_EQ(run.output, "231 []\n");

  // The float heights on the borders are the border vertices' own, whether or not the map repeats
  // (a sample at u = 1 would wrap round to the left border).
  for (const std::string wrap : {"", "--wrap "}) {
    SCOPED_TRACE(wrap);
    ASSERT_EQ(Veldmap(Render(wrap + "--edge-aligned --size 21 --heights metres -o " + Path("e.exr"))).code, 0);
    Image image;
    std::string error;
    ASSERT_TRUE(ReadImage(Path("e.exr"), &image, nullptr, &error)) << error;
    ASSERT_EQ(image.width, 21);
    for (int row = 0; row <= 10; ++row) {
      for (const int x : {0, 1, 10, 19, 20}) {
        EXPECT_NEAR(image.pixels[static_cast<std::size_t>(row * 21 + x)], Vertex(x, 10 - row), 2e-5) << x << "," << row;
      }
    }
    for (int x = 0; x <= 20; ++x) {
      EXPECT_NEAR(image.pixels[static_cast<std::size_t>(x)], Vertex(x, 10), 2e-5) << "top row, x " << x;
      EXPECT_NEAR(image.pixels[static_cast<std::size_t>(10 * 21 + x)], Vertex(x, 0), 2e-5) << "bottom row, x " << x;
    }
  }
  // Pixel sizes count the steps between samples: 0.5 units over 20 x 10 is 41 x 21 samples.
  ASSERT_EQ(Veldmap(Render("--edge-aligned --pixel-size 0.5 -o " + Path("p.r16") + " --report " + Path("p.json"))).code,
            0);
  EXPECT_EQ(Report("p.json")["veldmap:size"], Json::array({41, 21}));
  EXPECT_EQ(Veldmap(Render("--edge-aligned --size 1 -o " + Path("one.r16"))).code, 2);
  EXPECT_EQ(Veldmap(Render("--edge-aligned --width 1 --height 9 -o " + Path("one.r16"))).code, 2);
}

TEST_F(FormatsCliTest, EdgeAlignedGeoTiffPixelsAreCentredOnTheBorders) {
  if (!test_support::HaveGdal()) GTEST_SKIP() << "gdal-bin is not installed";
  ASSERT_EQ(Veldmap(Render("--edge-aligned --size 21 --georef -o " + Path("e.tif"))).code, 0);
  const Json info = GdalInfo(Path("e.tif"));
  // Each sample stands for the unit square around it, so the image reaches half a unit beyond.
  EXPECT_EQ(info["geoTransform"], Json::array({-0.5, 1.0, 0.0, 10.5, 0.0, -1.0}));
}

}  // namespace
